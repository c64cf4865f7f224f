#pragma once
// Double images converted to 8 bits as cv::Mat::convertTo gives them on
// x86-64 with OpenCV's baseline vector code, on every CPU. Values whose
// rounding leaves the int range, and NaN, give 0 (see roundToByte).
#include <opencv2/core.hpp>

namespace nightdehaze::detail {

// convertTo(dst, CV_8U): each element rounded in double precision.
// src: CV_64F, any channels and layout; returns a new CV_8U image of its size.
cv::Mat roundedToBytes(const cv::Mat& src);

// convertTo(dst, CV_8U, scale): OpenCV scales in single precision,
// float(x) * float(scale), except on rows shorter than its vector block (8
// elements, a continuous image counting as one row), where it computes
// x * float(scale) in double. The two differ near halves (a transmission of
// 0.99803924621834 times 255 is 254.5 in floats, 254.500008 in doubles).
cv::Mat scaledToBytes(const cv::Mat& src, double scale);

}  // namespace nightdehaze::detail
