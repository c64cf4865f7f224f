#pragma once
#include <opencv2/core.hpp>

// Guided filter whose local means are non-local-means weighted means over the
// search window of radius s (clipped at the border): the weight of a window
// pixel comes from the distance between (2r+1)^2 guide patches (mirrored at the
// border, guide rounded to whole grey levels), noise level sigma. The output is
// the weighted mean of the per-pixel model a2*I2 + a1*I1 + a0*I0 + b.
// I: three channels, p: one channel, same size, both on the 0..255 scale.
// q becomes a new CV_64FC1 matrix and may be the matrix p was built from.
// Throws std::invalid_argument for r < 1, s < 0, sigma <= 0 or a bad guide.
void nonLocalGuidedFilter(int r, int s, cv::Mat& q, cv::Mat I, cv::Mat p,
                          double sigma, double eps);
