#pragma once
#include <opencv2/core.hpp>

// Sum, in double precision and in the order given, of values[positions[k]] for
// every column k of the single-row CV_32SC1 matrix positions; values is read as
// one flat continuous array of the element type named by depth (CV_8U, CV_32S,
// CV_32F or CV_64F).
double sumAtIndices(cv::Mat values, cv::Mat positions, int depth);

namespace literal {
// The stretch as written: a full index sort per plane and sums at the sorted
// positions, with the tool's two guards (each tail at least one pixel, equal
// tail means leave the plane unchanged).
void contrastStretch(cv::Mat& dst, cv::Mat src);
}  // namespace literal
