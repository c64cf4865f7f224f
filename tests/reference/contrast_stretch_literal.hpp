#pragma once
#include <opencv2/core.hpp>

namespace literal {
// The stretch as written: a full index sort per plane and sums at the sorted
// positions, with the tool's two guards (each tail at least one pixel, equal
// tail means leave the plane unchanged).
void contrastStretch(cv::Mat& dst, cv::Mat src);
}  // namespace literal
