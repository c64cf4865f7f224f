#include "nightdehaze/nightdehaze.hpp"
#include "reference/pad_symmetric_literal.hpp"
#include "test_images.hpp"

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

using namespace nightdehaze;

using testing_support::randomImage;

namespace {

cv::Mat rowOf(std::vector<uchar> values) { return cv::Mat(values, true).reshape(1, 1); }

cv::Mat padded(int r, const cv::Mat& src) {
    cv::Mat dst;
    padSymmetric(r, dst, src);
    return dst;
}

}  // namespace

TEST(PadSymmetric, MatchesLiteralBandsOnRandomImages) {
    const std::vector<cv::Size> sizes = {{1, 1}, {3, 2}, {7, 5}, {13, 9}, {20, 17}, {1, 6}, {6, 1}};
    std::uint64_t seed = 1;
    for (const cv::Size& size : sizes) {
        const int largest = std::max(size.width, size.height) + 3;
        for (int r = 1; r <= largest; ++r) {
            for (int type : {CV_8UC1, CV_64FC1, CV_32FC1, CV_16SC1}) {
                const cv::Mat src = randomImage(size.height, size.width, type, -40, 300, seed++);
                cv::Mat expected;
                literal::padSymmetric(r, expected, src);
                SCOPED_TRACE(testing::Message() << size << " r=" << r << " type=" << type);
                EXPECT_BIT_EQUAL(padded(r, src), expected);
            }
        }
    }
}

TEST(PadSymmetric, MirrorRepeatsTheEdge) {
    EXPECT_BIT_EQUAL(padded(3, rowOf({1, 2, 3, 4, 5, 6})).row(3),
                     rowOf({3, 2, 1, 1, 2, 3, 4, 5, 6, 6, 5, 4}));
    cv::Mat rows = (cv::Mat_<uchar>(3, 3) << 10, 10, 10, 20, 20, 20, 30, 30, 30);
    cv::Mat column = padded(2, rows).col(3).t();
    EXPECT_BIT_EQUAL(column, rowOf({20, 10, 10, 20, 30, 30, 20}));
    EXPECT_BIT_EQUAL(padded(1, cv::Mat(1, 1, CV_8UC1, cv::Scalar(77))), cv::Mat(3, 3, CV_8UC1, cv::Scalar(77)));
}

TEST(PadSymmetric, BorderAsTallAsTheImageFlipsTheWholeImage) {
    const cv::Mat src = randomImage(3, 5, CV_8UC1, 0, 256, 7);
    cv::Mat flipped;
    cv::flip(src, flipped, 0);
    EXPECT_BIT_EQUAL(padded(3, src)(cv::Rect(3, 0, 5, 3)), flipped);
}

TEST(PadSymmetric, CornersAreTheImageCornersRotatedHalfATurn) {
    const int r = 3, R = 6, C = 8;
    const cv::Mat src = randomImage(R, C, CV_8UC1, 0, 256, 11);
    const cv::Mat dst = padded(r, src);
    const std::vector<std::pair<cv::Rect, cv::Rect>> corners = {
        {cv::Rect(0, 0, r, r), cv::Rect(0, 0, r, r)},
        {cv::Rect(C + r, 0, r, r), cv::Rect(C - r, 0, r, r)},
        {cv::Rect(0, R + r, r, r), cv::Rect(0, R - r, r, r)},
        {cv::Rect(C + r, R + r, r, r), cv::Rect(C - r, R - r, r, r)}};
    for (const auto& corner : corners) {
        cv::Mat rotated;
        cv::flip(src(corner.second), rotated, -1);
        EXPECT_BIT_EQUAL(dst(corner.first), rotated);
    }
}

TEST(PadSymmetric, FloatingValuesAreRoundedAndSaturated) {
    cv::Mat src = (cv::Mat_<double>(1, 3) << -3.7, 12.4, 300.2);
    EXPECT_BIT_EQUAL(padded(1, src).row(1), rowOf({0, 0, 12, 255, 255}));
}

TEST(PadSymmetric, BorderWiderThanTheImageKeepsReflecting) {
    EXPECT_BIT_EQUAL(padded(3, rowOf({1, 2})).row(3), rowOf({2, 2, 1, 1, 2, 2, 1, 1}));
    EXPECT_BIT_EQUAL(padded(2, cv::Mat(1, 1, CV_8UC1, cv::Scalar(9))), cv::Mat(5, 5, CV_8UC1, cv::Scalar(9)));
}

TEST(PadSymmetric, NeverWritesOrSharesTheSource) {
    cv::Mat src = randomImage(4, 5, CV_8UC1, 0, 256, 3);
    const cv::Mat before = src.clone();
    cv::Mat dst = padded(1, src);
    dst.setTo(0);
    EXPECT_BIT_EQUAL(src, before);

    cv::Mat same = src;
    padSymmetric(2, same, same);
    EXPECT_EQ(same.size(), cv::Size(9, 8));
    EXPECT_BIT_EQUAL(src, before);
}

TEST(PadSymmetric, RejectsWhatItCannotPad) {
    cv::Mat dst;
    EXPECT_THROW(padSymmetric(0, dst, cv::Mat::ones(3, 3, CV_8UC1)), std::invalid_argument);
    EXPECT_THROW(padSymmetric(-1, dst, cv::Mat::ones(3, 3, CV_8UC1)), std::invalid_argument);
    EXPECT_THROW(padSymmetric(1, dst, cv::Mat::ones(3, 3, CV_8UC3)), std::invalid_argument);
    EXPECT_THROW(padSymmetric(1, dst, cv::Mat()), std::invalid_argument);
    EXPECT_TRUE(dst.empty());
}
