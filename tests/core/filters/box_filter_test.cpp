#include "nightdehaze/nightdehaze.hpp"
#include "reference/box_filter_literal.hpp"
#include "test_images.hpp"

#include <gtest/gtest.h>
#include <opencv2/core/utility.hpp>

using namespace nightdehaze;

using testing_support::randomImage;

TEST(BoxFilter, AllOnesGivesClippedWindowCounts) {
    cv::Mat sums;
    cumBoxFilter(1, sums, cv::Mat::ones(5, 5, CV_64F));
    EXPECT_EQ(sums.at<double>(0, 0), 4.0);
    EXPECT_EQ(sums.at<double>(0, 2), 6.0);
    EXPECT_EQ(sums.at<double>(2, 0), 6.0);
    EXPECT_EQ(sums.at<double>(2, 2), 9.0);
    EXPECT_EQ(sums.at<double>(4, 4), 4.0);
}

TEST(BoxFilter, EightBitSourceIsSummedInItsOwnUnits) {
    cv::Mat sums;
    cumBoxFilter(1, sums, cv::Mat(3, 3, CV_8U, cv::Scalar(255)));
    EXPECT_EQ(sums.type(), CV_64FC1);
    EXPECT_EQ(sums.at<double>(1, 1), 9 * 255.0);
    EXPECT_EQ(sums.at<double>(0, 1), 6 * 255.0);
    EXPECT_EQ(sums.at<double>(0, 0), 4 * 255.0);
}

TEST(BoxFilter, MatchesLiteralRunningSumsBitForBit) {
    const int sizes[][2] = {{1, 1}, {3, 3}, {11, 11}, {11, 40}, {37, 53}, {64, 65}, {120, 97}};
    const int radii[] = {0, 1, 2, 5, 10, 32};
    std::uint64_t seed = 1;
    for (auto& s : sizes)
        for (int r : radii) {
            if (s[0] < 2 * r + 1 || s[1] < 2 * r + 1) continue;
            cv::Mat src = randomImage(s[0], s[1], CV_64F, -1.0, 1.0, seed++), fast, slow;
            cumBoxFilter(r, fast, src);
            literal::cumBoxFilter(r, slow, src);
            SCOPED_TRACE(testing::Message() << s[0] << "x" << s[1] << " r=" << r);
            EXPECT_BIT_EQUAL(fast, slow);
        }
}

TEST(BoxFilter, ImagesSmallerThanTheWindowGetClippedSums) {
    // Whole-number values: every order of summation is exact, so the sums
    // must equal the direct clipped-window sums.
    const int sizes[][2] = {{1, 1}, {1, 7}, {7, 1}, {2, 2}, {4, 30}, {30, 4}};
    for (auto& s : sizes)
        for (int r : {1, 3, 5, 32}) {
            cv::Mat src = randomImage(s[0], s[1], CV_64F, 0, 200, 7), sums;
            src.convertTo(src, CV_32S);
            src.convertTo(src, CV_64F);
            cumBoxFilter(r, sums, src);
            SCOPED_TRACE(testing::Message() << s[0] << "x" << s[1] << " r=" << r);
            EXPECT_BIT_EQUAL(sums, literal::clippedWindowSums(r, src));
        }
}

TEST(BoxFilter, InPlaceCallLeavesSharedPixelsAlone) {
    cv::Mat src = randomImage(9, 9, CV_64F, 0, 1, 3);
    cv::Mat alias = src, before = src.clone();
    cumBoxFilter(2, src, src);
    EXPECT_BIT_EQUAL(alias, before);
    EXPECT_NE(src.data, alias.data);
}

TEST(BoxFilter, EmptyAndInvalidInputs) {
    cv::Mat sums;
    cumBoxFilter(3, sums, cv::Mat());
    EXPECT_TRUE(sums.empty());
    EXPECT_THROW(cumBoxFilter(-1, sums, cv::Mat::ones(3, 3, CV_64F)), std::invalid_argument);
    EXPECT_THROW(cumBoxFilter(1, sums, cv::Mat::ones(3, 3, CV_64FC3)), std::invalid_argument);
}

TEST(BoxFilter, SameBitsWithOneThreadAndMany) {
    cv::Mat src = randomImage(300, 700, CV_64F, -5, 5, 11), many, one;
    cumBoxFilter(7, many, src);
    {
        testing_support::ThreadCount single(1);
        cumBoxFilter(7, one, src);
    }
    EXPECT_BIT_EQUAL(many, one);
}
