#pragma once
#include <opencv2/core.hpp>

namespace nightdehaze::detail {

// An 8-bit image (any number of channels) as a new continuous double image on
// the 0..1 scale: each element divided by 255 as a matrix expression folds it,
// times the factor 1/255.
cv::Mat unitScaled(const cv::Mat& image8u);

}  // namespace nightdehaze::detail
