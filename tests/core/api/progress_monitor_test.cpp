// enhance with a ProgressMonitor: the stages and shares it reports, and a
// stop request that ends the call with Cancelled and leaves the library usable.
#include "nightdehaze/nightdehaze.hpp"

#include "test_images.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

using namespace nightdehaze;
using namespace testing_support;

namespace {

// Records what enhance reports; asks to stop once the share passes stopAt.
class RecordingMonitor : public ProgressMonitor {
public:
    explicit RecordingMonitor(double stopAt = 2.0) : stopAt_(stopAt) {}
    void stageBegins(const char* stage) override { stages.push_back(stage); }
    void advanced(double share) override {
        std::lock_guard<std::mutex> lock(mutex_);
        shares.push_back(share);
        if (share > stopAt_) stop_ = true;
    }
    bool stopRequested() override {
        ++polls;
        return stop_;
    }

    std::vector<std::string> stages;
    std::vector<double> shares;
    std::atomic<long> polls{0};

private:
    const double stopAt_;
    std::mutex mutex_;
    std::atomic<bool> stop_{false};
};

DehazeContext contextFor(bool nonLocal) {
    DehazeContext context;
    context.useNonLocalFilter = nonLocal ? 1 : 0;
    return context;
}

}  // namespace

TEST(ProgressMonitor, ReportsStagesAndRisingSharesWithoutChangingTheResult) {
    const cv::Mat photo = randomPhoto(70, 90, 3);
    for (bool nonLocal : {false, true}) {
        RecordingMonitor monitor;
        HazeMaps maps, plainMaps;
        const cv::Mat monitored = enhance(photo, contextFor(nonLocal), &maps, monitor);
        const cv::Mat plain = enhance(photo, contextFor(nonLocal), &plainMaps);
        EXPECT_EQ(firstBitDifference(monitored, plain), -1);
        EXPECT_EQ(firstBitDifference(maps.transmission, plainMaps.transmission), -1);
        EXPECT_EQ(monitor.stages, (std::vector<std::string>{"Light Compensation", "Color Correction",
                                                            "Dehazing"}));
        ASSERT_GE(monitor.shares.size(), 8u) << "nonLocal " << nonLocal;
        for (size_t k = 1; k < monitor.shares.size(); ++k)
            EXPECT_LT(monitor.shares[k - 1], monitor.shares[k]);
        EXPECT_GT(monitor.shares.front(), 0.0);
        EXPECT_EQ(monitor.shares.back(), 1.0);
        EXPECT_GT(monitor.polls.load(), 20);
    }
}

TEST(ProgressMonitor, StopRequestEndsTheCallWithCancelledAndTheNextCallRuns) {
    const cv::Mat photo = randomPhoto(90, 120, 5);
    for (bool nonLocal : {false, true}) {
        for (double stopAt : {-1.0, 0.3, 0.7}) {
            RecordingMonitor monitor(stopAt);
            EXPECT_THROW(enhance(photo, contextFor(nonLocal), nullptr, monitor), Cancelled)
                << "nonLocal " << nonLocal << ", stop after " << stopAt;
            if (stopAt < 0) EXPECT_TRUE(monitor.shares.empty() || monitor.shares.back() < 0.2);
            else EXPECT_LT(monitor.shares.back(), 1.0);
        }
        RecordingMonitor never;
        const cv::Mat again = enhance(photo, contextFor(nonLocal), nullptr, never);
        EXPECT_EQ(firstBitDifference(again, enhance(photo, contextFor(nonLocal))), -1);
    }
}

// A kernel run under runMonitored: untouched without a stop; with one, the
// call ends with Cancelled once the kernel returns, also when the monitor
// asks only once.
TEST(ProgressMonitor, RunMonitoredStopsKernelCallsOutsideEnhance) {
    const cv::Mat guide = randomPhoto(60, 80, 7);
    cv::Mat plane;
    cv::extractChannel(guide, plane, 1);
    cv::Mat plain, monitored;
    nonLocalGuidedFilter(1, 8, plain, guide, plane, 25.0, 100.0);
    RecordingMonitor quiet;
    runMonitored(quiet, [&] { nonLocalGuidedFilter(1, 8, monitored, guide, plane, 25.0, 100.0); });
    EXPECT_GT(quiet.polls.load(), 0);
    EXPECT_EQ(firstBitDifference(monitored, plain), -1);

    class AsksOnce : public ProgressMonitor {
    public:
        bool stopRequested() override { return !asked_.exchange(true); }

    private:
        std::atomic<bool> asked_{false};
    } once;
    EXPECT_THROW(runMonitored(once, [&] { nonLocalGuidedFilter(1, 8, monitored, guide, plane, 25.0, 100.0); }),
                 Cancelled);
}
