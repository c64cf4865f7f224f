#include "core/filters/float_self_guided_filter.hpp"

#include "core/filters/float_window_sums.hpp"
#include "core/runtime/run_report.hpp"
#include "core/runtime/vector_kernels.hpp"

#include <opencv2/core/utility.hpp>

#include <algorithm>
#include <stdexcept>
#include <vector>

namespace nightdehaze::detail {

namespace {

using namespace float_rows;

constexpr float kCentre = 128.0f;  // values centred before squaring: fewer digits lost in the variance
constexpr float kTiny = 1e-30f;    // a window of zero variance and eps gets a = 0 / kTiny = 0
// Rows per band: the bands, and so the sliding sums' rounding, are set by the
// height alone, whatever the number of threads; each band's warm-up of 3r rows
// stays a small share.
constexpr int kBandRows = 64;

NIGHTDEHAZE_KERNEL_INLINE void centredRow(const uchar* __restrict in, int n, float* __restrict values,
                                          float* __restrict squares) {
    for (int x = 0; x < n; ++x) {
        const float v = static_cast<float>(in[x]) - kCentre;
        values[x] = v;
        squares[x] = v * v;
    }
}

// Window means and variances from window sums, in place; also the means in
// levels for the regularisation.
NIGHTDEHAZE_KERNEL_INLINE void meansAndVariances(const float* __restrict inverseCounts, float rowInverse,
                                                 int n, float* __restrict mean, float* __restrict squares,
                                                 float* __restrict levels) {
    for (int x = 0; x < n; ++x) {
        const float inverse = rowInverse * inverseCounts[x];
        const float m = mean[x] * inverse;
        mean[x] = m;
        squares[x] = squares[x] * inverse - m * m;
        levels[x] = m + kCentre;
    }
}

// a and b of each window; a replaces the variance.
NIGHTDEHAZE_KERNEL_INLINE void coefficients(const float* __restrict eps, const float* __restrict mean,
                                            int n, float* __restrict variance, float* __restrict b) {
    for (int x = 0; x < n; ++x) {
        const float v = std::max(variance[x], 0.0f);
        const float a = v / std::max(v + eps[x], kTiny);
        variance[x] = a;
        b[x] = mean[x] - a * mean[x];
    }
}

NIGHTDEHAZE_KERNEL_INLINE void applied(const float* __restrict inverseCounts, float rowInverse,
                                       const uchar* __restrict in, const float* __restrict a,
                                       const float* __restrict b, int n, uchar* __restrict out) {
    for (int x = 0; x < n; ++x) {
        const float inverse = rowInverse * inverseCounts[x];
        const float q = (a[x] * inverse) * (static_cast<float>(in[x]) - kCentre) + b[x] * inverse + kCentre;
        const float low = q > 0.0f ? q : 0.0f;
        const float clamped = low < 255.0f ? low : 255.0f;
        out[x] = static_cast<uchar>(static_cast<int>(clamped + 0.5f));
    }
}

enum Statistic { kSum, kSquares };
enum Coefficient { kA, kB };

// Filters rows [first, end) of one channel's plane into its output plane.
class BandFilter {
public:
    BandFilter(int r, int channel, const cv::Mat& plane, const WindowEps& eps, cv::Mat& out)
        : r_(r), channel_(channel), rows_(plane.rows), cols_(plane.cols), plane_(plane), eps_(eps),
          out_(out), statistics_(r, cols_, 2), coefficients_(r, cols_, 2),
          statisticSums_(r, rows_, cols_, 2), coefficientSums_(r, rows_, cols_, 2),
          scratch_(4 * static_cast<size_t>(cols_)), inverseCounts_(cols_) {
        for (int x = 0; x < cols_; ++x)
            inverseCounts_[x] = 1.0f / static_cast<float>(std::min(cols_ - 1, x + r) - std::max(0, x - r) + 1);
    }

