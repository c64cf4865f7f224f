#pragma once
#include <opencv2/core.hpp>

namespace literal {
// The noise level as written: every 8x8 tile (from row and column 1) of every
// channel that holds neither 0 nor 255, the mean |response| of the mask
// [1 -2 1; -2 4 -2; 1 -2 1] over it, the 5th percentile of those, scaled by
// sqrt(pi / 2) / 6 and 1.25.
double estimateNoiseLevel(const cv::Mat& bgr8);
}  // namespace literal
