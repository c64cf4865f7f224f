#pragma once
#include <opencv2/core.hpp>

namespace nightdehaze::detail {

// Window extrema over the square of side 2h+1 centred on each pixel, clipped at
// the border (pixels outside the image are never read or counted). Values keep
// their type and units. dst becomes a new matrix and may be the same object as
// src. Throw std::invalid_argument for h < 0 or a source of the wrong type.

// Minimum of a CV_8UC1 plane over every window; dst is CV_8UC1.
void windowMinimum(int h, cv::Mat& dst, const cv::Mat& src8u);

// Maximum of a CV_64FC1 plane over every window; dst is CV_64FC1. Any values
// but NaN (infinities included); of +0.0 and -0.0 in one window either may win.
void windowMaximum(int h, cv::Mat& dst, const cv::Mat& src64f);

}  // namespace nightdehaze::detail