    NIGHTDEHAZE_KERNEL_INLINE void run(int first, int end) {
        int nextInput = std::max(0, first - 2 * r_);
        int nextCoefficient = std::max(0, first - r_);
        for (int y = first; y < end; ++y) {
            const int lastCoefficient = std::min(rows_ - 1, y + r_);
            for (; nextCoefficient <= lastCoefficient; ++nextCoefficient) {
                const int lastInput = std::min(rows_ - 1, nextCoefficient + r_);
                for (; nextInput <= lastInput; ++nextInput) addInputRow(nextInput);
                addCoefficientRow(nextCoefficient);
            }
            writeRow(y);
        }
    }

private:
    int windowRows(int y) const { return std::min(rows_ - 1, y + r_) - std::max(0, y - r_) + 1; }

    NIGHTDEHAZE_KERNEL_INLINE void addInputRow(int y) {
        float* values = scratch_.data();
        float* squares = values + cols_;
        centredRow(plane_.ptr<uchar>(y), cols_, values, squares);
        horizontalSums(values, cols_, r_, statistics_.row(y, kSum));
        horizontalSums(squares, cols_, r_, statistics_.row(y, kSquares));
    }

    NIGHTDEHAZE_KERNEL_INLINE void addCoefficientRow(int y) {
        float* mean = scratch_.data();
        float* squares = mean + cols_;
        float* eps = squares + cols_;
        float* levels = eps + cols_;
        statisticSums_.moveTo(y, statistics_);
        copyRow(statisticSums_.sums(kSum), cols_, mean);
        copyRow(statisticSums_.sums(kSquares), cols_, squares);
        meansAndVariances(inverseCounts_.data(), 1.0f / windowRows(y), cols_, mean, squares, levels);
        eps_.row(channel_, y, levels, cols_, eps);
        coefficients(eps, mean, cols_, squares, levels);
        horizontalSums(squares, cols_, r_, coefficients_.row(y, kA));
        horizontalSums(levels, cols_, r_, coefficients_.row(y, kB));
    }

    NIGHTDEHAZE_KERNEL_INLINE void writeRow(int y) {
        coefficientSums_.moveTo(y, coefficients_);
        applied(inverseCounts_.data(), 1.0f / windowRows(y), plane_.ptr<uchar>(y),
                coefficientSums_.sums(kA), coefficientSums_.sums(kB), cols_, out_.ptr<uchar>(y));
    }

    int r_, channel_, rows_, cols_;
    const cv::Mat& plane_;
    const WindowEps& eps_;
    cv::Mat& out_;
    RowRing statistics_, coefficients_;
    SlidingSums statisticSums_, coefficientSums_;
    std::vector<float> scratch_, inverseCounts_;
};

}  // namespace

cv::Mat floatSelfGuidedFilter(int r, const cv::Mat& bgr8, const WindowEps& eps) {
    if (r < 0) throw std::invalid_argument("floatSelfGuidedFilter: negative radius");
    cv::Mat result(bgr8.size(), CV_8UC3);
    if (bgr8.empty()) return result;
    std::vector<cv::Mat> planes, filtered(3);
    cv::split(bgr8, planes);
    for (cv::Mat& plane : filtered) plane.create(bgr8.size(), CV_8UC1);
    const RunReport* run = currentRun();
    const int bands = (bgr8.rows + kBandRows - 1) / kBandRows;
    cv::parallel_for_(cv::Range(0, 3 * bands), [&](const cv::Range& range) {
        for (int task = range.start; task < range.end && !stopRequested(run); ++task) {
            const int channel = task / bands, band = task % bands;
            const int first = band * kBandRows;
            const int end = std::min(bgr8.rows, first + kBandRows);
            BandFilter filter(r, channel, planes[channel], eps, filtered[channel]);
            withVectorKernels([&]() NIGHTDEHAZE_LAMBDA_INLINE { filter.run(first, end); });
        }
    });
    cv::merge(filtered, result);
    return result;
}

}  // namespace nightdehaze::detail
