#pragma once
#include <opencv2/core.hpp>

namespace literal {
// The self-guided filter with a regularisation per window, written with
// matrix expressions: a = var / (var + eps) (0 where that is 0 / 0),
// b = mean - a * mean, result mean(a) * plane + mean(b).
cv::Mat selfGuidedFilter(int r, const cv::Mat& plane, const cv::Mat& eps);
// The same with each window's eps from its mean m: eps where m <= fullBelow,
// 0 where m >= noneAbove, on the straight line between them otherwise.
cv::Mat selfGuidedFilterFading(int r, const cv::Mat& plane, double eps, double fullBelow,
                               double noneAbove);
}  // namespace literal
