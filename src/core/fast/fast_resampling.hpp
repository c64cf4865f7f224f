#pragma once
// The two resamplings of the subsampled guided filter: block means down to a
// grid s times coarser, and bilinear interpolation back up, row by row.
#include <opencv2/core.hpp>

#include <functional>
#include <vector>

namespace nightdehaze::detail {

// The size of the grid s times coarser: ceil(rows / s) x ceil(cols / s).
cv::Size coarseSize(cv::Size full, int s);

// Means of the s x s blocks of a CV_32FC1 or CV_64FC1 plane (the last blocks
// clipped at the border), summed in double in row-major order and rounded to
// single precision: a CV_32FC1 plane of coarseSize. s >= 1.
cv::Mat blockMeans(const cv::Mat& plane, int s);

// The same for the CV_32FC1 plane of size full whose row y row(y, out)
// writes (full.width values), without making the plane; row is called from
// several threads at once.
cv::Mat blockMeansOfRows(cv::Size full, int s, const std::function<void(int y, float* out)>& row);

// The same for channel c of an 8-bit three-channel image: each block's sum
// of bytes times scale, over its pixel count.
cv::Mat blockMeansOfChannel(const cv::Mat& bgr8, int c, int s, double scale);

// Where a full-resolution position falls between two coarse samples: the
// lower sample's index and the weight of the upper one (0 at and beyond the
// outer samples' centres).
struct LinearAxis {
    std::vector<int> lower;
    std::vector<float> weight;
};
LinearAxis linearAxis(int fullLength, int coarseLength, int s);

// The two axes of a bilinear interpolation from a coarse grid (s times
// coarser) to full resolution.
class UpsampledRows {
public:
    UpsampledRows(cv::Size full, cv::Size coarse, int s);
    int coarseCols() const { return coarseCols_; }
    int fullCols() const { return static_cast<int>(xs_.lower.size()); }
    const LinearAxis& ys() const { return ys_; }
    const LinearAxis& xs() const { return xs_; }
    // s = 1: the coarse grid is the full one and every row is its own.
    bool identity() const { return identity_; }
    int factor() const { return s_; }

private:
    LinearAxis ys_, xs_;
    int coarseCols_;
    int s_;
    bool identity_;
};

// The full-resolution rows of one coarse CV_32FC1 plane: each coarse row
// interpolated along x once (a + (b - a) * w) and kept while the full rows
// between it and the next use it, then the two rows around a full row
// interpolated the same way along y. Holds two rows; one object per thread,
// cheapest when rows are asked for in increasing order. The plane and the
// axes must outlive it.
class UpsampledPlaneRows {
public:
    UpsampledPlaneRows(const UpsampledRows& axes, const cv::Mat& coarse);
    // Full row y into out (fullCols floats).
    void row(int y, float* out);
    // The rows along x above and below full row y and the weight of the one
    // below: row y is lower + (upper - lower) * weight, and for the identity
    // lower itself (upper the same row, weight 0). Valid until the next call.
    struct Around {
        const float* lower;
        const float* upper;
        float weight;
    };
    Around around(int y);

private:
    const float* alongX(int coarseRow);

    const UpsampledRows& axes_;
    const cv::Mat& coarse_;
    std::vector<float> kept_[2];
    int keptRow_[2] = {-1, -1};
    int next_ = 0;  // which of kept_ to replace next
};

}  // namespace nightdehaze::detail
