#pragma once
#include <opencv2/core.hpp>

#include <vector>

namespace nightdehaze::detail {

// Window sums of a single-channel CV_32F or CV_64F plane over the window of
// radius r clipped at the border, dst of src's size and depth (dst may be
// src). Column sums slide in double within bands of a fixed number of rows,
// each band starting afresh, and each row's sums add the 2r + 1 column sums
// in order: the error stays that of a few dozen additions at any size, and
// the bits do not depend on the number of threads.
void fastWindowSums(int r, const cv::Mat& src, cv::Mat& dst);

// How many pixels of a line of this length the window of radius r centred at
// each position covers.
std::vector<float> fastWindowCounts(int length, int r);

}  // namespace nightdehaze::detail
