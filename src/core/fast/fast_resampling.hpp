#pragma once
// The two resamplings of the subsampled guided filter: block means down to a
// grid s times coarser, and bilinear interpolation back up, row by row.
#include <opencv2/core.hpp>

#include <vector>

namespace nightdehaze::detail {

// The size of the grid s times coarser: ceil(rows / s) x ceil(cols / s).
cv::Size coarseSize(cv::Size full, int s);

// Means of the s x s blocks of a CV_32FC1 or CV_64FC1 plane (the last blocks
// clipped at the border), summed in double in row-major order: a CV_64FC1
// plane of coarseSize. s >= 1.
cv::Mat blockMeans(const cv::Mat& plane, int s);

// The same for channel c of an 8-bit three-channel image, each byte times
// scale.
cv::Mat blockMeansOfChannel(const cv::Mat& bgr8, int c, int s, double scale);

// Where a full-resolution position falls between two coarse samples: the
// lower sample's index and the weight of the upper one (0 at and beyond the
// outer samples' centres).
struct LinearAxis {
    std::vector<int> lower;
    std::vector<float> weight;
};
LinearAxis linearAxis(int fullLength, int coarseLength, int s);

// Bilinear interpolation of coarse CV_32FC1 planes to full resolution, one
// full row at a time: a + (b - a) * w along each axis, vertical first.
class UpsampledRows {
public:
    UpsampledRows(cv::Size full, cv::Size coarse, int s);
    // Full row y of coarse (coarse.cols floats of scratch) into out (full.width).
    void row(const cv::Mat& coarse, int y, float* scratch, float* out) const;
    int coarseCols() const { return coarseCols_; }
    int fullCols() const { return static_cast<int>(xs_.lower.size()); }

private:
    LinearAxis ys_, xs_;
    int coarseCols_;
};

}  // namespace nightdehaze::detail
