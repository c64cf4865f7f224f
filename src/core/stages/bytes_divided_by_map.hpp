#pragma once
#include <opencv2/core.hpp>

namespace nightdehaze::detail {

// An 8-bit image divided by a CV_64F map of its size and channel count, 0
// where the map is 0, rounded and saturated to 8 bits (roundToByte), without
// image-sized matrices of doubles in between.
cv::Mat bytesDividedByMap(const cv::Mat& image8u, const cv::Mat& map);

}  // namespace nightdehaze::detail
