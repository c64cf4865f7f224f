#pragma once
// Slow, literal local atmospheric light: per grid window deep copies reshaped
// to rows, cv::sortIdx rankings, and cv::add of each window's light into the
// window views of the accumulators, in grid order.
#include <opencv2/core.hpp>
#include <vector>

namespace literal {

// S0, S1, S2, N as the production localAirlight. When V (CV_8UC1) is given, B
// also receives, over every window, the maximum of V over that window.
void localAirlight(int r, const std::vector<cv::Mat>& planes, const cv::Mat& dark, cv::Mat& S0,
                   cv::Mat& S1, cv::Mat& S2, cv::Mat& N, const cv::Mat* V = nullptr,
                   cv::Mat* B = nullptr);

}  // namespace literal
