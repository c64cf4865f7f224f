#pragma once
#include "nightdehaze/nightdehaze.hpp"

namespace nightdehaze::detail {

// guidedFilterColor (public header) written over its input's pixels, which
// saves an image-sized plane: plane is p and q at once (CV_64FC1); every holder
// of its pixels sees the result. Throws std::invalid_argument where
// guidedFilterColor does, and when plane is not CV_64FC1 or shares pixels with
// the guide.
void guidedFilterColorInPlace(int r, cv::Mat& plane, const cv::Mat& I, double eps);

}  // namespace nightdehaze::detail
