// The 8-bit division by a map against the literal form (the image converted
// to doubles, divided, converted back) on maps with zeros and negative
// factors and on views; and the quotients beyond the int range, which give 0
// as OpenCV's x86 conversion gives them.
#include "core/stages/bytes_divided_by_map.hpp"
#include "reference/stages_literal.hpp"
#include "test_images.hpp"

#include <gtest/gtest.h>

#include <stdexcept>

using namespace nightdehaze::detail;
using testing_support::randomImage;

TEST(BytesDividedByMap, GivesTheLiteralBytesAndZeroForHugeQuotients) {
    const cv::Mat whole = randomImage(40, 37, CV_8UC3, 0, 256, 5);
    for (const cv::Mat& image : {whole, whole(cv::Rect(3, 2, 31, 29)), whole(cv::Rect(0, 0, 1, 1))}) {
        cv::Mat map = randomImage(image.rows, image.cols, CV_64FC3, -0.2, 1.5, 6);
        for (int k = 0; k < static_cast<int>(map.total() * 3); k += 7) map.ptr<double>()[k] = 0.0;
        EXPECT_BIT_EQUAL(bytesDividedByMap(image, map), literal::dividedByMapLiteral(image, map));
    }
    const cv::Mat bytes(1, 1, CV_8UC3, cv::Scalar(200, 200, 7));
    const cv::Mat map(1, 1, CV_64FC3, cv::Scalar(1e-300, 0.5, -2.0));
    EXPECT_EQ(bytesDividedByMap(bytes, map).at<cv::Vec3b>(0, 0), cv::Vec3b(0, 255, 0));
    EXPECT_THROW(bytesDividedByMap(whole, cv::Mat(40, 37, CV_32FC3)), std::invalid_argument);
}
