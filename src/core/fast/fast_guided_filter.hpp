#pragma once
// The guided filter of the fast engine in two halves: the coefficients,
// fitted over windows on a plane that may be coarser than the picture, and
// their application to the full-resolution guide, one row at a time.
#include "core/fast/fast_resampling.hpp"

#include <opencv2/core.hpp>

#include <vector>

namespace nightdehaze::detail {

// What the colour guided filter fits once per guide and radius: the window
// means of the three guide planes and the inverse of their covariance plus
// eps on the diagonal (the six entries 00, 01, 02, 11, 12, 22), CV_32FC1.
struct ColorGuideStats {
    int r = 0;
    cv::Mat mean[3];
    cv::Mat inverse[6];
};

// guide: three CV_32FC1 planes of one size (channels 0, 1, 2), eps >= 0. The
// window means are summed in double, the covariances and inverse in double.
ColorGuideStats colorGuideStats(int r, const cv::Mat guide[3], double eps);

// The window means of the coefficients of p = a0*I0 + a1*I1 + a2*I2 + b fitted
// under the guide the stats belong to: four CV_32FC1 planes of its size. p:
// CV_32FC1 of the guide's size. Sums and the solution in double.
struct ColorCoefficients {
    cv::Mat a[3];
    cv::Mat b;
};
ColorCoefficients colorCoefficients(const ColorGuideStats& stats, const cv::Mat guide[3], const cv::Mat& p);

// The rows of a colour filter's result at full resolution: the coefficients,
// bilinearly interpolated from their (coarse) grid, applied to the 8-bit
// guide image's bytes times scale: out = ((a0*I0 + a1*I1) + a2*I2) + b. One
// object per thread (it keeps interpolated rows); the coefficients, the axes
// and the image must outlive it.
class ColorFilterRows {
public:
    ColorFilterRows(const ColorCoefficients& coefficients, const UpsampledRows& upsampling,
                    const cv::Mat& bgr8, float scale);
    void row(int y, float* out);

private:
    UpsampledPlaneRows a_[3], b_;
    const cv::Mat& bgr8_;
    float scale_;
    bool identity_;
    std::vector<float> guide_[3];  // a row of the guide's channels times scale
};

}  // namespace nightdehaze::detail

namespace nightdehaze::detail {

// An 8-bit BGR image as the guide of colour filters fitted on a grid s
// times coarser: its block means there on the 0..1 scale, computed once for
// every filter under it, and the axes back to full resolution, where it
// applies their coefficients. bgr8 must outlive it.
class CoarseGuide {
public:
    CoarseGuide(const cv::Mat& bgr8, int s);
    // The rows of a filtered plane at full resolution.
    ColorFilterRows rows(const ColorCoefficients& coefficients) const;
    // The coefficients of the colour guided filter at radius r fitted to a
    // plane on this grid (CV_32FC1), at coarseRadius(r, s), streamed: for a
    // plane alone under the guide, without a FastColorFilter's statistics.
    ColorCoefficients fitStreamed(const cv::Mat& coarsePlane, int r, double eps) const;
    const cv::Mat* means() const { return means_; }
    cv::Size coarse() const { return means_[0].size(); }
    int factor() const { return s_; }

private:
    const cv::Mat& bgr8_;
    int s_;
    cv::Mat means_[3];
    UpsampledRows upsampling_;
};

// The colour guided filter at radius r under a coarse guide, fitted on its
// grid at coarseRadius(r, s): the guide statistics are computed once and
// shared by every plane filtered with it. The guide must outlive the filter.
class FastColorFilter {
public:
    FastColorFilter(const CoarseGuide& guide, int r, double eps);
    // Coefficients fitting a full-resolution CV_32FC1 plane (block-averaged
    // first) or a plane already on the coarse grid (CV_32FC1).
    ColorCoefficients fit(const cv::Mat& plane) const;
    ColorCoefficients fitCoarse(const cv::Mat& coarsePlane) const;
    // The filtered plane on the coarse grid times scale: the coefficients
    // applied to the guide's block means, (((a0*G0 + a1*G1) + a2*G2) + b) *
    // scale, CV_32FC1.
    cv::Mat coarseResult(const ColorCoefficients& coefficients, float scale) const;
    int factor() const { return guide_.factor(); }

private:
    const CoarseGuide& guide_;
    ColorGuideStats stats_;
};

// The radius on a grid s times coarser that stands for radius r: r / s, but
// at least 1 when r is (a radius 0 stays 0).
int coarseRadius(int r, int s);

}  // namespace nightdehaze::detail
