#pragma once
#include <opencv2/core.hpp>

#include <string>
#include <vector>

struct OutputImage {
    std::string path;
    cv::Mat image;
};

// True when OpenCV can encode an image for the extension of path.
bool canEncodeFor(const std::string& path);

// Writes every image all-or-nothing: each is encoded in memory by the format of
// its extension, written to a temporary file in its directory and synced;
// only when all temporaries are complete are they renamed into place. On any
// failure the temporaries are removed, existing files are untouched, and a
// FileError (a std::runtime_error) names the path and the reason (running out of memory
// throws std::bad_alloc or OpenCV's cv::Error::StsNoMem instead). SIGINT and
// SIGTERM during the write also remove the temporaries before the process
// ends, on whichever thread they land. Call from one thread at a time.
void writeImagesAtomically(const std::vector<OutputImage>& outputs);
