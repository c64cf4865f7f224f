#pragma once
#include <opencv2/core.hpp>

namespace nightdehaze::detail {

// Element-wise quotient of two CV_64F matrices of the same size and channel
// count, yielding 0 wherever the denominator is exactly 0 (a pixel with nothing
// to divide by contributes nothing, rather than inf or NaN).
cv::Mat quotientOrZero(const cv::Mat& numerator, const cv::Mat& denominator);

}  // namespace nightdehaze::detail
