#include "nightdehaze/nightdehaze.hpp"
#include "test_images.hpp"

#include <gtest/gtest.h>

#include <cmath>

using namespace nightdehaze;

TEST(ElementwisePower, FollowsStdPowElementByElement) {
    cv::Mat src = testing_support::randomImage(17, 23, CV_64F, -1.0, 2.0, 5), out;
    src.at<double>(0, 0) = 0.0;
    elementwisePower(out, src, 1.0 / 3.0);
    ASSERT_EQ(out.type(), CV_64FC1);
    for (int i = 0; i < src.rows; ++i)
        for (int j = 0; j < src.cols; ++j) {
            const double expected = std::pow(src.at<double>(i, j), 1.0 / 3.0);
            if (std::isnan(expected)) EXPECT_TRUE(std::isnan(out.at<double>(i, j)));
            else EXPECT_EQ(out.at<double>(i, j), expected);
        }
}

TEST(ElementwisePower, EightBitSourceIsNotNormalised) {
    cv::Mat out;
    elementwisePower(out, cv::Mat(2, 2, CV_8U, cv::Scalar(8)), 1.0 / 3.0);
    EXPECT_NEAR(out.at<double>(1, 1), 2.0, 1e-12);
}

TEST(ElementwisePower, InPlaceKeepsTheCallersPixels) {
    cv::Mat src = testing_support::randomImage(4, 5, CV_64F, 0, 1, 2);
    cv::Mat alias = src, before = src.clone();
    elementwisePower(src, src, 2.0);
    EXPECT_BIT_EQUAL(alias, before);
    EXPECT_EQ(src.at<double>(1, 1), before.at<double>(1, 1) * before.at<double>(1, 1));
    cv::Mat empty;
    elementwisePower(empty, cv::Mat(), 2.0);
    EXPECT_TRUE(empty.empty());
}
