#pragma once
#include "nightdehaze/nightdehaze.hpp"

#include <mutex>

namespace nightdehaze::detail {

// The progress and stop requests of one enhance call, reached by the code it
// runs. The call spans the shares 0..1; each stage a part of it; within a
// stage, the step that runs ends at a share of the stage the stage names
// before starting it, and a kernel reports how far through its step it is.
// Everything here is a no-op when no monitor is attached to the thread.
class RunReport {
public:
    // Attaches monitor to the calling thread until destruction (the previous
    // attachment, if any, comes back then).
    explicit RunReport(ProgressMonitor& monitor);
    ~RunReport();
    RunReport(const RunReport&) = delete;
    RunReport& operator=(const RunReport&) = delete;

    // The report attached to the calling thread, or nullptr.
    static RunReport* current();

    // A stage begins and ends at share stageEnd of the call (0..1, above
    // the previous stage's end).
    void beginStage(const char* name, double stageEnd);

    // The previous step is done; the next ends at stepEnd of the stage (0..1).
    void beginStep(double stepEnd);

    // The running step is this far through (0..1). Any thread.
    void advanceStep(double fraction);

    // Any thread.
    bool stopRequested() const;

    // The whole call is done: reports the share 1.
    void finish();

private:
    void report(double share);  // callers hold mutex_

    ProgressMonitor& monitor_;
    RunReport* previous_;
    std::mutex mutex_;
    double stageStart_ = 0, stageEnd_ = 0;
    double stepStart_ = 0, stepEnd_ = 0;  // shares of the whole call
    double reported_ = 0;
};

// For stages and kernels: the calling thread's report, which kernels capture
// before they spread work over threads; all are no-ops for nullptr.
inline RunReport* currentRun() { return RunReport::current(); }

// The stage on the calling thread starts its next step, ending at stepEnd.
void beginStep(double stepEnd);

// True once the caller of the current run asked it to stop. Any thread.
inline bool stopRequested(const RunReport* run) { return run && run->stopRequested(); }

// Throws Cancelled when the caller asked the run to stop. Call between units
// of work on the thread that made the call, after parallel loops that skipped
// their work on a stop request.
void throwIfStopRequested(const RunReport* run);

}  // namespace nightdehaze::detail
