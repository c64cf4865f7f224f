#pragma once
// Telling a live source (a camera, a stream) from a file, and the options
// that only a live run takes.
#include "files/options.hpp"

#include <string>

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
