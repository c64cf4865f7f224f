#pragma once
#include <opencv2/core.hpp>

namespace literal {
// The self-guided filter with a regularisation per window, written with
// matrix expressions: a = var / (var + eps) (0 where that is 0 / 0),
// b = mean - a * mean, result mean(a) * plane + mean(b).
cv::Mat selfGuidedFilter(int r, const cv::Mat& plane, const cv::Mat& eps);
}  // namespace literal
