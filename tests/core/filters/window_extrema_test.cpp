#include "core/filters/window_extrema.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <stdexcept>

#include "reference/window_extrema_literal.hpp"
#include "support/hazy_test_pictures.hpp"
#include "test_images.hpp"

using namespace nightdehaze;
using namespace nightdehaze::detail;

namespace {

// Doubles of both signs and wide range, a few infinities, and runs of ties.
cv::Mat awkwardDoubles(cv::Size size, std::uint64_t seed) {
    cv::Mat values =
        testing_support::randomImage(size.height, size.width, CV_64FC1, -1e6, 1e6, seed);
    cv::RNG rng(seed);
    const double inf = std::numeric_limits<double>::infinity();
    for (int i = 0; i < values.rows; ++i) {
        for (int j = 0; j < values.cols; ++j) {
            const int pick = rng.uniform(0, 20);
            if (pick == 0) values.at<double>(i, j) = inf;
            if (pick == 1) values.at<double>(i, j) = -inf;
            if (pick >= 2 && pick < 6) values.at<double>(i, j) = 17.25;
        }
    }
    return values;
}

}  // namespace

TEST(WindowExtrema, MatchLiteralOnEverySizeAndHalfSize) {
    std::uint64_t seed = 300;
    for (cv::Size size : hazy_pictures::allSizes()) {
        const cv::Mat bytes =
            testing_support::randomImage(size.height, size.width, CV_8UC1, 0, 256, ++seed);
        const cv::Mat doubles = awkwardDoubles(size, ++seed);
        for (int h : {0, 1, 2, 7, 12}) {
            SCOPED_TRACE(std::to_string(size.height) + "x" + std::to_string(size.width) + " h " +
                         std::to_string(h));
            cv::Mat fast, slow;
            windowMinimum(h, fast, bytes);
            literal::windowMinimum(h, slow, bytes);
            EXPECT_BIT_EQUAL(fast, slow);
            windowMaximum(h, fast, doubles);
            literal::windowMaximum(h, slow, doubles);
            EXPECT_BIT_EQUAL(fast, slow);
        }
    }
}

TEST(WindowExtrema, BorderWindowsOfOnlyMinusInfinityStayMinusInfinity) {
    const double inf = std::numeric_limits<double>::infinity();
    cv::Mat values(12, 14, CV_64FC1, cv::Scalar(-inf));
    values(cv::Rect(10, 8, 4, 4)).setTo(3.5);
    cv::Mat fast, slow;
    windowMaximum(2, fast, values);
    literal::windowMaximum(2, slow, values);
    EXPECT_EQ(fast.at<double>(0, 0), -inf);
    EXPECT_BIT_EQUAL(fast, slow);
}

TEST(WindowExtrema, HugeHalfSizeIsTheWholeImage) {
    const cv::Mat bytes = testing_support::randomImage(6, 9, CV_8UC1, 0, 256, 401);
    const cv::Mat doubles = awkwardDoubles(cv::Size(9, 6), 402);
    cv::Mat fast, slow;
    windowMinimum(1 << 30, fast, bytes);
    literal::windowMinimum(9, slow, bytes);
    EXPECT_BIT_EQUAL(fast, slow);
    windowMaximum(1 << 30, fast, doubles);
    literal::windowMaximum(9, slow, doubles);
    EXPECT_BIT_EQUAL(fast, slow);
}

TEST(WindowExtrema, ViewsNeverReadOutsideThemselves) {
    cv::Mat bytes(30, 40, CV_8UC1, cv::Scalar(0));
    cv::Mat doubles(30, 40, CV_64FC1, cv::Scalar(1e300));
    const cv::Rect inside(5, 6, 20, 15);
    testing_support::randomImage(15, 20, CV_8UC1, 50, 256, 403).copyTo(bytes(inside));
    awkwardDoubles(inside.size(), 404).copyTo(doubles(inside));
    cv::Mat fast, slow;
    windowMinimum(4, fast, bytes(inside));
    literal::windowMinimum(4, slow, bytes(inside).clone());
    EXPECT_BIT_EQUAL(fast, slow);
    windowMaximum(4, fast, doubles(inside));
    literal::windowMaximum(4, slow, doubles(inside).clone());
    EXPECT_BIT_EQUAL(fast, slow);
}

TEST(WindowExtrema, OutputMayBeTheSource) {
    cv::Mat bytes = testing_support::randomImage(11, 13, CV_8UC1, 0, 256, 405), expected;
    literal::windowMinimum(3, expected, bytes);
    windowMinimum(3, bytes, bytes);
    EXPECT_BIT_EQUAL(bytes, expected);
}

TEST(WindowExtrema, RejectBadArguments) {
    cv::Mat dst, bytes(4, 4, CV_8UC1, cv::Scalar(1)), doubles(4, 4, CV_64FC1, cv::Scalar(1));
    EXPECT_THROW(windowMinimum(-1, dst, bytes), std::invalid_argument);
    EXPECT_THROW(windowMaximum(-1, dst, doubles), std::invalid_argument);
    EXPECT_THROW(windowMinimum(1, dst, doubles), std::invalid_argument);
    EXPECT_THROW(windowMaximum(1, dst, bytes), std::invalid_argument);
    EXPECT_THROW(windowMaximum(1, dst, cv::Mat(4, 4, CV_64FC3)), std::invalid_argument);
}

TEST(WindowExtrema, MaximumIsTheSameOnEveryNumberOfThreads) {
    const cv::Mat doubles = awkwardDoubles({97, 301}, 41);
    for (int h : {1, 7, 40, 200}) {
        SCOPED_TRACE("h " + std::to_string(h));
        cv::Mat one, many, slow;
        {
            testing_support::ThreadCount single(1);
            windowMaximum(h, one, doubles);
        }
        {
            testing_support::ThreadCount several(4);
            windowMaximum(h, many, doubles);
        }
        EXPECT_BIT_EQUAL(many, one);
        if (h > 7) continue;  // wider windows: the literal scan takes too long
        literal::windowMaximum(h, slow, doubles);
        EXPECT_BIT_EQUAL(one, slow);
    }
}
