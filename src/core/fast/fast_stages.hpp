#pragma once
// The three stages of the fast engine: the exact stages' definitions in
// single precision, with the large-window guided filters fitted on coarser
// grids and the element-wise steps fused into the rows that use them.
#include "nightdehaze/nightdehaze.hpp"

namespace nightdehaze::detail {

// lightCompensation at radius r on a non-empty CV_8UC3 image: a new CV_8UC3
// image. The value is lifted as there, and the picture rebuilt from its
// 8-bit hue and saturation and the new value as there.
cv::Mat fastLightCompensation(const cv::Mat& bgr8, int r, double eps);

// The image divided by the correction map of colorCorrection (a zero factor
// giving 0), rounded to 8 bits: a new CV_8UC3 image.
cv::Mat fastColorCorrected(const cv::Mat& bgr8, const DehazeContext& context, int r, double eps);

// dehaze: the dehazed image (a new CV_8UC3) and, when maps is given, the
// airlight (CV_8UC3) and the transmission (CV_64FC1, 0..1) in new matrices.
cv::Mat fastDehaze(const cv::Mat& bgr8, const DehazeContext& context, int r, double eps, HazeMaps* maps);

// The darkest byte of the three channels over the window of radius h
// (CV_8UC1), as darkChannel computes it.
cv::Mat fastDarkChannel(int h, const cv::Mat& bgr8);

}  // namespace nightdehaze::detail
