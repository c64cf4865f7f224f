#pragma once
#include <stdexcept>

namespace nightdehaze::files {

// A request the tool cannot act on (exit status 2); the message names the
// problem, and the command line adds where to read more.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace nightdehaze::files
