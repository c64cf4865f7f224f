#pragma once
#include <opencv2/core.hpp>

// Window sums (not means) of a single-channel image over the square of side
// 2r+1 centred on each pixel, clipped at the border (outside pixels are not
// counted). Values keep their units (an 8-bit source sums 0..255). Running sums
// go down the columns first, then along the rows; that order fixes the rounding.
// dst becomes a new CV_64FC1 matrix and may be the same object as src.
// Throws std::invalid_argument when r < 0 or src has more than one channel.
void cumBoxFilter(int r, cv::Mat& dst, cv::Mat src);
