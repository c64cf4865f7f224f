// The 8-bit division by a map against its long form: the image in doubles,
// quotientOrZero, then rounded to bytes; maps with zeros, negative factors,
// factors that saturate, and a view into a larger image.
#include "filters/quotient_or_zero.hpp"
#include "util/elementwise_in_chunks.hpp"
#include "test_images.hpp"

#include <gtest/gtest.h>

#include <stdexcept>

using namespace nightdehaze::detail;
using testing_support::randomImage;

TEST(BytesDividedByMap, GivesTheBytesOfTheQuotientInDoubles) {
    const cv::Mat whole = randomImage(40, 37, CV_8UC3, 0, 256, 5);
    for (const cv::Mat& image : {whole, whole(cv::Rect(3, 2, 31, 29)), whole(cv::Rect(0, 0, 1, 1))}) {
        cv::Mat map = randomImage(image.rows, image.cols, CV_64FC3, -0.2, 1.5, 6);
        for (int k = 0; k < static_cast<int>(map.total() * 3); k += 7) map.ptr<double>()[k] = 0.0;
        for (int k = 3; k < static_cast<int>(map.total() * 3); k += 11) map.ptr<double>()[k] = 1e-300;
        const cv::Mat expected = convertedInChunks(quotientOrZero(convertedInChunks(image, CV_64F), map), CV_8U);
        EXPECT_BIT_EQUAL(bytesDividedByMap(image, map), expected);
    }
    EXPECT_THROW(bytesDividedByMap(whole, cv::Mat(40, 37, CV_32FC3)), std::invalid_argument);
}
