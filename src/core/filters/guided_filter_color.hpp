#pragma once
#include "nightdehaze/nightdehaze.hpp"

namespace nightdehaze::detail {

// guidedFilterColor (public header) written over its input's pixels, which
// saves an image-sized plane: plane is p and q at once (CV_64FC1); every holder
// of its pixels sees the result. Throws std::invalid_argument where
// guidedFilterColor does, and when plane is not CV_64FC1 or shares pixels with
// the guide.
void guidedFilterColorInPlace(int r, cv::Mat& plane, const cv::Mat& I, double eps);

// A three-channel 8-bit image standing for the double guide whose elements
// are v * scale + 0.0, computed as each row is read: the same bits as the
// double image, in an eighth of the memory and of the memory traffic.
struct ByteGuide {
    cv::Mat image;  // CV_8UC3
    double scale;
};

// guidedFilterColorInPlace under a byte guide. Throws as it does, and when
// the guide is not CV_8UC3.
void guidedFilterColorInPlace(int r, cv::Mat& plane, const ByteGuide& guide, double eps);

}  // namespace nightdehaze::detail
