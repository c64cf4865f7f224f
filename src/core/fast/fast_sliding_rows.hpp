#pragma once
// The column sums of a window sliding down a plane: the terms of the row that
// enters and of the row that leaves, in one pass over the columns.
#include "core/runtime/vector_kernels.hpp"

#include <algorithm>

namespace nightdehaze::detail {

// The height of the bands at whose first row a window's sliding sums
// restart, for a plane of this many rows: an even number of bands of at most
// 128 rows, so that two threads share them evenly. It depends on the height
// alone, never on the threads, and so do the sums' bits.
inline int slidingBandRows(int rows) {
    constexpr int kMaxBandRows = 128;
    const int bands = 2 * ((rows + 2 * kMaxBandRows - 1) / (2 * kMaxBandRows));
    return std::max(1, (rows + bands - 1) / bands);
}

// column[x] = (column[x] + the entering term) - the leaving term along a row
// of n, a term being a[x] or (products) a[x] * b[x] formed in double; the
// entering rows (a, b) and the leaving ones (c, d) count only where enters
// and leaves say. No row may overlap column.
template <typename T, bool products, bool enters, bool leaves>
NIGHTDEHAZE_KERNEL_INLINE void exchangeRowTerms(double* __restrict column, const T* __restrict a,
                                                const T* __restrict b, const T* __restrict c,
                                                const T* __restrict d, int n) {
    for (int x = 0; x < n; ++x) {
        double sum = column[x];
        if (enters)
            sum = sum + (products ? static_cast<double>(a[x]) * static_cast<double>(b[x]) : static_cast<double>(a[x]));
        if (leaves)
            sum = sum - (products ? static_cast<double>(c[x]) * static_cast<double>(d[x]) : static_cast<double>(c[x]));
        column[x] = sum;
    }
}

}  // namespace nightdehaze::detail
