#pragma once
// The exit statuses of the tool, which its video module returns to it as
// they are.

namespace nightdehaze::files {

enum ExitStatus : int {
    kExitSuccess = 0,
    kExitFailure = 1,  // the input cannot be read, or an output written
    kExitUsage = 2,    // the request itself is at fault
};

}  // namespace nightdehaze::files
