#pragma once
#include <opencv2/core.hpp>
#include <string>

// Reads and decodes the image file at path as 8-bit BGR (any format OpenCV
// decodes; grey, 16-bit and alpha inputs are converted). Throws
// std::runtime_error naming the path and the reason when the file cannot be
// opened, is not a regular file, is empty, or does not decode.
cv::Mat readColorImage(const std::string& path);
