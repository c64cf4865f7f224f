#pragma once
// Guided filters streamed down a plane: their window sums slide from row to
// row within bands, so that no plane of guide statistics or of their means
// is ever made.
#include <opencv2/core.hpp>

#include <functional>

namespace nightdehaze::detail {

// Receives row y of a filtered plane (cols floats, valid during the call).
// Called once per row, from several threads at once, the rows of a band in
// order.
using FilteredRowSink = std::function<void(int y, const float* row)>;

// The coefficients of the colour guided filter of radius r >= 0 fitted to p
// (non-empty CV_32FC1) under a guide of three CV_32FC1 planes of its size,
// eps >= 0: the window means of the guide, of its products and of p summed
// and the coefficients solved in double, kept in single precision; their
// window means into out[0..3] (a0, a1, a2, b; new CV_32FC1 planes of p's
// size). Window sums restart at every band (an even number of bands of at
// most 128 rows, set by the height), so the bits depend neither on the
// number of threads nor on the CPU. Each thread fits a run of bands into a
// ring of 2r + band rows (and the r rows on each side of its run).
void streamedColorCoefficients(const cv::Mat guide[3], const cv::Mat& p, int r, double eps, cv::Mat out[4]);

// The grey guided filter of radius r >= 0 with p (CV_32FC1) as its own
// guide, eps >= 0: a = var / (var + eps) and b = mean - a * mean from window
// means summed and solved in double, kept in single precision; their window
// means applied as meanA * p + meanB in single precision, each row handed to
// sink. Bands, rings and invariance as above.
void streamedSelfGuidedFilter(const cv::Mat& p, int r, double eps, const FilteredRowSink& sink);

}  // namespace nightdehaze::detail
