#pragma once
#include <opencv2/core.hpp>

namespace literal {
// The dark-chroma softening as written: luma and chroma planes, their 7x7
// means by box sums over window counts, the share from the mean luma, and the
// chroma shrunk towards grey where a channel would fall below 0.
cv::Mat suppressDarkChroma(const cv::Mat& bgr8);
}  // namespace literal
