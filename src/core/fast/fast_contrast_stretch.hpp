#pragma once
// The contrast stretch over the interleaved image in one pass to count and
// one to map: the same limits and the same bytes as the stretch of the
// exact engine, which splits the image into planes.
#include "core/stages/contrast_stretch_limits.hpp"

namespace nightdehaze::detail {

// measureStretchLimits of a non-empty CV_8UC3 image.
StretchLimits fastMeasureStretchLimits(const cv::Mat& bgr8);

// applyStretchLimits: dst becomes CV_8UC3 of src's size and may be src.
void fastApplyStretchLimits(cv::Mat& dst, const cv::Mat& src, const StretchLimits& limits);

}  // namespace nightdehaze::detail
