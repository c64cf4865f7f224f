// VideoEnhancer against enhance frame by frame: per-frame mode is enhance
// exactly; steady mode differs while the scene changes, lands exactly on
// enhance once it holds still, and does not depend on how many frames run
// at once.
#include "nightdehaze/nightdehaze.hpp"

#include "test_images.hpp"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <sstream>
#include <vector>

using namespace nightdehaze;

namespace {

constexpr int kChangingFrames = 5;
constexpr int kStillFrames = 30;
constexpr double kFramesPerSecond = 5.0;
constexpr double kSmoothingSeconds = 0.5;  // with the rate: few frames per time constant, quick to settle

// A scene with per-frame noise and a bright light crossing it, then the last
// of those frames held still.
std::vector<cv::Mat> changingThenStill() {
    const cv::Mat scene = testing_support::randomPhoto(48, 64, 321);
    std::vector<cv::Mat> frames;
    for (int k = 0; k < kChangingFrames; ++k) {
        cv::Mat frame = scene.clone();
        cv::Mat noise = testing_support::randomImage(48, 64, CV_8UC3, 0, 30, 900 + k);
        cv::add(frame, noise, frame);
        cv::circle(frame, cv::Point(10 + 12 * k, 20), 7, cv::Scalar(255, 250, 240), cv::FILLED);
        frames.push_back(frame);
    }
    for (int k = 0; k < kStillFrames; ++k) frames.push_back(frames.back().clone());
    return frames;
}

std::vector<cv::Mat> runThrough(VideoEnhancer& enhancer, const std::vector<cv::Mat>& frames) {
    std::vector<cv::Mat> out;
    for (const cv::Mat& frame : frames) {
        const cv::Mat done = enhancer.push(frame);
        if (!done.empty()) out.push_back(done);
    }
    for (const cv::Mat& done : enhancer.flush()) out.push_back(done);
    return out;
}

std::vector<cv::Mat> enhanced(const std::vector<cv::Mat>& frames, bool steady, int parallelFrames) {
    VideoOptions options;
    options.framesPerSecond = kFramesPerSecond;
    options.smoothingSeconds = kSmoothingSeconds;
    options.steady = steady;
    options.parallelFrames = parallelFrames;
    VideoEnhancer enhancer(DehazeContext(), options);
    return runThrough(enhancer, frames);
}

}  // namespace

TEST(VideoEnhancer, PerFrameIsEnhanceAndSteadySettlesOnIt) {
    const std::vector<cv::Mat> frames = changingThenStill();
    std::vector<cv::Mat> pictures;
    for (const cv::Mat& frame : frames) pictures.push_back(enhance(frame, DehazeContext()));

    const std::vector<cv::Mat> perFrame = enhanced(frames, false, 3);
    ASSERT_EQ(perFrame.size(), frames.size());
    for (size_t k = 0; k < frames.size(); ++k) {
        SCOPED_TRACE(k);
        EXPECT_BIT_EQUAL(perFrame[k], pictures[k]);
    }

    const std::vector<cv::Mat> steady = enhanced(frames, true, 3);
    ASSERT_EQ(steady.size(), frames.size());
    EXPECT_BIT_EQUAL(steady.front(), pictures.front());    // the first frame takes its own limits
    EXPECT_NE(testing_support::firstBitDifference(steady[kChangingFrames], pictures[kChangingFrames]), -1)
        << "no smoothing: the first still frame already equals its picture";
    size_t settled = frames.size();
    while (settled > 0 && testing_support::firstBitDifference(steady[settled - 1], pictures[settled - 1]) == -1)
        --settled;
    EXPECT_LT(settled, frames.size() - 5) << "the still scene never settled on its picture";

    const std::vector<cv::Mat> oneAtATime = enhanced(frames, true, 1);
    ASSERT_EQ(oneAtATime.size(), frames.size());
    for (size_t k = 0; k < frames.size(); ++k) {
        SCOPED_TRACE(k);
        EXPECT_BIT_EQUAL(oneAtATime[k], steady[k]);
    }
}

TEST(VideoEnhancer, StageLinesOnceAndBadArgumentsRefused) {
    std::ostringstream lines;
    {
        VideoEnhancer enhancer(DehazeContext(), VideoOptions(), &lines);
        const cv::Mat frame = testing_support::randomPhoto(30, 30, 4);
        size_t returned = 0;
        for (int k = 0; k < 4; ++k) returned += enhancer.push(frame).empty() ? 0 : 1;
        EXPECT_EQ(static_cast<size_t>(enhancer.framesInFlight()), 4 - returned);
        EXPECT_EQ(returned + enhancer.flush().size(), 4u);
        EXPECT_THROW(enhancer.push(cv::Mat(30, 30, CV_8UC1)), std::invalid_argument);
        EXPECT_THROW(enhancer.push(cv::Mat()), std::invalid_argument);
    }
    EXPECT_EQ(lines.str(),
              "Current step: Light Compensation\nCurrent step: Color Correction\nCurrent step: Dehazing\n");
    VideoOptions badRate;
    badRate.framesPerSecond = 0.0;
    EXPECT_THROW(VideoEnhancer(DehazeContext(), badRate), std::invalid_argument);
    DehazeContext badGamma;
    badGamma.gamma = -1.0;
    EXPECT_THROW(VideoEnhancer(badGamma, VideoOptions()), std::invalid_argument);
}

