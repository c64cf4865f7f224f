#pragma once
// The two ends of --clean, independent of the engine that runs between them:
// 8-bit pictures in and out, and what the first end estimates for the second.
#include <opencv2/core.hpp>

namespace nightdehaze::detail {

// The input made ready for the enhancement, and its noise level before that
// (0..255 levels, the deviation of Gaussian noise).
struct CleanInput {
    cv::Mat picture;
    double noiseLevel = 0.0;
};

// Removes the JPEG block grid of an 8-bit BGR picture (CV_8UC3), measures its
// noise and smooths that noise in its dark areas. fast: in single precision.
CleanInput cleanInput(const cv::Mat& bgr8, bool fast);

// Suppresses what the enhancement amplified from the noise of input.picture
// in its result (CV_8UC3, of the input's size), and the colour noise of the
// result's dark areas. Returns a new CV_8UC3 image. fast: in single
// precision, the enhancement's gain measured on 8x8 tiles.
cv::Mat cleanResult(const CleanInput& input, const cv::Mat& result, bool fast);

}  // namespace nightdehaze::detail
