#pragma once
#include <opencv2/core.hpp>

namespace nightdehaze::detail {

// Element-wise quotient of two CV_64F matrices of the same size and channel
// count, yielding 0 wherever the denominator is exactly 0 (a pixel with nothing
// to divide by contributes nothing, rather than inf or NaN).
cv::Mat quotientOrZero(const cv::Mat& numerator, const cv::Mat& denominator);

// An 8-bit image divided by a CV_64F map of its size and channel count, 0
// where the map is 0, rounded and saturated to 8 bits (roundToByte): the bytes
// quotientOrZero of the image in doubles gives once converted to 8 bits,
// without the two image-sized matrices of doubles in between.
cv::Mat bytesDividedByMap(const cv::Mat& image8u, const cv::Mat& map);

}  // namespace nightdehaze::detail
