#include "core/fast/fast_resampling.hpp"

#include "core/runtime/vector_kernels.hpp"

#include <opencv2/core/utility.hpp>

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace nightdehaze::detail {

cv::Size coarseSize(cv::Size full, int s) {
    return {(full.width + s - 1) / s, (full.height + s - 1) / s};
}

namespace {

// out[cx] = sums[cx] * scale / (the block's width * rows), the blocks s
// wide but the last, which the row's end may clip.
NIGHTDEHAZE_KERNEL_INLINE void dividedBlockSums(const double* __restrict sums, int fullWidth, int s, double scale,
                                                int rows, float* __restrict out) {
    const int whole = fullWidth / s;  // blocks of the full width
    const double fullBlock = static_cast<double>(s) * rows;
    for (int cx = 0; cx < whole; ++cx) out[cx] = static_cast<float>(sums[cx] * scale / fullBlock);
    if (whole * s < fullWidth)
        out[whole] = static_cast<float>(sums[whole] * scale / (static_cast<double>(fullWidth - whole * s) * rows));
}

// Block means from the sums of each block's rows: rowSums(y, sums) adds row y
// of every block of a coarse row into sums[cx] (coarse.width entries). Each
// thread calls its own copy of rowSums, so that it may keep scratch.
template <typename RowSums>
cv::Mat blockMeansOf(cv::Size full, int s, double scale, const RowSums& sharedRowSums) {
    const cv::Size coarse = coarseSize(full, s);
    cv::Mat means(coarse, CV_32FC1);
    cv::parallel_for_(cv::Range(0, coarse.height), [&](const cv::Range& range) {
        RowSums rowSums = sharedRowSums;
        std::vector<double> sums(coarse.width);
        for (int cy = range.start; cy < range.end; ++cy) {
            std::fill(sums.begin(), sums.end(), 0.0);
            const int y0 = cy * s, y1 = std::min(full.height, y0 + s);
            for (int y = y0; y < y1; ++y) rowSums(y, sums.data());
            withVectorKernels([&]() NIGHTDEHAZE_LAMBDA_INLINE {
                dividedBlockSums(sums.data(), full.width, s, scale, y1 - y0, means.ptr<float>(cy));
            });
        }
    });
    return means;
}

// Adds the blocks of one row, value(x) each, into sums.
template <typename Value>
void addBlocksOfRow(int cols, int s, const Value& value, double* sums) {
    for (int x0 = 0, cx = 0; x0 < cols; x0 += s, ++cx) {
        double sum = sums[cx];
        for (int x = x0; x < std::min(cols, x0 + s); ++x) sum += value(x);
        sums[cx] = sum;
    }
}

// addBlocksOfRow for blocks of two: each pair added in order, in double.
NIGHTDEHAZE_KERNEL_INLINE void addPairsOfRow(const float* __restrict v, int cols, double* __restrict sums) {
    const int pairs = cols / 2;
    for (int cx = 0; cx < pairs; ++cx)
        sums[cx] = (sums[cx] + static_cast<double>(v[2 * cx])) + static_cast<double>(v[2 * cx + 1]);
    if (cols % 2) sums[pairs] = sums[pairs] + static_cast<double>(v[cols - 1]);
}

// The same for blocks of two, of one channel of a BGR row (row points at the
// channel's first byte): each pair's bytes added as one whole number.
NIGHTDEHAZE_KERNEL_INLINE void addPairsOfChannelRow(const uchar* __restrict row, int cols,
                                                    double* __restrict sums) {
    const int pairs = cols / 2;
    for (int cx = 0; cx < pairs; ++cx) sums[cx] = sums[cx] + static_cast<double>(row[6 * cx] + row[6 * cx + 3]);
    if (cols % 2) sums[pairs] = sums[pairs] + static_cast<double>(row[3 * (cols - 1)]);
}

}  // namespace

cv::Mat blockMeans(const cv::Mat& plane, int s) {
    if (s < 1 || plane.channels() != 1 || (plane.depth() != CV_32F && plane.depth() != CV_64F))
        throw std::invalid_argument("blockMeans: expected a CV_32FC1 or CV_64FC1 plane and s >= 1");
    if (plane.depth() == CV_32F)
        return blockMeansOf(plane.size(), s, 1.0, [&](int y, double* sums) {
            const float* row = plane.ptr<float>(y);
            addBlocksOfRow(plane.cols, s, [row](int x) { return static_cast<double>(row[x]); }, sums);
        });
    return blockMeansOf(plane.size(), s, 1.0, [&](int y, double* sums) {
        const double* row = plane.ptr<double>(y);
        addBlocksOfRow(plane.cols, s, [row](int x) { return row[x]; }, sums);
    });
}

cv::Mat blockMeansOfRows(cv::Size full, int s, const std::function<void(int, float*)>& row) {
    if (s < 1 || full.empty()) throw std::invalid_argument("blockMeansOfRows: expected a non-empty size and s >= 1");
    return blockMeansOf(full, s, 1.0, [&row, full, s, values = std::vector<float>(full.width)](int y, double* sums) mutable {
        row(y, values.data());
        const float* v = values.data();
        if (s == 2)
            withVectorKernels([&]() NIGHTDEHAZE_LAMBDA_INLINE { addPairsOfRow(v, full.width, sums); });
        else
            addBlocksOfRow(full.width, s, [v](int x) { return static_cast<double>(v[x]); }, sums);
    });
}

cv::Mat blockMeansOfChannel(const cv::Mat& bgr8, int c, int s, double scale) {
    if (s < 1 || bgr8.type() != CV_8UC3 || c < 0 || c > 2)
        throw std::invalid_argument("blockMeansOfChannel: expected a CV_8UC3 image, a channel and s >= 1");
    // Bytes add up exactly, in any order; the scale comes in once per block.
    return blockMeansOf(bgr8.size(), s, scale, [&](int y, double* sums) {
        const uchar* row = bgr8.ptr<uchar>(y) + c;
        if (s == 2)
            withVectorKernels([&]() NIGHTDEHAZE_LAMBDA_INLINE { addPairsOfChannelRow(row, bgr8.cols, sums); });
        else
            addBlocksOfRow(bgr8.cols, s, [row](int x) { return static_cast<double>(row[3 * x]); }, sums);
    });
}

LinearAxis linearAxis(int fullLength, int coarseLength, int s) {
    LinearAxis axis;
    axis.lower.resize(fullLength);
    axis.weight.resize(fullLength);
    for (int x = 0; x < fullLength; ++x) {
        const double u = (x + 0.5) / s - 0.5;
        const int lower = static_cast<int>(std::floor(u));
        if (u <= 0.0 || coarseLength == 1) {
            axis.lower[x] = 0, axis.weight[x] = 0.0f;
        } else if (lower >= coarseLength - 1) {
            axis.lower[x] = coarseLength - 1, axis.weight[x] = 0.0f;
        } else {
            axis.lower[x] = lower, axis.weight[x] = static_cast<float>(u - lower);
        }
    }
    return axis;
}

UpsampledRows::UpsampledRows(cv::Size full, cv::Size coarse, int s)
    : ys_(linearAxis(full.height, coarse.height, s)),
      xs_(linearAxis(full.width, coarse.width, s)),
      coarseCols_(coarse.width),
      s_(s),
      identity_(s == 1) {}

UpsampledPlaneRows::UpsampledPlaneRows(const UpsampledRows& axes, const cv::Mat& coarse)
    : axes_(axes), coarse_(coarse) {
    for (std::vector<float>& row : kept_) row.resize(axes.fullCols());
}

namespace {

NIGHTDEHAZE_KERNEL_INLINE void interpolateAlongX(const float* __restrict in, const int* __restrict lower,
                                                 const float* __restrict weight, int n, int last,
                                                 float* __restrict out) {
    for (int x = 0; x < n; ++x) {
        const int x0 = lower[x];
        const int x1 = std::min(x0 + 1, last);
        out[x] = in[x0] + (in[x1] - in[x0]) * weight[x];
    }
}

// interpolateAlongX on a grid twice as coarse: full columns 2i - 1 and 2i
// lie between coarse columns i - 1 and i (for 1 <= 2i - 1, 2i <= 2 * cols - 2),
// which spares the indices; the columns outside that stretch as the table
// says.
NIGHTDEHAZE_KERNEL_INLINE void interpolateAlongXByTwo(const float* __restrict in, const int* __restrict lower,
                                                      const float* __restrict weight, int n, int coarseCols,
                                                      float* __restrict out) {
    const int last = coarseCols - 1;
    const int inner = std::min(n - 1, 2 * coarseCols - 2);  // the last column of the stretch
    const int pairs = inner / 2;
    for (int i = 1; i <= pairs; ++i) {
        const float a = in[i - 1], b = in[i];
        out[2 * i - 1] = a + (b - a) * weight[2 * i - 1];
        out[2 * i] = a + (b - a) * weight[2 * i];
    }
    interpolateAlongX(in, lower, weight, 1, last, out);
    const int tail = 2 * pairs + 1;
    if (tail < n) interpolateAlongX(in, lower + tail, weight + tail, n - tail, last, out + tail);
}

NIGHTDEHAZE_KERNEL_INLINE void interpolateAlongY(const float* __restrict a, const float* __restrict b, float w, int n,
                                                 float* __restrict out) {
    for (int x = 0; x < n; ++x) out[x] = a[x] + (b[x] - a[x]) * w;
}

}  // namespace

const float* UpsampledPlaneRows::alongX(int coarseRow) {
    for (int k = 0; k < 2; ++k)
        if (keptRow_[k] == coarseRow) return kept_[k].data();
    const int k = keptRow_[0] == coarseRow - 1 ? 1 : keptRow_[1] == coarseRow - 1 ? 0 : next_;
    next_ = 1 - k;
    keptRow_[k] = coarseRow;
    const LinearAxis& xs = axes_.xs();
    float* out = kept_[k].data();
    withVectorKernels([&]() NIGHTDEHAZE_LAMBDA_INLINE {
        if (axes_.factor() == 2)
            interpolateAlongXByTwo(coarse_.ptr<float>(coarseRow), xs.lower.data(), xs.weight.data(),
                                   axes_.fullCols(), axes_.coarseCols(), out);
        else
            interpolateAlongX(coarse_.ptr<float>(coarseRow), xs.lower.data(), xs.weight.data(), axes_.fullCols(),
                              axes_.coarseCols() - 1, out);
    });
    return out;
}

UpsampledPlaneRows::Around UpsampledPlaneRows::around(int y) {
    if (axes_.identity()) {
        const float* row = coarse_.ptr<float>(y);
        return {row, row, 0.0f};
    }
    const LinearAxis& ys = axes_.ys();
    const int y0 = ys.lower[y];
    const int y1 = std::min(y0 + 1, coarse_.rows - 1);
    const float* a = alongX(y0);
    const float* b = alongX(y1);
    return {a, b, ys.weight[y]};
}

void UpsampledPlaneRows::row(int y, float* out) {
    const Around rows = around(y);
    if (axes_.identity()) {  // a finite row interpolated with itself is the row
        std::copy_n(rows.lower, axes_.fullCols(), out);
        return;
    }
    withVectorKernels([&]() NIGHTDEHAZE_LAMBDA_INLINE {
        interpolateAlongY(rows.lower, rows.upper, rows.weight, axes_.fullCols(), out);
    });
}

}  // namespace nightdehaze::detail
