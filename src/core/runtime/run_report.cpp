#include "core/runtime/run_report.hpp"

#include <algorithm>
#include <ostream>

namespace nightdehaze {

void ProgressMonitor::stageBegins(const char*) {}
void ProgressMonitor::advanced(double) {}
bool ProgressMonitor::stopRequested() { return false; }

namespace detail {

namespace {
thread_local RunReport* attached = nullptr;
}  // namespace

RunReport::RunReport(ProgressMonitor& monitor) : monitor_(monitor), previous_(attached) {
    attached = this;
}

RunReport::~RunReport() { attached = previous_; }

RunReport* RunReport::current() { return attached; }

void RunReport::beginStage(const char* name, double stageEnd) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        report(stageEnd_);
        stageStart_ = stepStart_ = stepEnd_ = stageEnd_;
        stageEnd_ = stageEnd;
    }
    monitor_.stageBegins(name);
}

void RunReport::beginStep(double stepEnd) {
    std::lock_guard<std::mutex> lock(mutex_);
    report(stepEnd_);
    stepStart_ = stepEnd_;
    stepEnd_ = stageStart_ + (stageEnd_ - stageStart_) * stepEnd;
}

void RunReport::advanceStep(double fraction) {
    std::lock_guard<std::mutex> lock(mutex_);
    report(stepStart_ + (stepEnd_ - stepStart_) * std::clamp(fraction, 0.0, 1.0));
}

void RunReport::finish() {
    std::lock_guard<std::mutex> lock(mutex_);
    report(1.0);
}

bool RunReport::stopRequested() const { return monitor_.stopRequested(); }

void RunReport::report(double share) {
    share = std::clamp(share, 0.0, 1.0);
    if (share <= reported_) return;
    reported_ = share;
    monitor_.advanced(share);
}

void beginStep(double stepEnd) {
    if (RunReport* run = RunReport::current()) run->beginStep(stepEnd);
}

void throwIfStopRequested(const RunReport* run) {
    if (stopRequested(run)) throw Cancelled();
}

}  // namespace detail

void writeStageLine(std::ostream& out, const char* stage) { out << "Current step: " << stage << std::endl; }

}  // namespace nightdehaze
