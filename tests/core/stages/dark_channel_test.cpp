#include "nightdehaze/nightdehaze.hpp"

#include <gtest/gtest.h>

#include <opencv2/core/utility.hpp>
#include <stdexcept>

#include "reference/dark_channel_literal.hpp"
#include "support/hazy_test_pictures.hpp"
#include "test_images.hpp"

using namespace nightdehaze;

using hazy_pictures::Kind;

TEST(DarkChannel, MatchesLiteralOnEverySizeKindAndHalfSize) {
    std::uint64_t seed = 100;
    for (cv::Size size : hazy_pictures::allSizes()) {
        for (Kind kind : hazy_pictures::allKinds()) {
            const auto planes = hazy_pictures::planesOf(hazy_pictures::picture(kind, size, ++seed));
            for (int h : {0, 1, 3, 7, 10}) {
                SCOPED_TRACE(hazy_pictures::name(kind, size) + " h " + std::to_string(h));
                cv::Mat fast, slow;
                darkChannel(h, fast, planes);
                literal::darkChannel(h, slow, planes);
                EXPECT_BIT_EQUAL(fast, slow);
            }
        }
    }
}

TEST(DarkChannel, PlaneViewsInsideLargerImagesAreClippedAtTheirOwnBorder) {
    cv::Mat big = testing_support::randomImage(40, 50, CV_8UC3, 0, 256, 7);
    big.setTo(cv::Scalar::all(0));
    cv::Mat inner = testing_support::randomImage(20, 30, CV_8UC3, 100, 256, 8);
    inner.copyTo(big(cv::Rect(10, 10, 30, 20)));
    const auto planes = hazy_pictures::planesOf(big);
    std::vector<cv::Mat> views;
    for (const cv::Mat& p : planes) views.push_back(p(cv::Rect(10, 10, 30, 20)));
    cv::Mat fast, slow;
    darkChannel(5, fast, views);
    literal::darkChannel(5, slow, hazy_pictures::planesOf(inner));
    EXPECT_BIT_EQUAL(fast, slow);
}

TEST(DarkChannel, UniformGreyGivesItsValue) {
    for (int v : {0, 1, 128, 254, 255}) {
        for (cv::Size size : {cv::Size(1, 1), cv::Size(7, 1), cv::Size(30, 20)}) {
            cv::Mat grey(size, CV_8UC3, cv::Scalar::all(v)), dark;
            darkChannel(7, dark, hazy_pictures::planesOf(grey));
            EXPECT_BIT_EQUAL(dark, cv::Mat(size, CV_64FC1, cv::Scalar(v)));
        }
    }
}

TEST(DarkChannel, SameBitsWithOneThreadOrSeveral) {
    const auto planes = hazy_pictures::planesOf(testing_support::randomPhoto(300, 257, 31));
    const int before = cv::getNumThreads();
    cv::Mat one, several;
    cv::setNumThreads(1);
    darkChannel(7, one, planes);
    cv::setNumThreads(4);
    darkChannel(7, several, planes);
    cv::setNumThreads(before);
    EXPECT_BIT_EQUAL(one, several);
}

TEST(DarkChannel, OutputMayBeAPlaneObject) {
    auto planes = hazy_pictures::planesOf(testing_support::randomPhoto(20, 30, 41));
    cv::Mat expected;
    literal::darkChannel(3, expected, planes);
    darkChannel(3, planes[0], planes);
    EXPECT_BIT_EQUAL(planes[0], expected);
}

TEST(DarkChannel, RejectsBadArguments) {
    const auto planes = hazy_pictures::planesOf(testing_support::randomPhoto(8, 9, 51));
    cv::Mat dark;
    EXPECT_THROW(darkChannel(-1, dark, planes), std::invalid_argument);
    EXPECT_THROW(darkChannel(1, dark, {planes[0], planes[1]}), std::invalid_argument);
    EXPECT_THROW(darkChannel(1, dark, {planes[0], planes[1], planes[2], planes[0]}),
                 std::invalid_argument);
    cv::Mat wide;
    planes[2].convertTo(wide, CV_16U);
    EXPECT_THROW(darkChannel(1, dark, {planes[0], planes[1], wide}), std::invalid_argument);
    EXPECT_THROW(darkChannel(1, dark, {planes[0], planes[1], planes[2](cv::Rect(0, 0, 4, 4))}),
                 std::invalid_argument);
    cv::Mat colour = testing_support::randomImage(8, 9, CV_8UC3, 0, 256, 52);
    EXPECT_THROW(darkChannel(1, dark, {colour, colour, colour}), std::invalid_argument);
}
