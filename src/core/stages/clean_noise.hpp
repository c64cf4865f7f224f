#pragma once
#include <opencv2/core.hpp>

namespace nightdehaze::detail {

// Noise level of an 8-bit BGR image (CV_8UC3), in 0..255 levels: per channel,
// the mean absolute response of the mask [1 -2 1; -2 4 -2; 1 -2 1] over 8x8
// tiles that hold neither 0 nor 255, scaled to a Gaussian noise's standard
// deviation, and the 5th percentile over all tiles and channels (the flattest
// tiles hold noise alone), corrected for the percentile's own bias on pure
// noise. 0 when no tile qualifies. Both engines take it from every tile: on a
// picture of texture throughout, a sample of them moves it enough to change
// what the smoothing keeps.
double estimateNoiseLevel(const cv::Mat& bgr8);

// Smooths the input's own noise before the enhancement, whose estimates (the
// darkest pixels, the window minima and maxima, the brightest 1 %) it would
// otherwise shift: each channel of an 8-bit BGR image (CV_8UC3) guided-filtered
// by itself at radius 2 with eps (1.5 * noiseLevel)^2, the noise level floored
// at 1/2, so that what varies by less than about 1.5 noise deviations is
// flattened; eps fades from windows of mean 32 to 0 at mean 96 and above.
// Returns a new CV_8UC3 image (rounded).
cv::Mat smoothInputNoise(const cv::Mat& bgr8, double noiseLevel);

// Smooths away what the enhancement amplified below the input's noise level.
// Per channel, the local gain of the enhancement is the ratio of the fine
// detail (the plane minus its 3x3 mean) of output and input, in RMS over
// windows of radius 16; the output's noise there is about gain * noiseLevel +
// 1/2 levels (the noise level floored at 1/2). The output plane is guided-
// filtered by itself at radius 4, each window regularised by the square of
// 2.5 times that noise at its centre: what varies less than about 2.5 noise
// deviations is flattened to the window mean, edges and ramps stay. input and
// output are CV_8UC3 of one size; returns a new CV_8UC3 image (rounded,
// saturated). input is the enhancement's input, output its result.
cv::Mat suppressAmplifiedNoise(const cv::Mat& input, const cv::Mat& output, double noiseLevel);

// The two smoothings in single precision (floatSelfGuidedFilter), within a
// level or two of the above. The fast suppression takes the gain from 8x8
// tiles of the detail sampled at every second row, box-averaged over 5x5
// tiles and interpolated bilinearly between tile centres.
cv::Mat fastSmoothInputNoise(const cv::Mat& bgr8, double noiseLevel);
cv::Mat fastSuppressAmplifiedNoise(const cv::Mat& input, const cv::Mat& output, double noiseLevel);

}  // namespace nightdehaze::detail
