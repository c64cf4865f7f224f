#pragma once
#include <opencv2/core.hpp>

namespace literal {
// Box sums as written: full tables, three-case differences. In an image of
// fewer than 2r+1 rows (or columns) the first case reads the last row (column)
// where i + r is past it.
void cumBoxFilter(int r, cv::Mat& dst, cv::Mat src);
// Direct sums over each clipped window (for any size; rounding of its own).
cv::Mat clippedWindowSums(int r, const cv::Mat& src64);
}  // namespace literal
