#include "core/exact/descending_ranks.hpp"

#include <algorithm>
#include <numeric>
#include <utility>

namespace nightdehaze::detail {

// The steps below are those of GCC's std::sort, one for one: ranges of more
// than 16 are split around the median of their second, middle and last
// elements, the upper part first; a range whose depth budget (twice the
// floor of log2 of the count at the start) runs out is heap-sorted; the
// small ranges that remain are insertion-sorted. The final insertion sort of
// std::sort never moves an element out of its small range, since every
// element of a range is at least every element of the ranges before it, so
// sorting each small range on its own gives the same order.

namespace {

constexpr int kSmallRange = 16;

int floorLog2(int n) { return 31 - __builtin_clz(static_cast<unsigned>(n)); }

}  // namespace

void DescendingRanks::reset(const double* values, int n) {
    values_ = values;
    n_ = n;
    ascending_.resize(n);
    std::iota(ascending_.begin(), ascending_.end(), 0);
    deferred_.clear();
    settledFrom_ = n;
    if (n > 0) deferred_.push_back({0, n, 2 * floorLog2(n)});
}

void DescendingRanks::settleTop(int count) {
    const int from = std::max(0, n_ - count);
    if (from >= settledFrom_) return;
    for (size_t k = 0; k < deferred_.size();) {
        if (deferred_[k].last <= from) {
            ++k;
            continue;
        }
        const Range range = deferred_[k];
        deferred_[k] = deferred_.back();
        deferred_.pop_back();
        sortRange(range, from);
    }
    settledFrom_ = from;
}

// Sorts the range as far as positions [settleFrom, last) need; a lower part
// wholly below settleFrom is deferred with its depth budget.
void DescendingRanks::sortRange(Range range, int settleFrom) {
    int last = range.last, depth = range.depth;
    while (last - range.first > kSmallRange) {
        if (depth == 0) {
            heapSort(range.first, last);
            return;
        }
        --depth;
        const int cut = partitionAroundMedian(range.first, last);
        sortRange({cut, last, depth}, settleFrom);
        if (cut <= settleFrom) {
            deferred_.push_back({range.first, cut, depth});
            return;
        }
        last = cut;
    }
    insertionSort(range.first, last);
}

int DescendingRanks::partitionAroundMedian(int first, int last) {
    moveMedianToFirst(first, first + 1, first + (last - first) / 2, last - 1);
    const double pivot = values_[ascending_[first]];
    int lo = first + 1, hi = last;
    while (true) {
        while (values_[ascending_[lo]] < pivot) ++lo;
        --hi;
        while (pivot < values_[ascending_[hi]]) --hi;
        if (!(lo < hi)) return lo;
        std::swap(ascending_[lo], ascending_[hi]);
        ++lo;
    }
}

void DescendingRanks::moveMedianToFirst(int result, int a, int b, int c) {
    int median;
    if (less(a, b))
        median = less(b, c) ? b : less(a, c) ? c : a;
    else
        median = less(a, c) ? a : less(b, c) ? c : b;
    std::swap(ascending_[result], ascending_[median]);
}

void DescendingRanks::insertionSort(int first, int last) {
    int* a = ascending_.data();
    for (int i = first + 1; i < last; ++i) {
        const int held = a[i];
        const double v = values_[held];
        if (v < values_[a[first]]) {
            std::move_backward(a + first, a + i, a + i + 1);
            a[first] = held;
            continue;
        }
        int j = i;
        for (; v < values_[a[j - 1]]; --j) a[j] = a[j - 1];
        a[j] = held;
    }
}

// The library's heap sort of the whole range (std::partial_sort to its end).
void DescendingRanks::heapSort(int first, int last) {
    const double* v = values_;
    std::partial_sort(ascending_.begin() + first, ascending_.begin() + last, ascending_.begin() + last,
                      [v](int x, int y) { return v[x] < v[y]; });
}

}  // namespace nightdehaze::detail
