#pragma once
// What the nightdehaze tool does for one file, for Python callers.
#include "files/options.hpp"

#include <string>

namespace nightdehaze_python {

// Reads, enhances and writes as the tool does for a picture (metadata kept,
// every check before the work), with the GIL released and stoppable by
// Ctrl-C; returns the path of the enhanced image. Failures throw FileError
// (errno 0 when the content is at fault), UsageError for a request no file
// can satisfy, or std::bad_alloc, with the tool's one-line message. Safe to
// call from several threads: decoding and writing take turns, processing
// runs at once.
std::string enhanceFile(const nightdehaze::files::Options& options);

}  // namespace nightdehaze_python
