#pragma once
#include <opencv2/core.hpp>

namespace nightdehaze::detail {

// Softens the colour noise of dark areas, where the enhancement splits noise
// into saturated speckles (one channel lifted off black, the others not).
// Luma Y = 0.114 B + 0.587 G + 0.299 R and chroma, each channel minus Y; where
// the mean luma of the 7x7 window around a pixel is at most 24 levels, its
// chroma becomes the window's mean chroma, from 64 levels on it stays, and in
// between it moves that share of the way. The chroma is then shrunk towards
// grey as far as needed for no channel to fall below 0, so that luma is kept
// and black stays black. Windows are clipped at the border. bgr8: CV_8UC3;
// returns a new CV_8UC3 image (rounded, saturated).
cv::Mat suppressDarkChroma(const cv::Mat& bgr8);

// The same in single precision (halves rounded up), streamed by rows in bands
// set by the height: within a level of suppressDarkChroma.
cv::Mat fastSuppressDarkChroma(const cv::Mat& bgr8);

}  // namespace nightdehaze::detail
