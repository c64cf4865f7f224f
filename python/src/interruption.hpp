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

    PythonSignals();
    ~PythonSignals() override;
    bool stopRequested() override;

    // Sets the kept exception as the current Python error and throws
    // pybind11::error_already_set. Call with the GIL held.
    [[noreturn]] void raiseKeptError();

private:
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
// work returns. Work that calls enhance passes it the monitor it receives.
void runWithoutGil(const std::function<void(nightdehaze::ProgressMonitor&)>& work);

}  // namespace nightdehaze_python
