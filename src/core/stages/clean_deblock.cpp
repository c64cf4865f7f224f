#include "core/stages/clean_deblock.hpp"

#include "core/exact/exact_arithmetic.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

namespace nightdehaze::detail {

namespace {

// Excesses are counted up to this many levels when the grid is measured:
// block steps are a few levels, and a few strong edges on one phase would
// otherwise outweigh them.
constexpr double kExcessCap = 8.0;


cv::Mat lumaOf(const cv::Mat& bgr8) {
    cv::Mat luma(bgr8.size(), CV_64FC1);
    for (int y = 0; y < bgr8.rows; ++y) {
        const cv::Vec3b* in = bgr8.ptr<cv::Vec3b>(y);
        double* out = luma.ptr<double>(y);
        for (int x = 0; x < bgr8.cols; ++x)
            out[x] = 0.114 * in[x][0] + 0.587 * in[x][1] + 0.299 * in[x][2];
    }
    return luma;
}

// Phase and step of the grid across the columns of a plane (lines are rows).
void gridAcrossColumns(const cv::Mat& plane, int& phase, double& step) {
    phase = 0;
    step = 0.0;
    if (plane.cols < 2 * kBlock) return;
    PhaseExcesses excesses;
    for (int y = 0; y < plane.rows; ++y) {
        const double* v = plane.ptr<double>(y);
        for (int x = 2; x + 1 < plane.cols; ++x)
            excesses.add(x, boundaryExcess(v[x - 2], v[x - 1], v[x], v[x + 1]));
    }
    excesses.grid(phase, step);
}

// Spreads the small excesses of the boundaries at x = phase + 8k of every row
// of a three-channel double image, in place.
void deblockAcrossColumns(cv::Mat& image, int phase, double threshold) {
    if (!(threshold > 0.0)) return;
    int first = phase;
    while (first < kRampHalf) first += kBlock;
    for (int y = 0; y < image.rows; ++y) {
        cv::Vec3d* v = image.ptr<cv::Vec3d>(y);
        for (int x = first; x + kRampHalf <= image.cols; x += kBlock) {
            for (int c = 0; c < 3; ++c) {
                const double excess =
                    boundaryExcess(v[x - 2][c], v[x - 1][c], v[x][c], v[x + 1][c]);
                if (std::abs(excess) > threshold) continue;
                for (int i = 0; i < kRampHalf; ++i) {
                    v[x - 1 - i][c] += excess * kRampShares[i];
                    v[x + i][c] -= excess * kRampShares[i];
                }
            }
        }
    }
}

// Pixels the ramps changed are rounded against the dither, the others kept.
cv::Mat roundedWithDither(const cv::Mat& deblocked, const cv::Mat& bgr8) {
    cv::Mat result = bgr8.clone();
    for (int y = 0; y < result.rows; ++y) {
        const cv::Vec3d* v = deblocked.ptr<cv::Vec3d>(y);
        cv::Vec3b* out = result.ptr<cv::Vec3b>(y);
        for (int x = 0; x < result.cols; ++x)
            for (int c = 0; c < 3; ++c)
                if (v[x][c] != out[x][c])
                    out[x][c] = roundToByte(std::floor(v[x][c] + ditherThreshold(y, x, c)));
    }
    return result;
}

}  // namespace

void PhaseExcesses::add(int index, double excess) {
    sums[index % kBlock] += std::min(std::abs(excess), kExcessCap);
    counts[index % kBlock] += 1.0;
}

void PhaseExcesses::grid(int& phase, double& step) const {
    std::array<double, kBlock> means{};
    for (int o = 0; o < kBlock; ++o) means[o] = sums[o] / counts[o];
    phase = static_cast<int>(std::max_element(means.begin(), means.end()) - means.begin());
    std::array<double, kBlock - 1> others{};
    std::copy(means.begin(), means.begin() + phase, others.begin());
    std::copy(means.begin() + phase + 1, means.end(), others.begin() + phase);
    std::nth_element(others.begin(), others.begin() + kBlock / 2 - 1, others.end());
    step = means[phase] - others[kBlock / 2 - 1];
}

double ditherThreshold(int y, int x, int c) {
    std::uint32_t h = static_cast<std::uint32_t>(y) * 0x9E3779B1u ^
                      static_cast<std::uint32_t>(x) * 0x85EBCA77u ^
                      static_cast<std::uint32_t>(c) * 0xC2B2AE3Du;
    h ^= h >> 15;
    h *= 0x2C1B3C6Du;
    h ^= h >> 12;
    return (h >> 8) * (1.0 / 16777216.0);
}

BlockGrid findBlockGrid(const cv::Mat& bgr8) {
    const cv::Mat luma = lumaOf(bgr8);
    BlockGrid grid;
    gridAcrossColumns(luma, grid.columnPhase, grid.columnStep);
    gridAcrossColumns(luma.t(), grid.rowPhase, grid.rowStep);
    return grid;
}

cv::Mat deblockGrid(const cv::Mat& bgr8, const BlockGrid& grid, double thresholdFactor) {
    cv::Mat image;
    bgr8.convertTo(image, CV_64F);
    deblockAcrossColumns(image, grid.columnPhase, thresholdFactor * grid.columnStep);
    cv::Mat transposed = image.t();
    deblockAcrossColumns(transposed, grid.rowPhase, thresholdFactor * grid.rowStep);
    return roundedWithDither(transposed.t(), bgr8);
}

cv::Mat deblockJpegGrid(const cv::Mat& bgr8) {
    return deblockGrid(bgr8, findBlockGrid(bgr8), kThresholdFactor);
}

}  // namespace nightdehaze::detail
