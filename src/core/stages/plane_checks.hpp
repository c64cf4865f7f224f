#pragma once
#include <opencv2/core.hpp>

#include <string>
#include <vector>

namespace nightdehaze::detail {

// Throws std::invalid_argument, its message starting with who, unless planes
// holds exactly three CV_8UC1 planes of one size.
void checkEightBitPlanes(const char* who, const std::vector<cv::Mat>& planes);

// Throws std::invalid_argument with message unless ok.
void require(bool ok, const std::string& message);

}  // namespace nightdehaze::detail
