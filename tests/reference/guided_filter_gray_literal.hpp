#pragma once
#include <opencv2/core.hpp>

namespace literal {
// The grey guided filter as written, with matrix expressions; a quotient by an
// exact zero yields 0.
void guidedFilterGray(int r, cv::Mat& q, cv::Mat I, cv::Mat p, double eps);
// Element-wise quotient that yields 0 where the denominator is 0.
cv::Mat divideOrZero(const cv::Mat& a, const cv::Mat& b);
}  // namespace literal
