#include "core/stages/contrast_stretch_limits.hpp"

#include "core/exact/exact_arithmetic.hpp"

#include <opencv2/core.hpp>

#include <array>
#include <cmath>
#include <stdexcept>
#include <vector>

namespace nightdehaze {

namespace {

constexpr double kTailFraction = 0.01;      // darkest share mapped to 0
constexpr double kHeadFraction = 0.99;      // brightest share starts here
constexpr double kOutputScale = 255.0;

using detail::Histogram;

Histogram histogramOf(const cv::Mat& plane) {
    Histogram counts{};
    for (int i = 0; i < plane.rows; ++i) {
        const uchar* row = plane.ptr<uchar>(i);
        for (int j = 0; j < plane.cols; ++j) ++counts[row[j]];
    }
    return counts;
}

// Sum of the `count` smallest (ascending) or largest values of the plane. The
// values are whole numbers, so every partial sum is exact in double and the
// result equals summing the sorted values one by one.
double tailSum(const Histogram& counts, long long count, bool fromTop) {
    double sum = 0.0;
    for (int k = 0; k < 256 && count > 0; ++k) {
        const int level = fromTop ? 255 - k : k;
        const long long taken = std::min(count, counts[level]);
        sum += static_cast<double>(taken) * level;
        count -= taken;
    }
    return sum;
}

// 8-bit image of the stretch of every grey level. (v - mLow) / (mHigh - mLow)
// * 255 is folded as OpenCV folds the matrix expression: one factor
// (1 / (mHigh - mLow)) * 255 and one offset (-mLow * (1 / (mHigh - mLow))) * 255,
// applied as v * factor + offset.
cv::Mat stretchTable(double mLow, double mHigh) {
    const double inverseRange = 1.0 / (mHigh - mLow);
    const double factor = inverseRange * kOutputScale;
    const double offset = (-mLow * inverseRange) * kOutputScale;
    cv::Mat table(1, 256, CV_8U);
    for (int v = 0; v < 256; ++v)
        table.at<uchar>(0, v) = detail::roundToByte(detail::scaledShifted(v, factor, offset));
    return table;
}

cv::Mat stretchPlane(const cv::Mat& plane, double mLow, double mHigh) {
    if (!(mHigh > mLow)) return plane.clone();
    cv::Mat stretched;
    cv::LUT(plane, stretchTable(mLow, mHigh), stretched);
    return stretched;
}

}  // namespace

namespace detail {

void limitsOfPlane(const Histogram& counts, long long n, double& low, double& high) {
    const double size = static_cast<double>(n);
    // Each tail keeps at least one pixel, so tiny planes still have two means.
    const long long lo = std::max(1LL, static_cast<long long>(std::floor(size * kTailFraction + 0.5)));
    const long long hi = std::min(n - 1, static_cast<long long>(std::floor(size * kHeadFraction + 0.5)));
    low = tailSum(counts, lo, false) / static_cast<double>(lo);
    high = tailSum(counts, n - hi, true) / static_cast<double>(n - hi);
}

std::array<uchar, 256> stretchLevels(double low, double high) {
    std::array<uchar, 256> levels;
    const cv::Mat table = high > low ? stretchTable(low, high) : cv::Mat();
    for (int v = 0; v < 256; ++v) levels[v] = table.empty() ? static_cast<uchar>(v) : table.at<uchar>(0, v);
    return levels;
}

StretchLimits measureStretchLimits(const cv::Mat& bgr8) {
    std::vector<cv::Mat> planes;
    cv::split(bgr8, planes);
    StretchLimits limits;
    for (int c = 0; c < 3; ++c)
        limitsOfPlane(histogramOf(planes[c]), static_cast<long long>(planes[c].total()), limits.low[c],
                      limits.high[c]);
    return limits;
}

void applyStretchLimits(cv::Mat& dst, const cv::Mat& src, const StretchLimits& limits) {
    std::vector<cv::Mat> planes;
    cv::split(src, planes);
    for (int c = 0; c < 3; ++c) planes[c] = stretchPlane(planes[c], limits.low[c], limits.high[c]);
    cv::merge(planes, dst);
}

}  // namespace detail

void contrastStretch(cv::Mat& dst, cv::Mat src) {
    if (src.type() != CV_8UC3)
        throw std::invalid_argument("contrastStretch: expected an 8-bit three-channel image");
    if (src.empty()) {
        dst = src.clone();
        return;
    }
    detail::applyStretchLimits(dst, src, detail::measureStretchLimits(src));
}

}  // namespace nightdehaze
