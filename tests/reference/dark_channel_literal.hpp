#pragma once
// Slow, literal dark channel: per pixel and plane a cv::minMaxLoc over the
// clipped window, folded into a running minimum that starts at 255.
#include <opencv2/core.hpp>
#include <vector>

namespace literal {

void darkChannel(int h, cv::Mat& dark, const std::vector<cv::Mat>& planes);

}  // namespace literal
