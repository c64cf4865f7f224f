#pragma once
// Temporary files beside the files being written, removed again when SIGINT
// or SIGTERM ends the process before they are renamed into place.
#include <sys/types.h>

#include <string>

namespace nightdehaze::files {

// The directory part of a path: "." for a bare name, "/" for a file in the root.
std::string directoryOf(const std::string& path);

// 0666 less the process's umask: the mode a new file gets from open().
mode_t defaultFileMode();

// Creates an empty ".nightdehaze-XXXXXX" beside finalPath with the default
// file mode; returns its path and an open descriptor, which the caller
// closes. No signal removes it: for a caller that finishes its file on
// SIGINT and SIGTERM instead. Throws FileError naming finalPath.
std::string createTemporaryBeside(const std::string& finalPath, int& fd);

// While one lives, SIGINT and SIGTERM remove every temporary it registered and
// then end the process by that signal. A signal that lands on another thread
// is passed to the thread that made the instance, which blocks the signals
// while it creates and registers a temporary: no file is ever missed. The
// handlers found are put back, flags included, when it ends. One at a time in
// a process; use from the thread that made it.
class SignalSafeTemporaries {
public:
    static constexpr int kMaxTemporaries = 8;

    SignalSafeTemporaries();
    // Removes the temporaries still registered and puts the handlers back.
    ~SignalSafeTemporaries();
    SignalSafeTemporaries(const SignalSafeTemporaries&) = delete;
    SignalSafeTemporaries& operator=(const SignalSafeTemporaries&) = delete;

    // Creates an empty ".nightdehaze-XXXXXX" beside finalPath with the default
    // file mode, registered before it exists; returns its path and an open
    // descriptor to write it, which the caller closes. Throws FileError naming
    // finalPath (the temporary, if made, stays registered).
    std::string create(const std::string& finalPath, int& fd);

    // Every temporary registered so far was renamed into place or removed by
    // the caller: none is removed any more.
    void keepAll();
};

}  // namespace nightdehaze::files
