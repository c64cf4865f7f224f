#pragma once
#include <opencv2/core.hpp>

#include <array>

namespace nightdehaze::detail {

constexpr int kBlock = 8;     // JPEG block side
constexpr int kRampHalf = 4;  // pixels on each side of a boundary that share its excess
// The share of a boundary's excess each of the kRampHalf pixels on either side takes.
constexpr double kRampShares[kRampHalf] = {4.0 / 8.0, 3.0 / 8.0, 2.0 / 8.0, 1.0 / 8.0};
// An excess up to this many times the grid's typical step is taken for an
// artefact: quantisation errors of a block's mean spread around that step.
constexpr double kThresholdFactor = 8.0;

// Jump across the boundary in front of index x of a line, beyond the mean of
// the slopes just before and just after it (levels).
inline double boundaryExcess(double before2, double before1, double after1, double after2) {
    const double jump = after1 - before1;
    const double slopes = ((before1 - before2) + (after2 - after1)) / 2.0;
    return jump - slopes;
}

// The boundary excesses of one axis, |excess| capped at 8 levels, summed per
// phase (index modulo 8) of the index in front of which they lie.
struct PhaseExcesses {
    std::array<double, kBlock> sums{};
    std::array<double, kBlock> counts{};
    void add(int index, double excess);
    // The phase of the largest mean and its lead over the median of the
    // other seven (both 0 for an empty axis is the caller's matter).
    void grid(int& phase, double& step) const;
};

// A fixed threshold in [0, 1) per pixel and channel, spread like white noise:
// rounding a spread step against it keeps the ramp's mean level in 8 bits,
// where plain rounding would pile the whole step up on one pixel.
double ditherThreshold(int y, int x, int c);

// Where a picture carries the 8x8 block grid of JPEG compression, and how
// strongly: per axis, the grid phase (0..7, the first column or row of a
// block) and the step, in 0..255 levels, by which luma jumps across the
// grid's boundaries more than across the other seven phases (0: no grid).
struct BlockGrid {
    int columnPhase = 0, rowPhase = 0;
    double columnStep = 0.0, rowStep = 0.0;
};

// Measures the block grid of an 8-bit BGR image (CV_8UC3) from the mean
// boundary excess of its luma 0.114 B + 0.587 G + 0.299 R at each phase,
// each |excess| counted up to 8 levels.
BlockGrid findBlockGrid(const cv::Mat& bgr8);

// Removes the steps that JPEG compression leaves on the block grid: at every
// boundary, per channel and line, the jump between the two pixels beside the
// boundary is compared with the mean slope on either side; an excess of at
// most threshold levels is spread as a linear ramp over the four pixels on
// each side (1/2, 3/8, 1/4, 1/8 of it), larger ones are edges and stay.
// Columns first, then rows. Returns a new CV_8UC3 image: changed values are
// rounded down after adding a fixed pseudo-random threshold in [0, 1) per
// pixel and channel (dithered, so that a ramp keeps its mean level), then
// saturated; unchanged pixels keep their bytes.
cv::Mat deblockGrid(const cv::Mat& bgr8, const BlockGrid& grid, double thresholdFactor);

// findBlockGrid, then deblockGrid with the thresholds the tool uses.
cv::Mat deblockJpegGrid(const cv::Mat& bgr8);

// The same in single precision (luma, excesses and ramps), with the same
// dither: a changed value differs from deblockJpegGrid's only where an
// excess lies within float rounding of its threshold or a ramped value of an
// integer, by a level.
cv::Mat fastDeblockJpegGrid(const cv::Mat& bgr8);

}  // namespace nightdehaze::detail
