#include "nightdehaze/nightdehaze.hpp"

#include "core/runtime/run_report.hpp"

#include <atomic>

namespace nightdehaze {

namespace {

// Forwards stop polls to the caller's monitor and remembers a stop for good,
// so that a monitor that asks only once still cancels the whole run.
class LatchedStop : public ProgressMonitor {
public:
    explicit LatchedStop(ProgressMonitor& monitor) : monitor_(monitor) {}
    bool stopRequested() override {
        if (stopped_.load(std::memory_order_relaxed)) return true;
        if (!monitor_.stopRequested()) return false;
        stopped_.store(true, std::memory_order_relaxed);
        return true;
    }
    bool stopped() const { return stopped_.load(std::memory_order_relaxed); }

private:
    ProgressMonitor& monitor_;
    std::atomic<bool> stopped_{false};
};

}  // namespace

void runMonitored(ProgressMonitor& monitor, const std::function<void()>& work) {
    LatchedStop latch(monitor);
    {
        detail::RunReport run(latch);
        work();
    }
    if (latch.stopped()) throw Cancelled();
}

}  // namespace nightdehaze
