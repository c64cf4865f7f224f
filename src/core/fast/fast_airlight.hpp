#pragma once
// The local light of the fast engine: the same grid windows and candidate
// counts as the exact estimate, found by counting 8-bit levels instead of
// ranking, with ties between equal values going to the earlier pixel.
#include "core/stages/airlight_grid.hpp"

#include <opencv2/core.hpp>

namespace nightdehaze::detail {

// The light of every grid window, one gridRows x gridCols CV_32FC1 plane per
// channel (0..255). In each window of n pixels the boundary is the dark value
// at rank min(kTop, n - 1) from the top (kTop: 5 % of a full window), and
// k = (the count at or above it) - 1 when that count is at most n - 2, else
// n - 1, and at least 1. The candidates are the pixels darker-channel-above
// the boundary and the first (row-major) of those at the boundary, k in all;
// the light is the mean colour of the min(k, r) candidates with the largest
// channel sums, ties to the earlier pixel. bgr8: CV_8UC3, dark8: CV_8UC1 of
// the grid's image size.
void fastWindowAirlight(const AirlightGrid& grid, const cv::Mat& bgr8, const cv::Mat& dark8, cv::Mat values[3]);

// The largest byte of plane8u (CV_8UC1 of the grid's image size) in every
// grid window: gridRows x gridCols CV_64FC1, as windowMaxima gives it.
cv::Mat fastWindowMaxima(const AirlightGrid& grid, const cv::Mat& plane8u);

// The block means (blockMeans at factor s) of the plane that holds, at
// every pixel of an image of this size, the mean of the values (a gridRows x
// gridCols CV_32FC1 or CV_64FC1 matrix) of the grid windows covering it,
// times scale (in single precision); the full-size plane is never made.
cv::Mat gridWindowBlockMeans(const AirlightGrid& grid, const cv::Mat& values, cv::Size image, float scale, int s);

}  // namespace nightdehaze::detail
