#pragma once
#include <opencv2/core.hpp>

namespace literal {

// Slow, obviously-correct colour guided filter: every step a plain OpenCV
// matrix expression, a cv::Mat S and u per pixel, S.inv(DECOMP_LU) and u * Sinv.
// Same contract as ::guidedFilterColor, without its argument checks.
void guidedFilterColor(int r, cv::Mat& q, cv::Mat I, cv::Mat p, double eps);

}  // namespace literal
