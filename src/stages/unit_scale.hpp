#pragma once
#include <opencv2/core.hpp>

namespace nightdehaze::detail {

// An 8-bit image (any number of channels) as a new continuous double image on
// the 0..1 scale: each element converted, then divided by kUnitScale.
cv::Mat unitScaled(const cv::Mat& image8u);

}  // namespace nightdehaze::detail
