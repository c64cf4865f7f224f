// enhance, the whole pipeline in one call: compared with the stages run one by
// one in the tool's order, with the tool itself, and at its boundary.
#include "nightdehaze/nightdehaze.hpp"

#include "tool/tool_runner.hpp"
#include "test_images.hpp"

#include <gtest/gtest.h>
#include <opencv2/core/utility.hpp>
#include <opencv2/imgcodecs.hpp>

#include <atomic>
#include <cmath>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

using namespace nightdehaze;

namespace {

const std::string kStageLines =
    "Current step: Light Compensation\nCurrent step: Color Correction\nCurrent step: Dehazing\n";

// The image divided by the correction map element by element, 0 where a
// factor is 0, rounded and saturated to 8 bits.
cv::Mat literalDivision(const cv::Mat& image8u, const cv::Mat& map) {
    cv::Mat quotient(image8u.size(), CV_64FC3);
    for (int y = 0; y < image8u.rows; ++y)
        for (int x = 0; x < image8u.cols; ++x)
            for (int c = 0; c < 3; ++c) {
                const double m = map.at<cv::Vec3d>(y, x)[c];
                const double v = image8u.at<cv::Vec3b>(y, x)[c];
                quotient.at<cv::Vec3d>(y, x)[c] = m == 0.0 ? 0.0 : v / m;
            }
    cv::Mat result;
    quotient.convertTo(result, CV_8U);
    return result;
}

// The tool's sequence written out stage by stage: radius 5, eps 0.01.
cv::Mat literalPipeline(const cv::Mat& bgr, const DehazeContext& context, HazeMaps& maps) {
    cv::Mat working = bgr.clone();
    lightCompensation(5, working, working, 0.01);
    contrastStretch(working, working);
    cv::Mat map;
    context.colorCorrection(5, map, working, 0.01);
    working = literalDivision(working, map);
    contrastStretch(working, working);
    cv::Mat dehazed;
    context.dehaze(5, dehazed, maps.airlight, maps.transmission, working, 0.01);
    return dehazed;
}

cv::Mat photo(int rows, int cols, std::uint64_t seed) {
    return testing_support::randomPhoto(rows, cols, seed);
}

// Hands out the standard allocator's buffers and counts those still alive.
class CountingAllocator : public cv::MatAllocator {
public:
    cv::UMatData* allocate(int dims, const int* sizes, int type, void* data, size_t* step, cv::AccessFlag flags,
                           cv::UMatUsageFlags usage) const override {
        cv::UMatData* u = standard_->allocate(dims, sizes, type, data, step, flags, usage);
        u->currAllocator = this;
        ++live;
        return u;
    }
    bool allocate(cv::UMatData* u, cv::AccessFlag flags, cv::UMatUsageFlags usage) const override {
        return standard_->allocate(u, flags, usage);
    }
    void deallocate(cv::UMatData* u) const override {
        --live;
        u->currAllocator = standard_;
        standard_->deallocate(u);
    }
    mutable std::atomic<int> live{0};

private:
    const cv::MatAllocator* standard_ = cv::Mat::getStdAllocator();
};

// Notes how many of the counted buffers live when colour correction begins.
class LiveAtColourCorrection : public ProgressMonitor {
public:
    explicit LiveAtColourCorrection(const CountingAllocator& counting) : counting_(counting) {}
    void stageBegins(const char* stage) override {
        if (std::string(stage) == "Color Correction") liveThen = counting_.live;
    }
    int liveThen = -1;

private:
    const CountingAllocator& counting_;
};

}  // namespace

TEST(Enhance, RunsTheStagesInTheToolsOrder) {
    for (const double gamma : {1.2, 0.5, 2.5}) {
        SCOPED_TRACE(gamma);
        const cv::Mat image = photo(41, 53, 7 + static_cast<std::uint64_t>(gamma * 10));
        DehazeContext context;
        context.gamma = gamma;
        HazeMaps expectedMaps, maps;
        const cv::Mat expected = literalPipeline(image, context, expectedMaps);
        const cv::Mat dehazed = enhance(image, context, &maps);
        EXPECT_BIT_EQUAL(dehazed, expected);
        EXPECT_BIT_EQUAL(maps.airlight, expectedMaps.airlight);
        EXPECT_BIT_EQUAL(maps.transmission, expectedMaps.transmission);
    }
}

TEST(Enhance, MatchesTheToolByteForByte) {
    tool_testing::ScratchDir dir;
    const cv::Mat image = photo(48, 64, 2024);
    ASSERT_TRUE(cv::imwrite((dir / "night.png").string(), image));
    const tool_testing::ToolRun run =
        tool_testing::runTool({"--maps", "night.png", "1.7"}, dir.path());
    ASSERT_EQ(run.exitStatus, 0) << run.err;

    DehazeContext context;
    context.gamma = 1.7;
    HazeMaps maps;
    std::ostringstream progress;
    const cv::Mat dehazed = enhance(image, context, &maps, &progress);
    EXPECT_EQ(progress.str(), run.out);
    std::vector<uchar> bytes;
    ASSERT_TRUE(cv::imencode(".bmp", dehazed, bytes));
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), tool_testing::readFile(dir / "night_J.bmp"));
    ASSERT_TRUE(cv::imencode(".bmp", maps.airlight, bytes));
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), tool_testing::readFile(dir / "night_A.bmp"));
}

