#pragma once
#include <opencv2/core.hpp>
#include <vector>

// Dark channel: at every pixel the minimum over the three 8-bit planes and over
// the window of half-size h (clipped at the border), as a CV_64FC1 matrix in
// 0..255 (255 when nothing is darker). dark becomes a new matrix (it may be
// the object of a plane). Throws std::invalid_argument for h < 0 or planes that
// are not three CV_8UC1 of one size.
void darkChannel(int h, cv::Mat& dark, const std::vector<cv::Mat>& planes);
