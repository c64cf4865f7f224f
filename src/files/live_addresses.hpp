#pragma once
// Telling a live source (a camera, a stream) from a file and a stream output
// from a file by their text alone, and the options that only a live run
// takes. Reading a live source is the video module's (video/live_source.*).
#include "files/options.hpp"

#include <string>

namespace nightdehaze::files {

// The scheme of a URL in lower case ("RTSP://cam/1" -> "rtsp"), or "" when
// text is no "scheme://..." URL.
std::string urlScheme(const std::string& text);

// True for a video4linux2 capture device ("/dev/video0").
bool isCaptureDevice(const std::string& input);

// True for a URL ("rtsp://...", "udp://...", any scheme but file:) or a
// capture device ("/dev/video0"): inputs that never go through the picture
// decoders. Looks only at the text.
bool isLiveSource(const std::string& input);

// True for an output that is a stream (udp://, srt://, rtmp://, ...) rather
// than a file.
bool isStreamOutput(const std::string& output);

// Throws UsageError for a live run without -o, --segment on a stream output,
// and --segment or --reconnect for an input that is not live.
void checkLiveOptions(const Options& options);

}  // namespace nightdehaze::files