// Regression (see Enhance.FaintPixelsInABlackAreaStayBlack), steady and per frame.
TEST(VideoEnhancer, FaintPixelsInABlackAreaStayBlack) {
    const std::vector<cv::Mat> frames(4, testing_support::blackWithFaintSpeck());
    for (bool steady : {true, false})
        for (const cv::Mat& out : enhanced(frames, steady, 2))
            EXPECT_EQ(cv::countNonZero(out(testing_support::kFaintSpeck).reshape(1)), 0)
                << "steady " << steady << ": " << out(testing_support::kFaintSpeck);
}

// A live source offers frames without waiting and takes what is ready: a
// full pipeline refuses a frame instead of blocking, and the frames taken
// come out in order, each exactly as push would give it.
TEST(VideoEnhancer, OfferNeverWaitsAndReadyFramesComeInOrder) {
    const std::vector<cv::Mat> frames = changingThenStill();
    const std::vector<cv::Mat> expected = enhanced(frames, false, 2);
    VideoOptions options;
    options.framesPerSecond = kFramesPerSecond;
    options.steady = false;
    options.parallelFrames = 2;
    VideoEnhancer enhancer(DehazeContext(), options);
    std::vector<cv::Mat> out;
    std::vector<size_t> taken;
    bool refused = false;
    for (size_t k = 0; k < frames.size(); ++k) {
        if (enhancer.offer(frames[k])) taken.push_back(k);
        else refused = true;
        EXPECT_LE(enhancer.framesInFlight(), 3);
        for (const cv::Mat& done : enhancer.takeReady()) out.push_back(done);
    }
    for (const cv::Mat& done : enhancer.flush()) out.push_back(done);
    EXPECT_TRUE(refused);
    ASSERT_EQ(out.size(), taken.size());
    for (size_t k = 0; k < out.size(); ++k) EXPECT_BIT_EQUAL(out[k], expected[taken[k]]);
}

// Frames given with their times smooth over the time between them: a stream
// with every other frame dropped settles on the still scene at the same
// moment as the whole stream, where the same frames without times lag.
TEST(VideoEnhancer, TimedFramesSmoothOverTheirTimeNotTheirCount) {
    const std::vector<cv::Mat> frames = changingThenStill();
    const auto run = [&](size_t every, bool timed) {
        VideoOptions options;
        options.framesPerSecond = kFramesPerSecond;
        options.smoothingSeconds = kSmoothingSeconds;
        options.parallelFrames = 2;
        VideoEnhancer enhancer(DehazeContext(), options);
        std::vector<cv::Mat> out;
        for (size_t k = 0; k < frames.size(); k += every) {
            const cv::Mat done = timed ? enhancer.push(frames[k], 100.0 + k / kFramesPerSecond)
                                       : enhancer.push(frames[k]);
            if (!done.empty()) out.push_back(done);
        }
        for (const cv::Mat& done : enhancer.flush()) out.push_back(done);
        return out;
    };
    const std::vector<cv::Mat> whole = run(1, true), halfTimed = run(2, true), halfUntimed = run(2, false);
    ASSERT_EQ(halfTimed.size(), (frames.size() + 1) / 2);
    ASSERT_EQ(halfUntimed.size(), halfTimed.size());
    // The first frame of the half stream from which it equals the whole one.
    const auto agreesFrom = [&](const std::vector<cv::Mat>& half) {
        size_t j = half.size();
        while (j > 0 && testing_support::firstBitDifference(half[j - 1], whole[2 * (j - 1)]) == -1) --j;
        return j;
    };
    const size_t timedFrom = agreesFrom(halfTimed), untimedFrom = agreesFrom(halfUntimed);
    EXPECT_LE(2 * timedFrom, kChangingFrames + 6u) << "timed frames lag behind the whole stream";
    EXPECT_GT(untimedFrom, timedFrom) << "the test cannot tell time from frame count";

    VideoEnhancer enhancer{DehazeContext(), VideoOptions()};
    EXPECT_THROW(enhancer.push(frames[0], std::nan("")), std::invalid_argument);
    EXPECT_THROW(enhancer.offer(frames[0], HUGE_VAL), std::invalid_argument);
}
