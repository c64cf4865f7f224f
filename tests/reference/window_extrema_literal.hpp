#pragma once
// Slow, literal window extrema: one cv::minMaxLoc per pixel over the clipped
// window Box(i, j; h).
#include <opencv2/core.hpp>

namespace literal {

// Box(i, j; h) of an H x W image: rows max(i-h, 0) .. min(i+h+1, H), columns
// likewise, end exclusive.
cv::Rect box(int i, int j, int h, int H, int W);

// Same type as src (one channel).
void windowMinimum(int h, cv::Mat& dst, const cv::Mat& src);
void windowMaximum(int h, cv::Mat& dst, const cv::Mat& src);

}  // namespace literal
