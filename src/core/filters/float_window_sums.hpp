#pragma once
// Window sums of float rows for the single-precision kernels: sums along a
// row by direct taps, down the rows by sliding sums over a ring of rows.
// Windows are clipped at the border. The kernels are inline, to be compiled
// into each caller's vector code (withVectorKernels).
#include "core/runtime/vector_kernels.hpp"

#include <algorithm>
#include <cstddef>
#include <vector>

namespace nightdehaze::detail::float_rows {

// out[x] = the sum of in over [x - r, x + r] clipped to [0, n), in index order.
inline void clippedSum(const float* in, int n, int r, int x, float* out) {
    float s = 0.0f;
    const int end = std::min(n - 1, x + r);
    for (int i = std::max(0, x - r); i <= end; ++i) s += in[i];
    out[x] = s;
}

// The interior of horizontalSums for a radius known when compiling: the taps
// of one output summed in registers.
template <int R>
NIGHTDEHAZE_KERNEL_INLINE void interiorSums(const float* __restrict in, int begin, int end,
                                            float* __restrict out) {
    for (int x = begin; x < end; ++x) {
        float s = in[x - R];
        for (int d = 1 - R; d <= R; ++d) s += in[x + d];
        out[x] = s;
    }
}

// out[x] = in[max(0, x - r)] + ... + in[min(n - 1, x + r)], in index order.
NIGHTDEHAZE_KERNEL_INLINE void horizontalSums(const float* __restrict in, int n, int r,
                                              float* __restrict out) {
    const int interiorEnd = n - r;  // x + r < n for x < interiorEnd
    for (int x = 0; x < std::min(r, n); ++x) clippedSum(in, n, r, x, out);
    if (interiorEnd > r) {
        switch (r) {
            case 2: interiorSums<2>(in, r, interiorEnd, out); break;
            case 3: interiorSums<3>(in, r, interiorEnd, out); break;
            case 4: interiorSums<4>(in, r, interiorEnd, out); break;
            default:
                for (int x = r; x < interiorEnd; ++x) clippedSum(in, n, r, x, out);
        }
    }
    for (int x = std::max(r, interiorEnd); x < n; ++x) clippedSum(in, n, r, x, out);
}

NIGHTDEHAZE_KERNEL_INLINE void copyRow(const float* __restrict row, int n, float* __restrict sums) {
    for (int x = 0; x < n; ++x) sums[x] = row[x];
}

NIGHTDEHAZE_KERNEL_INLINE void addRow(const float* __restrict row, int n, float* __restrict sums) {
    for (int x = 0; x < n; ++x) sums[x] = sums[x] + row[x];
}

NIGHTDEHAZE_KERNEL_INLINE void subtractRow(const float* __restrict row, int n, float* __restrict sums) {
    for (int x = 0; x < n; ++x) sums[x] = sums[x] - row[x];
}

// Rows kept for a sliding window over the picture's rows: row(y, plane) is
// row y's storage while y is among the last 2r + 2 rows written (the one
// leaving the window is still there when the one entering it is added).
class RowRing {
public:
    RowRing(int r, int cols, int planes)
        : size_(2 * r + 2), cols_(cols), planes_(planes),
          values_(static_cast<size_t>(size_) * planes * cols) {}
    float* row(int y, int plane) {
        return values_.data() + (static_cast<size_t>(y % size_) * planes_ + plane) * cols_;
    }

private:
    int size_, cols_, planes_;
    std::vector<float> values_;
};

// Vertical window sums of planes kept in a ring, slid from one row to the
// next: the first window of a band is summed row by row, each later one adds
// the row entering and subtracts the row leaving it. A band's sums depend only
// on where it starts.
class SlidingSums {
public:
    SlidingSums(int r, int rows, int cols, int planes)
        : r_(r), rows_(rows), cols_(cols), planes_(planes), sums_(static_cast<size_t>(planes) * cols) {}

    float* sums(int plane) { return sums_.data() + static_cast<size_t>(plane) * cols_; }

    // Moves the window to centre y (the first call of a band: any y).
    NIGHTDEHAZE_KERNEL_INLINE void moveTo(int y, RowRing& ring) {
        if (y != centre_ + 1) {
            for (int p = 0; p < planes_; ++p) {
                const int first = std::max(0, y - r_), last = std::min(rows_ - 1, y + r_);
                copyRow(ring.row(first, p), cols_, sums(p));
                for (int k = first + 1; k <= last; ++k) addRow(ring.row(k, p), cols_, sums(p));
            }
        } else {
            const int entering = y + r_, leaving = y - r_ - 1;
            for (int p = 0; p < planes_; ++p) {
                if (entering < rows_) addRow(ring.row(entering, p), cols_, sums(p));
                if (leaving >= 0) subtractRow(ring.row(leaving, p), cols_, sums(p));
            }
        }
        centre_ = y;
    }

private:
    int r_, rows_, cols_, planes_;
    int centre_ = -2;
    std::vector<float> sums_;
};

}  // namespace nightdehaze::detail::float_rows
