#pragma once
#include <opencv2/core.hpp>

namespace nightdehaze::detail {

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

}  // namespace nightdehaze::detail
