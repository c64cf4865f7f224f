#pragma once
#include "core/stages/airlight_grid.hpp"

#include <opencv2/core.hpp>
#include <vector>

namespace nightdehaze::detail {

// The light of every grid window, one gridRows x gridCols CV_64FC1 matrix per
// channel (0..255), as localAirlight below defines it. planes: three CV_8UC1,
// dark: CV_64FC1, all of the grid's image size (std::invalid_argument if not).
void windowAirlight(const AirlightGrid& grid, const std::vector<cv::Mat>& planes,
                    const cv::Mat& dark, cv::Mat values[3]);

// Local atmospheric light. In every grid window the pixels with the highest
// dark-channel values (the top 5 % of a full window, extended over ties; equal
// values in cv::sortIdx's order) are the candidates; the mean colour of the
// min(k, r) brightest candidates is added into S0, S1, S2 over the window, and
// 1 into N. planes: three CV_8UC1, dark: CV_64FC1 in 0..255. S0, S1, S2 and N
// become new CV_64FC1 matrices (they may be the objects of the inputs). A
// window smaller than the top 5 % of a full one ranks all its pixels, and at
// least one candidate is taken, so tiny images and r = 1 give finite means.
// Throws std::invalid_argument for r < 1 or planes and dark that are not as
// described, or differ in size.
void localAirlight(int r, const std::vector<cv::Mat>& planes, const cv::Mat& dark,
                   cv::Mat& S0, cv::Mat& S1, cv::Mat& S2, cv::Mat& N);

// localAirlight without the count plane N, which the stages do not hold: its
// values are the returned coverage's, at(y, x) = N(y, x).
WindowCoverage localAirlightSums(int r, const std::vector<cv::Mat>& planes, const cv::Mat& dark,
                                 cv::Mat& S0, cv::Mat& S1, cv::Mat& S2);

}  // namespace nightdehaze::detail
