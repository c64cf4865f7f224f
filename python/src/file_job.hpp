#pragma once
// What the nightdehaze tool does for one file, for Python callers.
#include <optional>
#include <string>

namespace nightdehaze_python {

struct FileJob {
    std::string inputPath;
    std::optional<std::string> outputPath;  // else derived from inputPath, as the tool does
    double gamma = 1.2;
    bool nonLocal = false;
    bool clean = false;                     // suppress amplified JPEG blocks and noise
    bool writeMaps = false;
    std::optional<int> quality;             // JPEG and WebP outputs: 1..100
};

// Reads, enhances and writes as `nightdehaze [-o OUTPUT] [--maps] [--non-local]
// [--clean] [--quality N] INPUT GAMMA` does (metadata kept, every check before the work), with the GIL released and stoppable by Ctrl-C; returns
// the path of the enhanced image. Failures throw FileError (errno 0 when the
// content or the request is at fault) or std::bad_alloc, with the tool's
// one-line message. Safe to call from several threads: decoding and writing
// take turns, processing runs at once.
std::string enhanceFile(const FileJob& job);

}  // namespace nightdehaze_python
