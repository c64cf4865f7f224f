#include "files/quiet_stderr.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>

namespace nightdehaze::files {

QuietStderr::QuietStderr() {
    std::cerr.flush();
    std::fflush(stderr);
    const int sink = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (sink < 0) return;
    savedStderr_ = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0);
    if (savedStderr_ >= 0 && dup2(sink, STDERR_FILENO) < 0) {
        close(savedStderr_);
        savedStderr_ = -1;
    }
    close(sink);
}

QuietStderr::~QuietStderr() {
    if (savedStderr_ < 0) return;
    std::cerr.flush();
    std::fflush(stderr);
    dup2(savedStderr_, STDERR_FILENO);
    close(savedStderr_);
}

}  // namespace nightdehaze::files
