#pragma once
#include <opencv2/core.hpp>

namespace literal {
// Box sums as written: full tables, three-case differences. Only for images of
// at least 2r+1 rows and columns; smaller images go to clippedWindowSums.
void cumBoxFilter(int r, cv::Mat& dst, cv::Mat src);
// Direct sums over each clipped window (for any size; rounding of its own).
cv::Mat clippedWindowSums(int r, const cv::Mat& src64);
}  // namespace literal
