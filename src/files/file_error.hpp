#pragma once
#include <stdexcept>
#include <string>

namespace nightdehaze::files {

// A file that cannot be read, decoded or written. The message names the path
// and the reason; systemError is the errno behind it (ENOENT, EACCES, ENOMEM
// when decoding ran out of memory, ...) or 0 when the content is at fault (not
// an image, a cut-off JPEG, too many pixels).
class FileError : public std::runtime_error {
public:
    FileError(const std::string& message, int systemError)
        : std::runtime_error(message), systemError_(systemError) {}
    int systemError() const { return systemError_; }

private:
    int systemError_;
};

}  // namespace nightdehaze::files
