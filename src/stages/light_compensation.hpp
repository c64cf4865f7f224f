#pragma once
#include <opencv2/core.hpp>

// Brightens an 8-bit BGR image in HSV space: hue and saturation are kept and
// the value V becomes 255*(V/255)^(1/3) times the ratio of V to the V of an
// edge-preserving smoothed copy (grey guided filter per plane at radius r, the
// ratio smoothed at r + 5), rounded to 8 bits. eps regularises both filters on
// the 0..1 scale. dst becomes CV_8UC3 and may be the same object as src.
// Throws std::invalid_argument unless src is CV_8UC3.
void lightCompensation(int r, cv::Mat& dst, cv::Mat src, double eps);
