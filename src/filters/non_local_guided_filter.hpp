#pragma once
#include <opencv2/core.hpp>

#include <cstdint>
#include <vector>

// Guided filter whose local means are non-local-means weighted means over the
// search window of radius s (clipped at the border): the weight of a window
// pixel comes from the distance between (2r+1)^2 guide patches (mirrored at the
// border, guide rounded to whole grey levels), noise level sigma. The output is
// the weighted mean of the per-pixel model a2*I2 + a1*I1 + a0*I0 + b; eps is
// added to the diagonal of each pixel's 3x3 guide covariance.
// I: three channels, p: one channel, same size, any depth, both on the 0..255
// scale. q becomes a new CV_64FC1 matrix and may be the matrix p was built from.
// Throws std::invalid_argument for r < 1, s < 0, sigma <= 0 or NaN, an empty or
// non-three-channel guide, or a p without one channel or of another size.
void nonLocalGuidedFilter(int r, int s, cv::Mat& q, cv::Mat I, cv::Mat p,
                          double sigma, double eps);

// Filters several inputs under one guide in one sweep: the patch weights and
// the guide statistics are computed once and shared. outputs[k] is bit for bit
// what nonLocalGuidedFilter(r, s, outputs[k], I, inputs[k], sigma, eps) gives.
// outputs is resized to inputs.size(); its elements may be the inputs.
// Throws std::invalid_argument as nonLocalGuidedFilter does, for every input.
void nonLocalGuidedFilterMany(int r, int s, std::vector<cv::Mat>& outputs, cv::Mat I,
                              const std::vector<cv::Mat>& inputs, double sigma, double eps);

// As above, with a bound on the memory (bytes) kept between the two sweeps so
// that the second reads the first's patch weights back instead of recomputing
// them. The bound changes only the speed, never the results; the other
// functions choose it from the image size.
void nonLocalGuidedFilterMany(int r, int s, std::vector<cv::Mat>& outputs, cv::Mat I,
                              const std::vector<cv::Mat>& inputs, double sigma, double eps,
                              std::int64_t weightLogBytes);
