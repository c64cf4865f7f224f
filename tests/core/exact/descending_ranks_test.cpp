// The partial ranking against cv::sortIdx itself: the settled top ranks must
// be OpenCV's, ties included, on random values with many ties, ordered and
// constant runs, and an input built to drive the sort into its heap-sort
// fallback.
#include "core/exact/descending_ranks.hpp"

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include <algorithm>
#include <numeric>
#include <random>
#include <vector>

using nightdehaze::detail::DescendingRanks;

namespace {

std::vector<int> openCvRanks(const std::vector<double>& values) {
    cv::Mat order;
    cv::sortIdx(cv::Mat(1, static_cast<int>(values.size()), CV_64F, const_cast<double*>(values.data())), order,
                cv::SORT_EVERY_ROW + cv::SORT_DESCENDING);
    return std::vector<int>(order.begin<int>(), order.end<int>());
}

// Settles the top ranks in growing steps and checks each step's ranks.
void expectOpenCvTopRanks(const std::vector<double>& values, std::mt19937& rng) {
    const int n = static_cast<int>(values.size());
    const std::vector<int> expected = openCvRanks(values);
    DescendingRanks ranks;
    ranks.reset(values.data(), n);
    for (int settled = 0; settled < n;) {
        settled = std::min(n, settled + 1 + static_cast<int>(rng() % (n / 3 + 1)));
        ranks.settleTop(settled);
        for (int m = 0; m < settled; ++m)
            ASSERT_EQ(ranks.indexAt(m), expected[m]) << "n " << n << ", rank " << m << " of " << settled;
    }
}

// Values that make a median-of-three quicksort go quadratic (McIlroy's
// adversary): each comparison of two undecided values decides one of them as
// late as possible, so the sort keeps splitting off a few elements at a time.
std::vector<double> adversaryValues(int n) {
    std::vector<int> value(n, n);  // n: not decided yet
    int decided = 0, candidate = 0;
    std::vector<int> index(n);
    std::iota(index.begin(), index.end(), 0);
    std::sort(index.begin(), index.end(), [&](int x, int y) {
        if (value[x] == n && value[y] == n) value[x == candidate ? x : y] = decided++;
        if (value[x] == n)
            candidate = x;
        else if (value[y] == n)
            candidate = y;
        return value[x] < value[y];
    });
    for (int& v : value)
        if (v == n) v = decided++;
    return std::vector<double>(value.begin(), value.end());
}

}  // namespace

TEST(DescendingRanks, TopRanksAreOpenCvsOnRandomAndTiedValues) {
    std::mt19937 rng(20261207);
    for (int trial = 0; trial < 3000; ++trial) {
        const int n = 1 + static_cast<int>(rng() % (trial < 2000 ? 140 : 1500));
        const int levels = 1 + static_cast<int>(rng() % 300);
        std::vector<double> values(n);
        for (double& v : values) v = static_cast<double>(rng() % levels) - levels / 2;
        expectOpenCvTopRanks(values, rng);
    }
}

TEST(DescendingRanks, TopRanksAreOpenCvsOnOrderedRunsAndTheAdversary) {
    std::mt19937 rng(7);
    for (int n : {1, 2, 16, 17, 33, 121, 1000}) {
        std::vector<double> up(n), constant(n, 3.0), organ(n);
        std::iota(up.begin(), up.end(), 0.0);
        for (int i = 0; i < n; ++i) organ[i] = std::min(i, n - 1 - i);
        std::vector<double> down(up.rbegin(), up.rend());
        for (const auto& values : {up, down, constant, organ, adversaryValues(n)}) expectOpenCvTopRanks(values, rng);
    }
}
