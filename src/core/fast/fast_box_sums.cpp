#include "core/fast/fast_box_sums.hpp"

#include "core/fast/fast_sliding_rows.hpp"
#include "core/runtime/vector_kernels.hpp"

#include <opencv2/core/utility.hpp>

#include <algorithm>
#include <stdexcept>

namespace nightdehaze::detail {

namespace {

// Running sums along a row run as this many independent chains, one per
// quarter of the row, so that they do not wait on each other's additions.
constexpr int kChains = 4;

// Per band and thread: the column sums and their running sums along the row.
struct RowScratch {
    std::vector<double> column, running;
    explicit RowScratch(int cols) : column(cols), running(cols + 1) {}
};

// The plane summed, or the products of two planes (other non-empty).
template <typename T>
struct Summand {
    const cv::Mat& plane;
    const cv::Mat& other;

    // Adds rows y0 .. y1 - 1 to the column sums.
    NIGHTDEHAZE_KERNEL_INLINE void addRows(double* column, int y0, int y1) const {
        for (int y = y0; y < y1; ++y)
            if (other.empty())
                exchangeRowTerms<T, false, true, false>(column, plane.ptr<T>(y), nullptr, nullptr, nullptr, plane.cols);
            else
                exchangeRowTerms<T, true, true, false>(column, plane.ptr<T>(y), other.ptr<T>(y), nullptr, nullptr,
                                                       plane.cols);
    }
    // Slides the window's column sums from the rows of y - 1's window to y's.
    NIGHTDEHAZE_KERNEL_INLINE void slideTo(double* column, int y, int r) const {
        if (other.empty())
            slide<false>(column, y, r);
        else
            slide<true>(column, y, r);
    }

private:
    template <bool products>
    NIGHTDEHAZE_KERNEL_INLINE void slide(double* column, int y, int r) const {
        const int in = y + r, out = y - r - 1;
        const T* a = in < plane.rows ? plane.ptr<T>(in) : nullptr;
        const T* b = products && a ? other.ptr<T>(in) : nullptr;
        const T* c = out >= 0 ? plane.ptr<T>(out) : nullptr;
        const T* d = products && c ? other.ptr<T>(out) : nullptr;
        if (a && c)
            exchangeRowTerms<T, products, true, true>(column, a, b, c, d, plane.cols);
        else if (a)
            exchangeRowTerms<T, products, true, false>(column, a, b, nullptr, nullptr, plane.cols);
        else if (c)
            exchangeRowTerms<T, products, false, true>(column, nullptr, nullptr, c, d, plane.cols);
    }
};

// Where the window sums of a row go: into out as they are, or (means) as
// the means, each sum times (1 / rows(y)) * (1 / cols(x)) in double.
template <typename T, bool means>
struct RowOutput {
    T* __restrict out;
    double rowInverse;
    const double* __restrict colInverses;
    NIGHTDEHAZE_KERNEL_INLINE void put(int x, double sum) const {
        out[x] = static_cast<T>(means ? sum * (rowInverse * colInverses[x]) : sum);
    }
};

// running[x] = column[0] + ... + column[x - 1], each quarter of the row summed
// from 0 on its own and then offset by the quarters before it; the window sum
// is running[hi] - running[lo].
template <typename Output>
NIGHTDEHAZE_KERNEL_INLINE void runningRowSums(RowScratch& s, int n, int r, const Output& output) {
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
    for (int x = 0; x < left; ++x) output.put(x, running[std::min(n, x + r + 1)] - running[0]);
    for (int x = left; x < right; ++x) output.put(x, running[x + r + 1] - running[x - r]);
    for (int x = right; x < n; ++x) output.put(x, running[n] - running[std::max(0, x - r)]);
}

template <typename T, bool means>
NIGHTDEHAZE_KERNEL_INLINE void sumBand(int r, const Summand<T>& src, cv::Mat& dst, int y0, int y1,
                                       const float* rowCounts, const double* colInverses, RowScratch& s) {
    const int rows = src.plane.rows, cols = src.plane.cols;
    std::fill(s.column.begin(), s.column.end(), 0.0);
    src.addRows(s.column.data(), std::max(0, y0 - r), std::min(rows, y0 + r + 1));
    for (int y = y0; y < y1; ++y) {
        if (y > y0) src.slideTo(s.column.data(), y, r);
        const RowOutput<T, means> output{dst.ptr<T>(y), means ? 1.0 / rowCounts[y] : 1.0, colInverses};
        if (r == 0)  // the window is the column
            for (int x = 0; x < cols; ++x) output.put(x, s.column[x]);
        else
            runningRowSums(s, cols, r, output);
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
    const int height = slidingBandRows(plane.rows), bands = (plane.rows + height - 1) / height;
    cv::parallel_for_(cv::Range(0, bands), [&](const cv::Range& range) {
        RowScratch scratch(plane.cols);
        const auto sum = avx2Kernels() ? sumBandsAvx2<T, means> : sumBandsBaseline<T, means>;
        for (int b = range.start; b < range.end; ++b)
            sum(r, summand, result, b * height, std::min(plane.rows, (b + 1) * height), rowCounts.data(),
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
