#pragma once

namespace nightdehaze::video {

// SIGINT and SIGTERM asking a live run to finish what it has written.

// While one lives, the first SIGINT or SIGTERM only sets a flag that the run
// polls; a second one ends the process by that signal at once, for a run that
// cannot finish (a stream output that hangs). The handlers found are put back
// when it ends. One at a time in a process.
class StopOnSignals {
public:
    StopOnSignals();
    ~StopOnSignals();
    StopOnSignals(const StopOnSignals&) = delete;
    StopOnSignals& operator=(const StopOnSignals&) = delete;

    // True once a signal asked to stop; safe from any thread.
    static bool requested();
    // "SIGINT" or "SIGTERM" once one asked to stop, else nullptr.
    static const char* signalName();
};

}  // namespace nightdehaze::video
