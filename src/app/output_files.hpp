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

// Writes every image all-or-nothing. Each is encoded in memory by the format
// of its extension, written to a temporary file in its directory and synced.
// Then every target is checked (not a directory, writable, on the same file
// system as its temporary) before any is replaced; the targets are replaced
// from the last to the first, so the first (the main output) comes last, and
// if a replacement still fails the targets already replaced get back what
// they held (where the file system can swap two files; Linux's local ones
// can). On any failure the temporaries are removed and a std::runtime_error
// names the path and the reason (running out of memory throws std::bad_alloc
// or OpenCV's cv::Error::StsNoMem instead). SIGINT and SIGTERM while the
// temporaries are written remove them before the process ends, on whichever
// thread they land; during the replacements they wait until all are done.
// Call from one thread at a time.
void writeImagesAtomically(const std::vector<OutputImage>& outputs);
