#pragma once
#include <opencv2/core.hpp>

#include <vector>

namespace nightdehaze::detail {

// Window sums of a single-channel CV_32F or CV_64F plane over the window of
// radius r clipped at the border, dst of src's size and depth (dst may be
// src). Column sums slide in double within bands of at most 128 rows set by
// the height (slidingBandRows), each band starting afresh; along a row, a
// window's sum is the difference of two running sums in double over a
// quarter of the row (radius 0: the column sum itself). The error stays that
// of a few hundred double additions at any size up to hundreds of
// megapixels, and the bits depend neither on the number of threads nor on
// the CPU.
void fastWindowSums(int r, const cv::Mat& src, cv::Mat& dst);

// The window means: each sum times (1 / rows(y)) * (1 / cols(x)) in double,
// the window's pixel counts as fastWindowCounts gives them, in src's depth.
void fastWindowMeans(int r, const cv::Mat& src, cv::Mat& dst);

// The window means of a * b, each product formed in double (a and b of one
// size and type, a may be b): no plane of products is made.
void fastWindowMeansOfProducts(int r, const cv::Mat& a, const cv::Mat& b, cv::Mat& dst);

// How many pixels of a line of this length the window of radius r centred at
// each position covers.
std::vector<float> fastWindowCounts(int length, int r);

}  // namespace nightdehaze::detail
