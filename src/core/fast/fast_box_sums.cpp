#include "core/fast/fast_box_sums.hpp"

#include "core/runtime/vector_kernels.hpp"

#include <opencv2/core/utility.hpp>

#include <algorithm>
#include <stdexcept>

namespace nightdehaze::detail {

namespace {

constexpr int kBandRows = 32;

template <typename T>
NIGHTDEHAZE_KERNEL_INLINE void addRowInto(double* __restrict column, const T* __restrict row, int n,
                                          double sign) {
    if (sign > 0)
        for (int x = 0; x < n; ++x) column[x] = column[x] + static_cast<double>(row[x]);
    else
        for (int x = 0; x < n; ++x) column[x] = column[x] - static_cast<double>(row[x]);
}

// out[x] = padded[x] + padded[x + 1] + ... + padded[x + 2r], in that order,
// padded holding zeros beyond the row: the clipped window's sum.
template <typename T>
NIGHTDEHAZE_KERNEL_INLINE void windowRowSums(const T* __restrict padded, int n, int r, T* __restrict out) {
    for (int x = 0; x < n; ++x) out[x] = padded[x];
    for (int k = 1; k <= 2 * r; ++k)
        for (int x = 0; x < n; ++x) out[x] = out[x] + padded[x + k];
}

template <typename T>
NIGHTDEHAZE_KERNEL_INLINE void sumBand(int r, const cv::Mat& src, cv::Mat& dst, int y0, int y1,
                                       std::vector<double>& column, std::vector<T>& padded) {
    const int rows = src.rows, cols = src.cols;
    std::fill(column.begin(), column.end(), 0.0);
    for (int y = std::max(0, y0 - r); y < std::min(rows, y0 + r + 1); ++y)
        addRowInto(column.data(), src.ptr<T>(y), cols, 1.0);
    for (int y = y0; y < y1; ++y) {
        if (y > y0) {
            if (y + r < rows) addRowInto(column.data(), src.ptr<T>(y + r), cols, 1.0);
            if (y - r - 1 >= 0) addRowInto(column.data(), src.ptr<T>(y - r - 1), cols, -1.0);
        }
        T* inner = padded.data() + r;
        for (int x = 0; x < cols; ++x) inner[x] = static_cast<T>(column[x]);
        windowRowSums(padded.data(), cols, r, dst.ptr<T>(y));
    }
}

template <typename T>
void sumBandsBaseline(int r, const cv::Mat& src, cv::Mat& dst, int y0, int y1, std::vector<double>& column,
                      std::vector<T>& padded) {
    sumBand(r, src, dst, y0, y1, column, padded);
}

template <typename T>
NIGHTDEHAZE_AVX2_TARGET void sumBandsAvx2(int r, const cv::Mat& src, cv::Mat& dst, int y0, int y1,
                                          std::vector<double>& column, std::vector<T>& padded) {
    sumBand(r, src, dst, y0, y1, column, padded);
}

template <typename T>
void windowSumsOf(int r, const cv::Mat& src, cv::Mat& result) {
    const int bands = (src.rows + kBandRows - 1) / kBandRows;
    cv::parallel_for_(cv::Range(0, bands), [&](const cv::Range& range) {
        std::vector<double> column(src.cols);
        std::vector<T> padded(src.cols + 2 * static_cast<size_t>(r), T(0));
        const auto sum = avx2Kernels() ? sumBandsAvx2<T> : sumBandsBaseline<T>;
        for (int b = range.start; b < range.end; ++b)
            sum(r, src, result, b * kBandRows, std::min(src.rows, (b + 1) * kBandRows), column, padded);
    });
}

}  // namespace

void fastWindowSums(int r, const cv::Mat& src, cv::Mat& dst) {
    if (r < 0) throw std::invalid_argument("fastWindowSums: negative radius");
    if (src.channels() != 1 || (src.depth() != CV_32F && src.depth() != CV_64F))
        throw std::invalid_argument("fastWindowSums: expected a CV_32FC1 or CV_64FC1 plane");
    cv::Mat result(src.size(), src.type());
    if (src.depth() == CV_32F)
        windowSumsOf<float>(r, src, result);
    else
        windowSumsOf<double>(r, src, result);
    dst = result;
}

std::vector<float> fastWindowCounts(int length, int r) {
    std::vector<float> counts(length);
    for (int x = 0; x < length; ++x)
        counts[x] = static_cast<float>(std::min(length - 1, x + r) - std::max(0, x - r) + 1);
    return counts;
}

}  // namespace nightdehaze::detail
