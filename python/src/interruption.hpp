#pragma once
// Runs library calls without the GIL, stoppable by Ctrl-C.
#include "nightdehaze/nightdehaze.hpp"

#include <pybind11/pybind11.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

namespace nightdehaze_python {

// Records the interpreter's main thread; call once, at import.
void rememberMainThread();

// nightdehaze.Cancellation: a flag any thread sets to stop the calls given it.
struct Cancellation {
    std::atomic<bool> requested{false};
};

// Asks the interpreter, from the thread that made the call and at most every
// kSignalCheckInterval, whether a signal handler raised (KeyboardInterrupt on
// Ctrl-C); keeps that exception and then asks the library to stop. Signal
// handlers run only on the main thread, so calls from other threads never
// take the GIL to ask.
class PythonSignals : public nightdehaze::ProgressMonitor {
public:
    // Long enough that taking the GIL costs nothing measurable, short enough
    // that Ctrl-C feels immediate.
    static constexpr std::chrono::milliseconds kSignalCheckInterval{50};

    // cancellation (may be null) also stops the library when set.
    explicit PythonSignals(const Cancellation* cancellation = nullptr);
    ~PythonSignals() override;
    bool stopRequested() override;

    // Whether a signal handler raised (rather than the cancellation).
    bool signalled() const { return stopped_.load(std::memory_order_relaxed); }

    // Sets the kept exception as the current Python error and throws
    // pybind11::error_already_set. Call with the GIL held.
    [[noreturn]] void raiseKeptError();

private:
    const Cancellation* const cancellation_;
    const std::thread::id caller_;
    const bool onMainThread_;
    std::chrono::steady_clock::time_point lastCheck_;
    std::atomic<bool> stopped_{false};
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* traceback_ = nullptr;
};

// Runs work with the GIL released; Ctrl-C stops the library calls it makes
// and raises KeyboardInterrupt (or whatever the signal handler raised) once
// work returns; a set cancellation stops them too and throws
// nightdehaze::Cancelled (nightdehaze.Cancelled in Python). Work that calls
// enhance passes it the monitor it receives.
void runWithoutGil(const std::function<void(nightdehaze::ProgressMonitor&)>& work,
                   const Cancellation* cancellation = nullptr);

}  // namespace nightdehaze_python
