#pragma once
#include <opencv2/core.hpp>

namespace literal {

// The non-local guided filter computed pixel by pixel the obvious way: every
// weight from three nested loops over the patch, the weights recomputed in the
// second sweep, the statistics as matrix expressions and a fresh 3x3 Mat
// inverted by DECOMP_LU at every pixel. Slow; for small test images only.
void nonLocalGuidedFilter(int r, int s, cv::Mat& q, cv::Mat I, cv::Mat p, double sigma, double eps);

}  // namespace literal
