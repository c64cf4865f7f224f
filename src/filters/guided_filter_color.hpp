#pragma once
#include <opencv2/core.hpp>

// Guided filter under a three-channel guide: per window of side 2r+1 (clipped
// at the border) p is fitted as a2*I2 + a1*I1 + a0*I0 + b, the 3x3 system
// (guide covariance + eps on the diagonal) solved by the LU inverse, and the
// window sums of the coefficients applied to the guide, divided by the count.
// I: three channels, p: one channel, same size, any depth, not rescaled
// (callers pass 0..1). q becomes a new CV_64FC1 matrix and may be p itself.
// Throws std::invalid_argument when r < 0, I does not have three channels, p
// does not have one, or their sizes differ.
void guidedFilterColor(int r, cv::Mat& q, cv::Mat I, cv::Mat p, double eps);

// The same filter written over its input's pixels, which saves an image-sized
// plane: plane is p and q at once (CV_64FC1); every holder of its pixels sees
// the result. Throws as above, and when plane is not CV_64FC1 or shares pixels
// with the guide.
void guidedFilterColorInPlace(int r, cv::Mat& plane, const cv::Mat& I, double eps);
