#include "reference/contrast_stretch_literal.hpp"
#include "nightdehaze/nightdehaze.hpp"
#include "test_images.hpp"

#include <gtest/gtest.h>

using namespace nightdehaze;

using testing_support::randomImage;

namespace {
cv::Mat planeOfValues(int rows, int cols, int first) {
    cv::Mat plane(rows, cols, CV_8U);
    for (int k = 0; k < rows * cols; ++k) plane.at<uchar>(k / cols, k % cols) = static_cast<uchar>(first + k);
    return plane;
}
cv::Mat threeOf(const cv::Mat& plane) {
    cv::Mat image;
    cv::merge(std::vector<cv::Mat>{plane, plane, plane}, image);
    return image;
}
}  // namespace

TEST(ContrastStretch, HistogramTailsMatchTheSortedTailsBitForBit) {
    const int sizes[][2] = {{10, 10}, {20, 25}, {10, 20}, {7, 7}, {33, 47}, {240, 320}, {1, 1}, {1, 3}, {3, 1}, {2, 2}};
    std::uint64_t seed = 40;
    for (auto& s : sizes) {
        for (auto range : {std::pair<int, int>{0, 256}, {30, 60}, {250, 256}, {0, 3}}) {
            cv::Mat src = randomImage(s[0], s[1], CV_8UC3, range.first, range.second, seed++), fast, slow;
            contrastStretch(fast, src);
            literal::contrastStretch(slow, src);
            SCOPED_TRACE(testing::Message() << s[0] << "x" << s[1] << " values " << range.first << ".." << range.second);
            EXPECT_BIT_EQUAL(fast, slow);
        }
    }
}

TEST(ContrastStretch, HundredPixelPlaneMapsItsExtremesToTheEnds) {
    cv::Mat out;
    contrastStretch(out, threeOf(planeOfValues(10, 10, 10)));  // values 10..109
    EXPECT_EQ(out.at<cv::Vec3b>(0, 0)[0], 0);
    EXPECT_EQ(out.at<cv::Vec3b>(9, 9)[1], 255);
    EXPECT_EQ(out.at<cv::Vec3b>(4, 0)[2], 103);  // the value 50
}

TEST(ContrastStretch, TailsAreMeansOfOnePercentAndSaturate) {
    // 500 pixels: 5 in each tail. Dark tail 0,0,0,0,10 -> mean 2; bright tail
    // five 202 -> mean 202; so 2 -> 0, 102 -> 127.5 -> 128, 0 saturates at 0.
    cv::Mat plane(20, 25, CV_8U, cv::Scalar(102));
    plane.at<uchar>(0, 0) = plane.at<uchar>(0, 1) = plane.at<uchar>(0, 2) = plane.at<uchar>(0, 3) = 0;
    plane.at<uchar>(0, 4) = 10;
    for (int k = 0; k < 5; ++k) plane.at<uchar>(19, k) = 202;
    cv::Mat out;
    contrastStretch(out, threeOf(plane));
    EXPECT_EQ(out.at<cv::Vec3b>(0, 0)[0], 0);
    EXPECT_EQ(out.at<cv::Vec3b>(0, 4)[0], 10);  // (10-2)/200*255 = 10.2
    EXPECT_EQ(out.at<cv::Vec3b>(10, 10)[0], 128);
    EXPECT_EQ(out.at<cv::Vec3b>(19, 0)[0], 255);
}

TEST(ContrastStretch, FlatPlanesAndTinyImagesStayUnchanged) {
    cv::Mat flat(15, 15, CV_8UC3, cv::Scalar(7, 128, 255)), out;
    contrastStretch(out, flat);
    EXPECT_BIT_EQUAL(out, flat);
    cv::Mat single(1, 1, CV_8UC3, cv::Scalar(1, 2, 3));
    contrastStretch(out, single);
    EXPECT_BIT_EQUAL(out, single);
}

TEST(ContrastStretch, SameMatrixAsInputAndOutputGivesTheSameResult) {
    cv::Mat src = randomImage(31, 29, CV_8UC3, 20, 200, 77), separate;
    contrastStretch(separate, src);
    cv::Mat inPlace = src.clone();
    contrastStretch(inPlace, inPlace);
    EXPECT_BIT_EQUAL(inPlace, separate);
}

TEST(ContrastStretch, RejectsNonColourInput) {
    cv::Mat out;
    EXPECT_THROW(contrastStretch(out, cv::Mat(4, 4, CV_8UC1)), std::invalid_argument);
    EXPECT_THROW(contrastStretch(out, cv::Mat(4, 4, CV_64FC3)), std::invalid_argument);
}

TEST(SumAtIndices, ReadsEachDepthAtThePositionsInOrder) {
    cv::Mat positions = (cv::Mat_<int>(1, 3) << 2, 0, 2);
    EXPECT_EQ(sumAtIndices((cv::Mat_<uchar>(1, 3) << 1, 2, 250), positions, CV_8U), 501.0);
    EXPECT_EQ(sumAtIndices((cv::Mat_<int>(1, 3) << -5, 2, 7), positions, CV_32S), 9.0);
    EXPECT_EQ(sumAtIndices((cv::Mat_<float>(1, 3) << 0.5f, 2, 1.25f), positions, CV_32F), 3.0);
    EXPECT_EQ(sumAtIndices((cv::Mat_<double>(1, 3) << 1e16, 2, 1.0), positions, CV_64F), (1.0 + 1e16) + 1.0);  // in order: not 1e16 + 2
}
