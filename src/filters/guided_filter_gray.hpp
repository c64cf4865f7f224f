#pragma once
#include <opencv2/core.hpp>

// Guided filter under a single-channel guide: q = mean(a)*I + mean(b), with
// a = cov(I,p)/(var(I)+eps) and b = mean(p) - a*mean(I) fitted in every window of
// side 2r+1 (clipped at the border, means by cumBoxFilter). I and p are one
// channel each, same size, any depth, not rescaled (callers pass 0..1).
// q becomes a new CV_64FC1 matrix; q, I and p may all be the same object.
void guidedFilterGray(int r, cv::Mat& q, cv::Mat I, cv::Mat p, double eps);
