#pragma once
// Slow, literal versions of the fast engine's kernels, written from their
// definitions: one pixel at a time, no running sums, no caches.
#include <opencv2/core.hpp>

namespace literal {

// Sum (or mean) in double of every clipped window of radius r of a CV_32FC1
// or CV_64FC1 plane, added pixel by pixel: a CV_64FC1 plane.
cv::Mat fastWindowSums(int r, const cv::Mat& plane, bool means);
// The sum at one pixel only, and the sum of the absolute values there.
double windowSumAt(int r, const cv::Mat& plane, int y, int x, double* absoluteSum = nullptr);

// Means of the s x s blocks (clipped at the border), summed in double in
// row-major order, then rounded to single precision: CV_32FC1.
cv::Mat blockMeans(const cv::Mat& plane, int s);

// Bilinear interpolation of a coarse CV_32FC1 plane to full size: sample
// centres at (i + 0.5) * s - 0.5, weights in single precision, each coarse
// row first interpolated along x, then the two rows around a full row along
// y, each step a + (b - a) * w; outside the outer centres the edge sample.
cv::Mat upsampled(const cv::Mat& coarse, cv::Size full, int s);

// Maximum of a CV_32FC1 plane over the clipped window of radius h.
cv::Mat windowMaximum(int h, const cv::Mat& plane);

// The fast light of every grid window of radius r (grid centres 0, r, 2r, ...):
// the boundary is the dark value at descending rank min(top, n - 1), top =
// floor((2r + 1)^2 * 0.05); k = (count at or above it) - 1 when that count is
// at most n - 2, else n - 1, at least 1; the candidates are the pixels above
// the boundary and the first (row-major) pixels at it, k in all; the light is
// the mean colour of the min(k, r) candidates with the largest channel sums,
// ties to the earlier pixel. Three gridRows x gridCols CV_64FC1 planes.
void fastWindowAirlight(int r, const cv::Mat& bgr8, const cv::Mat& dark8, cv::Mat values[3]);

// The largest byte of a CV_8UC1 plane in each grid window of radius r
// (centres every r pixels, clipped at the border): CV_64FC1.
cv::Mat gridWindowMaxima(int r, const cv::Mat& plane8u);

// At every pixel of an image of this size, the mean in double of the values
// (gridRows x gridCols, CV_64FC1) of the grid windows of radius r covering
// it (centre within r along both axes): CV_64FC1.
cv::Mat gridWindowMeans(int r, const cv::Mat& values, cv::Size image);

}  // namespace literal
