// The JPEG grid deblocking of --clean in single precision.
#include "core/stages/clean_deblock.hpp"

#include "core/exact/exact_arithmetic.hpp"
#include "core/runtime/vector_kernels.hpp"

#include <opencv2/core/utility.hpp>

#include <cmath>
#include <cstdint>
#include <vector>

namespace nightdehaze::detail {

namespace {

constexpr float kExcessCapFloat = 8.0f;  // as the grid's measure caps each excess

NIGHTDEHAZE_KERNEL_INLINE void lumaRow(const uchar* __restrict in, int cols, float* __restrict luma) {
    for (int x = 0; x < cols; ++x) luma[x] = 0.114f * in[3 * x] + 0.587f * in[3 * x + 1] + 0.299f * in[3 * x + 2];
}

NIGHTDEHAZE_KERNEL_INLINE float cappedExcess(float before2, float before1, float after1, float after2) {
    const float jump = after1 - before1;
    const float slopes = ((before1 - before2) + (after2 - after1)) / 2.0f;
    const float excess = std::abs(jump - slopes);
    return excess < kExcessCapFloat ? excess : kExcessCapFloat;
}

// Capped excesses across the columns of one luma row, added to acc[x] for the
// boundary in front of x (2 <= x < cols - 1).
NIGHTDEHAZE_KERNEL_INLINE void addColumnExcesses(const float* __restrict l, int cols, float* __restrict acc) {
    for (int x = 2; x + 1 < cols; ++x) acc[x] = acc[x] + cappedExcess(l[x - 2], l[x - 1], l[x], l[x + 1]);
}

// Sum of the capped excesses across the boundary in front of the row of `after1`.
NIGHTDEHAZE_KERNEL_INLINE double rowExcess(const float* __restrict before2, const float* __restrict before1,
                                           const float* __restrict after1, const float* __restrict after2,
                                           int cols) {
    float sum = 0.0f;
    for (int x = 0; x < cols; ++x) sum += cappedExcess(before2[x], before1[x], after1[x], after2[x]);
    return sum;
}

// The grid as findBlockGrid measures it, from luma in single precision.
BlockGrid gridInFloats(const cv::Mat& bgr8) {
    BlockGrid grid;
    const int rows = bgr8.rows, cols = bgr8.cols;
    std::vector<float> luma(4 * static_cast<size_t>(cols)), columnSums(cols, 0.0f);
    std::vector<double> rowSums(rows, 0.0);
    withVectorKernels([&]() NIGHTDEHAZE_LAMBDA_INLINE {
        for (int y = 0; y < rows; ++y) {
            float* current = luma.data() + static_cast<size_t>(y % 4) * cols;
            lumaRow(bgr8.ptr<uchar>(y), cols, current);
            addColumnExcesses(current, cols, columnSums.data());
            if (y >= 3) {
                const auto row = [&](int k) { return luma.data() + static_cast<size_t>(k % 4) * cols; };
                rowSums[y - 1] = rowExcess(row(y - 3), row(y - 2), row(y - 1), row(y), cols);
            }
        }
    });
    if (cols >= 2 * kBlock) {
        PhaseExcesses excesses;
        for (int x = 2; x + 1 < cols; ++x) {
            excesses.sums[x % kBlock] += columnSums[x];
            excesses.counts[x % kBlock] += rows;
        }
        excesses.grid(grid.columnPhase, grid.columnStep);
    }
    if (rows >= 2 * kBlock) {
        PhaseExcesses excesses;
        for (int y = 2; y + 1 < rows; ++y) {
            excesses.sums[y % kBlock] += rowSums[y];
            excesses.counts[y % kBlock] += cols;
        }
        excesses.grid(grid.rowPhase, grid.rowStep);
    }
    return grid;
}

int firstBoundary(int phase) {
    int first = phase;
    while (first < kRampHalf) first += kBlock;
    return first;
}

// The ramps across the column boundaries of rows [y0, y1) of a CV_32FC3 image.
void rampsAcrossColumns(cv::Mat& image, int phase, float threshold, int y0, int y1) {
    for (int y = y0; y < y1; ++y) {
        float* v = image.ptr<float>(y);
        for (int x = firstBoundary(phase); x + kRampHalf <= image.cols; x += kBlock)
            for (int c = 0; c < 3; ++c) {
                float* at = v + 3 * x + c;  // the first pixel after the boundary
                const float excess = static_cast<float>(boundaryExcess(at[-6], at[-3], at[0], at[3]));
                if (std::abs(excess) > threshold) continue;
                for (int i = 0; i < kRampHalf; ++i) {
                    const float share = excess * static_cast<float>(kRampShares[i]);
                    at[-3 * (i + 1)] += share;
                    at[3 * i] -= share;
                }
            }
    }
}

// The ramps across the row boundary in front of row y, on elements [e0, e1)
// of every row (all channels alike).
void rampsAcrossRow(cv::Mat& image, int y, float threshold, int e0, int e1) {
    float* rows[2 * kRampHalf];
    for (int i = 0; i < 2 * kRampHalf; ++i) rows[i] = image.ptr<float>(y - kRampHalf + i);
    float* __restrict before2 = rows[kRampHalf - 2];
    float* __restrict before1 = rows[kRampHalf - 1];
    float* __restrict after1 = rows[kRampHalf];
    float* __restrict after2 = rows[kRampHalf + 1];
    for (int e = e0; e < e1; ++e) {
        const float jump = after1[e] - before1[e];
        const float slopes = ((before1[e] - before2[e]) + (after2[e] - after1[e])) / 2.0f;
        float excess = jump - slopes;
        excess = std::abs(excess) > threshold ? 0.0f : excess;
        for (int i = 0; i < kRampHalf; ++i) {
            const float share = excess * static_cast<float>(kRampShares[i]);
            rows[kRampHalf - 1 - i][e] += share;
            rows[kRampHalf + i][e] -= share;
        }
    }
}

// ditherThreshold's hash of (y, x, c) is hash(y) ^ part(x, c): the part of
// every value of a row, kept for all rows.
std::vector<std::uint32_t> ditherColumnParts(int cols) {
    std::vector<std::uint32_t> parts(3 * static_cast<size_t>(cols));
    for (int x = 0; x < cols; ++x)
        for (int c = 0; c < 3; ++c)
            parts[3 * x + c] = static_cast<std::uint32_t>(x) * 0x85EBCA77u ^ static_cast<std::uint32_t>(c) * 0xC2B2AE3Du;
    return parts;
}

// Values the ramps changed, rounded down against ditherThreshold; the others kept.
NIGHTDEHAZE_KERNEL_INLINE void roundChangedRow(const float* __restrict v, const uchar* __restrict in,
                                               const std::uint32_t* __restrict parts, std::uint32_t rowPart,
                                               int elements, uchar* __restrict out) {
    for (int e = 0; e < elements; ++e) {
        std::uint32_t h = rowPart ^ parts[e];
        h ^= h >> 15;
        h *= 0x2C1B3C6Du;
        h ^= h >> 12;
        const double dithered = std::floor(static_cast<double>(v[e]) + (h >> 8) * (1.0 / 16777216.0));
        const double low = dithered > 0.0 ? dithered : 0.0;
        const uchar rounded = static_cast<uchar>(static_cast<int>(low < 255.0 ? low : 255.0));
        out[e] = v[e] == static_cast<float>(in[e]) ? in[e] : rounded;
    }
}

void roundChanged(const cv::Mat& image, const cv::Mat& bgr8, cv::Mat& out, int y0, int y1) {
    const std::vector<std::uint32_t> parts = ditherColumnParts(bgr8.cols);
    withVectorKernels([&]() NIGHTDEHAZE_LAMBDA_INLINE {
        for (int y = y0; y < y1; ++y)
            roundChangedRow(image.ptr<float>(y), bgr8.ptr<uchar>(y), parts.data(),
                            static_cast<std::uint32_t>(y) * 0x9E3779B1u, 3 * bgr8.cols, out.ptr<uchar>(y));
    });
}

}  // namespace

cv::Mat fastDeblockJpegGrid(const cv::Mat& bgr8) {
    const BlockGrid grid = gridInFloats(bgr8);
    const float columnThreshold = static_cast<float>(kThresholdFactor * grid.columnStep);
    const float rowThreshold = static_cast<float>(kThresholdFactor * grid.rowStep);
    if (!(columnThreshold > 0.0f) && !(rowThreshold > 0.0f)) return bgr8.clone();
    cv::Mat image;
    bgr8.convertTo(image, CV_32F);
    if (columnThreshold > 0.0f)
        cv::parallel_for_(cv::Range(0, bgr8.rows), [&](const cv::Range& rows) {
            rampsAcrossColumns(image, grid.columnPhase, columnThreshold, rows.start, rows.end);
        });
    if (rowThreshold > 0.0f) {
        // Boundaries 8 rows apart touch disjoint rows; columns split among threads.
        const int elements = 3 * bgr8.cols;
        cv::parallel_for_(cv::Range(0, (elements + 255) / 256), [&](const cv::Range& spans) {
            const int e0 = 256 * spans.start, e1 = std::min(elements, 256 * spans.end);
            for (int y = firstBoundary(grid.rowPhase); y + kRampHalf <= bgr8.rows; y += kBlock)
                rampsAcrossRow(image, y, rowThreshold, e0, e1);
        });
    }
    cv::Mat out(bgr8.size(), CV_8UC3);
    cv::parallel_for_(cv::Range(0, bgr8.rows), [&](const cv::Range& rows) {
        roundChanged(image, bgr8, out, rows.start, rows.end);
    });
    return out;
}

}  // namespace nightdehaze::detail
