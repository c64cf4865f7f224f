#pragma once
// The column sums of a window sliding down a plane: the terms of the row that
// enters and of the row that leaves, in one pass over the columns.
#include "core/runtime/vector_kernels.hpp"

namespace nightdehaze::detail {

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
