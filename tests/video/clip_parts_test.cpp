// A clip enhanced in parts gives the frames of one run over it: exactly per
// frame, and within a level in steady mode once each part has warmed up.
#include "video/clip_part.hpp"
#include "video/clip_plan.hpp"
#include "video/video_output.hpp"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include <cstdio>
#include <map>
#include <string>
#include <unistd.h>

using namespace nightdehaze::video;

namespace {

constexpr int kRate = 10;
constexpr int kSeconds = 50;
// The batch's warm-up: fifteen time constants of the default smoothing.
constexpr double kWarmUpSeconds = 30.0;

// A dark street whose lamp comes on after a second, brightens until the
// eighth and dims again, while a second lamp swells and fades: the smoothed
// limits move all along.
cv::Mat streetAt(int k) {
    cv::Mat frame(120, 160, CV_8UC3);
    for (int y = 0; y < frame.rows; ++y)
        frame.row(y).setTo(cv::Scalar(15 + y / 6, 20 + y / 5, 30 + y / 4));
    const double t = static_cast<double>(k) / kRate;
    const double lamp = t < 1 ? 0 : t < 8 ? 30 * (t - 1) : std::max(0.0, 210 - 12 * (t - 8));
    cv::circle(frame, cv::Point(40 + k % 80, 50), 18, cv::Scalar(lamp * 0.7, lamp * 0.9, lamp), cv::FILLED);
    const double swell = 120 + 100 * std::sin(t / 3);
    cv::circle(frame, cv::Point(120, 90 - k % 40), 10, cv::Scalar(swell, swell * 0.8, swell * 0.5), cv::FILLED);
    return frame;
}

std::string writeClip() {
    char name[] = "/tmp/clip-parts-XXXXXX";
    const int fd = mkstemp(name);
    close(fd);
    unlink(name);
    const std::string path = std::string(name) + ".mkv";
    VideoShape shape;
    shape.width = 160;
    shape.height = 120;
    shape.timeBase = AVRational{1, kRate};
    shape.frameRate = AVRational{kRate, 1};
    VideoOutput output(path, shape);
    for (int k = 0; k < kRate * kSeconds; ++k) output.writeFrame(streetAt(k), k);
    output.finish();
    return path;
}

using Frames = std::map<std::int64_t, cv::Mat>;

void enhanceInto(Frames& frames, const std::string& path, bool perFrame, const ClipSpan& span) {
    nightdehaze::files::Options job;
    job.inputPath = path;
    job.perFrame = perFrame;
    VideoInput input(path, [](const std::string&) {});
    enhanceSpan(input, job, span, [](AVPacket*) {},
                [&](const cv::Mat& enhanced, std::int64_t pts) {
                    ASSERT_EQ(frames.count(pts), 0u) << "frame " << pts << " written twice";
                    frames[pts] = enhanced.clone();
                });
}

Frames inParts(const std::string& path, bool perFrame, double partSeconds) {
    const ClipPlan plan = planClip(path, partSeconds, kWarmUpSeconds);
    EXPECT_GE(plan.cuts.size(), 2u);
    Frames frames;
    for (size_t k = 0; k <= plan.cuts.size(); ++k) {
        ClipSpan span;
        if (k > 0) span.from = plan.cuts[k - 1], span.warmFrom = plan.warmFrom[k - 1];
        if (k < plan.cuts.size()) span.to = plan.cuts[k];
        enhanceInto(frames, path, perFrame, span);
    }
    return frames;
}

double largestDifference(const Frames& whole, const Frames& parts) {
    EXPECT_EQ(whole.size(), parts.size());
    double largest = 0;
    for (const auto& [pts, frame] : whole) {
        const auto part = parts.find(pts);
        if (part == parts.end()) {
            ADD_FAILURE() << "frame " << pts << " missing from the parts";
            continue;
        }
        largest = std::max(largest, cv::norm(frame, part->second, cv::NORM_INF));
    }
    return largest;
}

class ClipParts : public ::testing::Test {
protected:
    static void SetUpTestSuite() { path_ = new std::string(writeClip()); }
    static void TearDownTestSuite() {
        std::remove(path_->c_str());
        delete path_;
    }
    static std::string* path_;
};
std::string* ClipParts::path_ = nullptr;

}  // namespace

TEST_F(ClipParts, PlanCutsAtKeyFramesWithWarmUpsBefore) {
    constexpr double warm = 4.0;
    const ClipPlan plan = planClip(*path_, 15.0, warm);
    EXPECT_EQ(plan.frames, kRate * kSeconds);  // Matroska declares no count: from its duration and rate
    ASSERT_EQ(plan.cuts.size(), 2u);  // 50 s in parts of about 15
    for (size_t k = 0; k < plan.cuts.size(); ++k) {
        EXPECT_EQ(plan.cuts[k] % 2000, 0) << "the live encoder's key frames are 2 s apart (Matroska counts ms)";
        EXPECT_LE(plan.warmFrom[k], plan.cuts[k] - warm * 1000);
        EXPECT_GT(plan.warmFrom[k], plan.cuts[k] - (warm + 2) * 1000);
    }
    // The first part is longer by the warm-up the others spend.
    EXPECT_NEAR(plan.cuts[0] / 1000.0, warm + (kSeconds - warm) / 3, 2.0);
    EXPECT_TRUE(planClip(*path_, 0.0, warm).cuts.empty());
    EXPECT_TRUE(planClip(*path_, 50.0, warm).cuts.empty());  // not longer
    EXPECT_EQ(planClip(*path_, 45.0, warm).cuts.size(), 1u);  // longer: two parts
}

TEST_F(ClipParts, PerFramePartsGiveTheWholeRunsFramesExactly) {
    Frames whole;
    enhanceInto(whole, *path_, true, ClipSpan{});
    EXPECT_EQ(whole.size(), static_cast<size_t>(kRate * kSeconds));
    EXPECT_EQ(largestDifference(whole, inParts(*path_, true, 12.0)), 0.0);
}

// The largest difference from the whole run of a clip enhanced in two parts
// cut at 40 s, the second warmed up over warmSeconds before.
double twoPartsAgainstWhole(const std::string& path, const Frames& whole, double warmSeconds) {
    const std::int64_t cut = 40000, warmFrom = cut - static_cast<std::int64_t>(warmSeconds * 1000);
    Frames parts;
    enhanceInto(parts, path, false, ClipSpan{std::numeric_limits<std::int64_t>::min(), cut,
                                             std::numeric_limits<std::int64_t>::min()});
    enhanceInto(parts, path, false, ClipSpan{cut, std::numeric_limits<std::int64_t>::max(), warmFrom});
    return largestDifference(whole, parts);
}

// The smoothing forgets where it started only slowly on a scene whose limits
// never rest (the two stretches feed one another): within a level after the
// batch's 30 s, several levels after six time constants (12 s), and far more
// without a warm-up.
TEST_F(ClipParts, SteadyPartsComeWithinALevelOfTheWholeRunOnceWarmedUp) {
    Frames whole;
    enhanceInto(whole, *path_, false, ClipSpan{});
    EXPECT_LE(twoPartsAgainstWhole(*path_, whole, kWarmUpSeconds), 1.0);
    const double shorter = twoPartsAgainstWhole(*path_, whole, 12.0);
    EXPECT_GT(shorter, 1.0);
    EXPECT_GT(twoPartsAgainstWhole(*path_, whole, 0.0), 2 * shorter);
}
