#pragma once
#include <vector>

namespace nightdehaze::detail {

// The ranking of values from the largest down that cv::sortIdx with
// SORT_DESCENDING gives: the index order of an ascending introsort (as GCC's
// std::sort does it, comparing values by <), reversed. That sort is not stable,
// so the order it leaves equal values in is part of the result. Only the top
// ranks that are asked for are settled, which spares sorting the rest: the
// partitions the sort would make below them are left as they are, and sorted
// later only if a deeper rank is asked for. Values must not be NaN; they are
// read, not copied, until the next reset. Buffers are kept between resets.
class DescendingRanks {
public:
    // Starts the ranking of values[0 .. n).
    void reset(const double* values, int n);

    // Settles ranks 0 .. count-1 (all of them when count >= n).
    void settleTop(int count);

    // The index of the value at a settled rank (0 = largest).
    int indexAt(int rank) const { return ascending_[n_ - 1 - rank]; }

private:
    // Positions [first, last) of ascending_, with the sort's depth budget left.
    struct Range {
        int first, last, depth;
    };

    bool less(int i, int j) const { return values_[ascending_[i]] < values_[ascending_[j]]; }
    void sortRange(Range range, int settleFrom);
    int partitionAroundMedian(int first, int last);
    void moveMedianToFirst(int result, int a, int b, int c);
    void insertionSort(int first, int last);
    void heapSort(int first, int last);

    const double* values_ = nullptr;
    int n_ = 0;
    int settledFrom_ = 0;  // positions [settledFrom_, n_) of ascending_ are final
    std::vector<int> ascending_;
    std::vector<Range> deferred_;  // ranges wholly below settledFrom_, not yet sorted
};

}  // namespace nightdehaze::detail