TEST(Enhance, MapsAreOptionalAndTheInputIsNeverWritten) {
    const cv::Mat image = photo(30, 37, 99);
    const cv::Mat original = image.clone();
    const DehazeContext context;
    const cv::Mat withoutMaps = enhance(image, context);

    // Old map matrices that share the input's pixels must not be written into.
    HazeMaps maps;
    maps.airlight = image;
    maps.transmission = cv::Mat(image.size(), CV_64FC1, cv::Scalar(-1.0));
    const cv::Mat withMaps = enhance(image, context, &maps);
    EXPECT_BIT_EQUAL(image, original);
    EXPECT_BIT_EQUAL(withMaps, withoutMaps);
    EXPECT_EQ(withMaps.type(), CV_8UC3);
    EXPECT_EQ(withMaps.size(), image.size());
    EXPECT_EQ(maps.airlight.type(), CV_8UC3);
    EXPECT_EQ(maps.airlight.size(), image.size());
    EXPECT_NE(maps.airlight.data, image.data);
    ASSERT_EQ(maps.transmission.type(), CV_64FC1);
    ASSERT_EQ(maps.transmission.size(), image.size());
    double tMin = 0, tMax = 0;
    cv::minMaxLoc(maps.transmission, &tMin, &tMax);
    EXPECT_GE(tMin, 0.0);
    EXPECT_LE(tMax, 1.0);
}

TEST(Enhance, SameResultOnOneThreadAndMany) {
    const cv::Mat image = photo(45, 70, 5);
    const int threads = cv::getNumThreads();
    cv::setNumThreads(1);
    const cv::Mat single = enhance(image, DehazeContext());
    cv::setNumThreads(4);
    const cv::Mat several = enhance(image, DehazeContext());
    cv::setNumThreads(threads);
    EXPECT_BIT_EQUAL(single, several);
}

TEST(Enhance, TinyPicturesWork) {
    for (const cv::Size size : {cv::Size(1, 1), cv::Size(2, 3), cv::Size(9, 1)}) {
        SCOPED_TRACE(size);
        std::ostringstream progress;
        const cv::Mat dehazed = enhance(photo(size.height, size.width, 3), DehazeContext(),
                                        nullptr, &progress);
        EXPECT_EQ(dehazed.size(), size);
        EXPECT_EQ(dehazed.type(), CV_8UC3);
        EXPECT_EQ(progress.str(), kStageLines);
    }
}

TEST(Enhance, RejectsWhatItCannotProcessBeforeAnyStage) {
    const cv::Mat good = photo(12, 12, 1);
    const cv::Mat badImages[] = {cv::Mat(), cv::Mat(0, 5, CV_8UC3), cv::Mat(8, 8, CV_8UC1),
                                 cv::Mat(8, 8, CV_8UC4), cv::Mat(8, 8, CV_16UC3),
                                 cv::Mat(8, 8, CV_64FC3)};
    for (const cv::Mat& image : badImages) {
        std::ostringstream progress;
        try {
            enhance(image, DehazeContext(), nullptr, &progress);
            ADD_FAILURE() << "accepted " << testing_support::describe(image);
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find("enhance: "), std::string::npos) << e.what();
        }
        EXPECT_EQ(progress.str(), "");
    }
    const double inf = std::numeric_limits<double>::infinity();
    for (const double gamma : {0.0, -1.2, inf, -inf, std::nan("")}) {
        DehazeContext context;
        context.gamma = gamma;
        std::ostringstream progress;
        EXPECT_THROW(enhance(good, context, nullptr, &progress), std::invalid_argument) << gamma;
        EXPECT_EQ(progress.str(), "");
    }
    DehazeContext negativeRefine;
    negativeRefine.refineRadius = -1;
    EXPECT_THROW(enhance(good, negativeRefine), std::invalid_argument);
}

TEST(Enhance, BlackStaysBlackAndUniformGreyStaysGrey) {
    const cv::Mat black = cv::Mat::zeros(40, 50, CV_8UC3);
    HazeMaps maps;
    const cv::Mat out = enhance(black, DehazeContext(), &maps);
    EXPECT_EQ(cv::countNonZero(out.reshape(1)), 0);
    // Uniform light 51 everywhere: the floor of the lifted atmospheric light.
    EXPECT_EQ(cv::norm(maps.airlight, cv::Mat(40, 50, CV_8UC3, cv::Scalar::all(51)), cv::NORM_INF), 0.0);

    const cv::Mat grey = enhance(cv::Mat(40, 50, CV_8UC3, cv::Scalar::all(64)), DehazeContext());
    std::vector<cv::Mat> planes;
    cv::split(grey, planes);
    EXPECT_EQ(cv::norm(planes[0], planes[1], cv::NORM_INF), 0.0);
    EXPECT_EQ(cv::norm(planes[1], planes[2], cv::NORM_INF), 0.0);
}

// Regression: the faint speck came out white (255) after the own conversion
// loops saturated values beyond the int range; OpenCV's x86 value is 0.
TEST(Enhance, FaintPixelsInABlackAreaStayBlack) {
    const cv::Mat out = enhance(testing_support::blackWithFaintSpeck(), DehazeContext());
    EXPECT_EQ(cv::countNonZero(out(testing_support::kFaintSpeck).reshape(1)), 0)
        << out(testing_support::kFaintSpeck);
}

TEST(Enhance, APictureGivenUpIsFreedOnceLightCompensationHasReadIt) {
    const cv::Mat image = photo(40, 52, 11);
    for (const bool clean : {false, true}) {
        DehazeContext context;
        context.fast = true;
        context.clean = clean;
        const cv::Mat expected = enhance(image, context);
        CountingAllocator counting;
        cv::Mat picture;
        picture.allocator = &counting;
        image.copyTo(picture);
        ASSERT_EQ(counting.live, 1);
        LiveAtColourCorrection monitor(counting);
        const cv::Mat result = enhance(std::move(picture), context, nullptr, monitor);
        EXPECT_TRUE(picture.empty());
        EXPECT_EQ(monitor.liveThen, 0) << "clean " << clean;
        EXPECT_BIT_EQUAL(result, expected);
    }
}
