#include "core/fast/fast_box_sums.hpp"

#include "core/runtime/vector_kernels.hpp"

#include <opencv2/core/utility.hpp>

#include <algorithm>
#include <stdexcept>

namespace nightdehaze::detail {

namespace {

constexpr int kBandRows = 32;
// Up to this many terms a window adds its column sums directly; wider ones
// use running sums (faster from radius 3 on, as measured).
constexpr int kDirectTerms = 5;
// Running sums along a row run as this many independent chains, one per
// quarter of the row, so that they do not wait on each other's additions.
constexpr int kChains = 4;

// Per band and thread: the column sums, a padded copy for the direct sums,
// the running sums and a row's window sums.
struct RowScratch {
    std::vector<double> column, padded, running, sums;
    RowScratch(int cols, int r)
        : column(cols), padded(cols + 2 * static_cast<size_t>(r), 0.0), running(cols + 1), sums(cols) {}
};

NIGHTDEHAZE_KERNEL_INLINE void addRowInto(double* __restrict column, const float* __restrict row, int n) {
    for (int x = 0; x < n; ++x) column[x] = column[x] + static_cast<double>(row[x]);
}
NIGHTDEHAZE_KERNEL_INLINE void addRowInto(double* __restrict column, const double* __restrict row, int n) {
    for (int x = 0; x < n; ++x) column[x] = column[x] + row[x];
}
NIGHTDEHAZE_KERNEL_INLINE void subtractRowFrom(double* __restrict column, const float* __restrict row, int n) {
    for (int x = 0; x < n; ++x) column[x] = column[x] - static_cast<double>(row[x]);
}
NIGHTDEHAZE_KERNEL_INLINE void subtractRowFrom(double* __restrict column, const double* __restrict row, int n) {
    for (int x = 0; x < n; ++x) column[x] = column[x] - row[x];
}

// The same for the products of two rows, each formed in double.
template <typename T>
NIGHTDEHAZE_KERNEL_INLINE void addProductsInto(double* __restrict column, const T* __restrict a,
                                               const T* __restrict b, int n) {
    for (int x = 0; x < n; ++x) column[x] = column[x] + static_cast<double>(a[x]) * static_cast<double>(b[x]);
}
template <typename T>
NIGHTDEHAZE_KERNEL_INLINE void subtractProductsFrom(double* __restrict column, const T* __restrict a,
                                                    const T* __restrict b, int n) {
    for (int x = 0; x < n; ++x) column[x] = column[x] - static_cast<double>(a[x]) * static_cast<double>(b[x]);
}

// The plane summed, or the products of two planes (other non-empty).
template <typename T>
struct Summand {
    const cv::Mat& plane;
    const cv::Mat& other;
    NIGHTDEHAZE_KERNEL_INLINE void add(double* column, int y) const {
        if (other.empty())
            addRowInto(column, plane.ptr<T>(y), plane.cols);
        else
            addProductsInto(column, plane.ptr<T>(y), other.ptr<T>(y), plane.cols);
    }
    NIGHTDEHAZE_KERNEL_INLINE void subtract(double* column, int y) const {
        if (other.empty())
            subtractRowFrom(column, plane.ptr<T>(y), plane.cols);
        else
            subtractProductsFrom(column, plane.ptr<T>(y), other.ptr<T>(y), plane.cols);
    }
};

// out[x] = column[x - r] + ... + column[x + r] in that order, zeros beyond the row.
NIGHTDEHAZE_KERNEL_INLINE void directRowSums(RowScratch& s, int n, int r, double* __restrict out) {
    double* __restrict padded = s.padded.data();
    std::copy(s.column.begin(), s.column.end(), padded + r);
    for (int x = 0; x < n; ++x) out[x] = padded[x];
    for (int k = 1; k <= 2 * r; ++k)
        for (int x = 0; x < n; ++x) out[x] = out[x] + padded[x + k];
}

// running[x] = column[0] + ... + column[x - 1], each quarter of the row summed
// from 0 on its own and then offset by the quarters before it; the window sum
// is running[hi] - running[lo].
NIGHTDEHAZE_KERNEL_INLINE void runningRowSums(RowScratch& s, int n, int r, double* __restrict out) {
    const double* __restrict column = s.column.data();
    double* __restrict running = s.running.data();
    const int quarter = (n + kChains - 1) / kChains;
    const int lastLength = std::max(0, n - (kChains - 1) * quarter);  // the last quarter may be short
    double chain[kChains] = {};
    running[0] = 0.0;
    for (int i = 0; i < lastLength; ++i)
        for (int c = 0; c < kChains; ++c) running[c * quarter + i + 1] = chain[c] = chain[c] + column[c * quarter + i];
    for (int i = lastLength; i < quarter; ++i)
        for (int c = 0; c < kChains - 1; ++c) {
            const int x = c * quarter + i;
            if (x < n) running[x + 1] = chain[c] = chain[c] + column[x];
        }
    for (int c = 1; c < kChains; ++c) {
        const int start = c * quarter, end = std::min(n, start + quarter);
        if (start >= n) break;
        const double offset = running[start];  // the whole row before this quarter
        for (int x = start + 1; x <= end; ++x) running[x] = running[x] + offset;
    }
    const int left = std::min(n, r + 1), right = std::max(left, n - r - 1);
    for (int x = 0; x < left; ++x) out[x] = running[std::min(n, x + r + 1)] - running[0];
    for (int x = left; x < right; ++x) out[x] = running[x + r + 1] - running[x - r];
    for (int x = right; x < n; ++x) out[x] = running[n] - running[std::max(0, x - r)];
}

template <typename T, bool means>
NIGHTDEHAZE_KERNEL_INLINE void sumBand(int r, const Summand<T>& src, cv::Mat& dst, int y0, int y1,
                                       const float* rowCounts, const double* colInverses, RowScratch& s) {
    const int rows = src.plane.rows, cols = src.plane.cols;
    std::fill(s.column.begin(), s.column.end(), 0.0);
    for (int y = std::max(0, y0 - r); y < std::min(rows, y0 + r + 1); ++y) src.add(s.column.data(), y);
    double* sums = s.sums.data();
    for (int y = y0; y < y1; ++y) {
        if (y > y0) {
            if (y + r < rows) src.add(s.column.data(), y + r);
            if (y - r - 1 >= 0) src.subtract(s.column.data(), y - r - 1);
        }
        if (2 * r + 1 <= kDirectTerms)
            directRowSums(s, cols, r, sums);
        else
            runningRowSums(s, cols, r, sums);
        T* out = dst.ptr<T>(y);
        if (means) {
            const double rowInverse = 1.0 / rowCounts[y];
            for (int x = 0; x < cols; ++x) out[x] = static_cast<T>(sums[x] * (rowInverse * colInverses[x]));
        } else {
            for (int x = 0; x < cols; ++x) out[x] = static_cast<T>(sums[x]);
        }
    }
}

template <typename T, bool means>
void sumBandsBaseline(int r, const Summand<T>& src, cv::Mat& dst, int y0, int y1, const float* rowCounts,
                      const double* colInverses, RowScratch& s) {
    sumBand<T, means>(r, src, dst, y0, y1, rowCounts, colInverses, s);
}

template <typename T, bool means>
NIGHTDEHAZE_AVX2_TARGET void sumBandsAvx2(int r, const Summand<T>& src, cv::Mat& dst, int y0, int y1,
                                          const float* rowCounts, const double* colInverses, RowScratch& s) {
    sumBand<T, means>(r, src, dst, y0, y1, rowCounts, colInverses, s);
}

template <typename T, bool means>
void windowSumsOf(int r, const cv::Mat& plane, const cv::Mat& other, cv::Mat& result) {
    const Summand<T> summand{plane, other};
    const std::vector<float> rowCounts = means ? fastWindowCounts(plane.rows, r) : std::vector<float>();
    std::vector<double> colInverses;
    if (means)
        for (float count : fastWindowCounts(plane.cols, r)) colInverses.push_back(1.0 / count);
    const int bands = (plane.rows + kBandRows - 1) / kBandRows;
    cv::parallel_for_(cv::Range(0, bands), [&](const cv::Range& range) {
        RowScratch scratch(plane.cols, r);
        const auto sum = avx2Kernels() ? sumBandsAvx2<T, means> : sumBandsBaseline<T, means>;
        for (int b = range.start; b < range.end; ++b)
            sum(r, summand, result, b * kBandRows, std::min(plane.rows, (b + 1) * kBandRows), rowCounts.data(),
                colInverses.data(), scratch);
    });
}

template <bool means>
void windowSums(const char* caller, int r, const cv::Mat& src, const cv::Mat& other, cv::Mat& dst) {
    if (r < 0) throw std::invalid_argument(std::string(caller) + ": negative radius");
    if (src.channels() != 1 || (src.depth() != CV_32F && src.depth() != CV_64F))
        throw std::invalid_argument(std::string(caller) + ": expected a CV_32FC1 or CV_64FC1 plane");
    if (!other.empty() && (other.type() != src.type() || other.size() != src.size()))
        throw std::invalid_argument(std::string(caller) + ": expected two planes of one size and type");
    // Bands read rows other bands write, so the result needs storage of its own.
    cv::Mat result(src.size(), src.type());
    if (src.depth() == CV_32F)
        windowSumsOf<float, means>(r, src, other, result);
    else
        windowSumsOf<double, means>(r, src, other, result);
    dst = result;
}

}  // namespace

void fastWindowSums(int r, const cv::Mat& src, cv::Mat& dst) {
    windowSums<false>("fastWindowSums", r, src, cv::Mat(), dst);
}

void fastWindowMeans(int r, const cv::Mat& src, cv::Mat& dst) {
    windowSums<true>("fastWindowMeans", r, src, cv::Mat(), dst);
}

void fastWindowMeansOfProducts(int r, const cv::Mat& a, const cv::Mat& b, cv::Mat& dst) {
    windowSums<true>("fastWindowMeansOfProducts", r, a, b, dst);
}

std::vector<float> fastWindowCounts(int length, int r) {
    std::vector<float> counts(length);
    for (int x = 0; x < length; ++x)
        counts[x] = static_cast<float>(std::min(length - 1, x + r) - std::max(0, x - r) + 1);
    return counts;
}

}  // namespace nightdehaze::detail
