#pragma once
#include <opencv2/core.hpp>

namespace nightdehaze::detail {

// Maximum of a CV_32FC1 plane over the window of radius h clipped at the
// border (no NaN): dst a new CV_32FC1 plane of src's size (may be src).
void fastWindowMaximum(int h, const cv::Mat& src, cv::Mat& dst);

}  // namespace nightdehaze::detail
