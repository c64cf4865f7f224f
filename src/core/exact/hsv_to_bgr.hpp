#pragma once
#include <opencv2/core.hpp>

namespace nightdehaze::detail {

// cv::cvtColor(hsv, bgr, COLOR_HSV2BGR) of an 8-bit image (hue in degrees
// halved, saturation and value 0..255), as OpenCV computes it with run-time
// dispatch off, on every machine: within each row, the pixels of the leading
// whole blocks of 16 take OpenCV's vector formula (truncated to 8 bits), the
// remaining pixels its scalar formula (rounded). Returns a new CV_8UC3 image;
// throws std::invalid_argument for anything but CV_8UC3.
cv::Mat hsvToBgr(const cv::Mat& hsv);

}  // namespace nightdehaze::detail
