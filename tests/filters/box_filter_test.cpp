#include "filters/box_filter.hpp"
#include "test_images.hpp"

#include <gtest/gtest.h>

TEST(BoxFilter, AllOnesGivesClippedWindowCounts) {
    cv::Mat ones = cv::Mat::ones(5, 5, CV_64F), sums;
    cumBoxFilter(1, sums, ones);
    EXPECT_EQ(sums.at<double>(0, 0), 4.0);
    EXPECT_EQ(sums.at<double>(0, 2), 6.0);
    EXPECT_EQ(sums.at<double>(2, 2), 9.0);
}
