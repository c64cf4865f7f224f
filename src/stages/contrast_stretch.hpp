#pragma once
#include <opencv2/core.hpp>

// Stretches each plane of an 8-bit three-channel image so that the mean of its
// darkest 1 % maps to 0 and the mean of its brightest 1 % to 255, saturating
// outside. Each tail holds at least one pixel; a plane whose two tail means are
// equal is left unchanged. dst becomes CV_8UC3 and may be the same object as src.
// Throws std::invalid_argument unless src is CV_8UC3.
void contrastStretch(cv::Mat& dst, cv::Mat src);

// Sum, in double precision and in the order given, of values[positions[k]] for
// every column k of the single-row CV_32SC1 matrix positions; values is read as
// one flat continuous array of the element type named by depth (CV_8U, CV_32S,
// CV_32F or CV_64F).
double sumAtIndices(cv::Mat values, cv::Mat positions, int depth);
