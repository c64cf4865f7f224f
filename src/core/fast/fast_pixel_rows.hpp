#pragma once
// The channels of a row of an 8-bit BGR image as float rows and back, so that
// the per-pixel arithmetic between them runs along contiguous rows, in vector
// registers. Kernels inline these into their AVX2 and baseline copies.
#include "core/fast/fast_math.hpp"
#include "core/runtime/vector_kernels.hpp"

#include <opencv2/core.hpp>

namespace nightdehaze::detail {

// Pixels per piece of a row that a kernel works on with its rows on the
// stack (a kilobyte per float row).
constexpr int kPieceCols = 256;

// out[c][x] = in[3x + c] for x < n.
NIGHTDEHAZE_KERNEL_INLINE void splitChannels(const uchar* __restrict in, int n, float* __restrict b,
                                             float* __restrict g, float* __restrict r) {
    for (int x = 0; x < n; ++x) {
        b[x] = in[3 * x];
        g[x] = in[3 * x + 1];
        r[x] = in[3 * x + 2];
    }
}

// Each value of a row rounded in place as roundedByte rounds it: NaN and
// values at or beyond 2^31 in magnitude give 0, the others are saturated to
// 0..255 and rounded half to even.
NIGHTDEHAZE_KERNEL_INLINE void roundToBytes(float* __restrict row, int n) {
    for (int x = 0; x < n; ++x) row[x] = roundedByteValue(row[x]);
}

// out[3x + c] = the rounded rows' values (whole numbers in 0..255) as bytes.
NIGHTDEHAZE_KERNEL_INLINE void mergeChannels(const float* __restrict b, const float* __restrict g,
                                             const float* __restrict r, int n, uchar* __restrict out) {
    for (int x = 0; x < n; ++x) {
        out[3 * x] = static_cast<uchar>(static_cast<int>(b[x]));
        out[3 * x + 1] = static_cast<uchar>(static_cast<int>(g[x]));
        out[3 * x + 2] = static_cast<uchar>(static_cast<int>(r[x]));
    }
}

}  // namespace nightdehaze::detail
