#pragma once
#include <opencv2/core.hpp>

// dst(i, j) = std::pow(src(i, j), p) for a single-channel source of any depth,
// taken as double without rescaling. dst becomes a new CV_64FC1 matrix and may
// be the same object as src; the caller's pixels are never written.
void elementwisePower(cv::Mat& dst, cv::Mat src, double p);
