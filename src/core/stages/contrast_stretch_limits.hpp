#pragma once
// The contrast stretch in two steps, so that a caller can choose the limits a
// stretch applies (the video path smooths them over time).
#include "nightdehaze/nightdehaze.hpp"

#include <opencv2/core.hpp>

#include <array>

namespace nightdehaze::detail {

// Per plane (B, G, R) of an 8-bit image, on the 0..255 scale: low, the mean of
// its darkest 1 % (at least one pixel), and high, the mean of its brightest 1 %.
struct StretchLimits {
    std::array<double, 3> low{};
    std::array<double, 3> high{};
};

// The limits contrastStretch measures on a non-empty CV_8UC3 image.
StretchLimits measureStretchLimits(const cv::Mat& bgr8);

// How many pixels of a plane hold each level.
using Histogram = std::array<long long, 256>;

// The limits of one plane of n pixels (n >= 1) from its histogram, as
// measureStretchLimits finds them.
void limitsOfPlane(const Histogram& counts, long long n, double& low, double& high);

// The level each level becomes in the stretch of applyStretchLimits with
// these limits of a plane (itself when high is not above low).
std::array<uchar, 256> stretchLevels(double low, double high);

// Maps each plane's low to 0 and high to 255 linearly, rounded and saturated
// to 8 bits; a plane whose high is not above its low is copied unchanged.
// dst becomes CV_8UC3 of src's size and may be the same object as src.
void applyStretchLimits(cv::Mat& dst, const cv::Mat& src, const StretchLimits& limits);

}  // namespace nightdehaze::detail
