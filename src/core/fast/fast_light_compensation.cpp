#include "core/fast/fast_stages.hpp"

#include "core/exact/hsv_to_bgr.hpp"
#include "core/fast/fast_math.hpp"
#include "core/fast/fast_pixel_rows.hpp"
#include "core/fast/fast_streamed_filter.hpp"

#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <array>
#include <vector>

namespace nightdehaze::detail {

namespace {

constexpr float kUnitStep = 1.0f / 255;
constexpr double kRatioGuard = 1e-8;      // keeps the ratio finite where the smoothed value is 0
constexpr int kRatioRadiusIncrement = 5;  // the ratio is smoothed wider than the planes

// 255 * (v / 255)^(1/3) for every 8-bit value.
std::array<float, 256> liftTable() {
    std::array<float, 256> lift;
    for (int v = 0; v < 256; ++v) lift[v] = 255.0f * powNonNegative(v * kUnitStep, 1.0f / 3);
    return lift;
}

// Channel c of a row on the 0..1 scale.
NIGHTDEHAZE_KERNEL_INLINE void unitChannelRow(const uchar* __restrict in, int c, int n, float* __restrict out) {
    for (int x = 0; x < n; ++x) out[x] = in[3 * x + c] * kUnitStep;
}

// v = max(v, the smoothed row (0..1) on the 0..255 scale, rounded), for
// n <= kPieceCols pixels.
NIGHTDEHAZE_KERNEL_INLINE void raiseToRounded(const float* __restrict smoothed, int n, uchar* __restrict v) {
    float rounded[kPieceCols];
    for (int x = 0; x < n; ++x) rounded[x] = smoothed[x] * 255.0f;
    roundToBytes(rounded, n);
    for (int x = 0; x < n; ++x) {
        const uchar byte = static_cast<uchar>(static_cast<int>(rounded[x]));
        v[x] = v[x] < byte ? byte : v[x];
    }
}

// The value of the smoothed image: per channel, the plane filtered with
// itself as guide at full resolution and rounded to 8 bits; then the
// largest of the three.
cv::Mat smoothedValue(const cv::Mat& bgr8, int r, double eps) {
    cv::Mat value(bgr8.size(), CV_8UC1, cv::Scalar(0));
    cv::Mat plane(bgr8.size(), CV_32FC1);
    for (int c = 0; c < 3; ++c) {
        cv::parallel_for_(cv::Range(0, bgr8.rows), [&](const cv::Range& range) {
            for (int y = range.start; y < range.end; ++y)
                withVectorKernels([&]() NIGHTDEHAZE_LAMBDA_INLINE {
                    unitChannelRow(bgr8.ptr<uchar>(y), c, bgr8.cols, plane.ptr<float>(y));
                });
        });
        streamedSelfGuidedFilter(plane, r, eps, [&](int y, const float* smoothed) {
            withVectorKernels([&]() NIGHTDEHAZE_LAMBDA_INLINE {
                for (int x0 = 0; x0 < bgr8.cols; x0 += kPieceCols)
                    raiseToRounded(smoothed + x0, std::min(kPieceCols, bgr8.cols - x0), value.ptr<uchar>(y) + x0);
            });
        });
    }
    return value;
}

template <typename T>
NIGHTDEHAZE_KERNEL_INLINE void valueRatioRow(const uchar* __restrict in, const uchar* __restrict f, int n,
                                             T* __restrict out) {
    for (int x = 0; x < n; ++x)
        out[x] = static_cast<T>(maxOfThree(in + 3 * x)) / (static_cast<T>(f[x]) + static_cast<T>(kRatioGuard));
}

// V / (Vf + guard) at every pixel, V the image's value, in T's precision.
template <typename T>
cv::Mat valueRatio(const cv::Mat& bgr8, const cv::Mat& smoothed) {
    cv::Mat ratio(bgr8.size(), cv::DataType<T>::type);
    cv::parallel_for_(cv::Range(0, bgr8.rows), [&](const cv::Range& range) {
        for (int y = range.start; y < range.end; ++y)
            withVectorKernels([&]() NIGHTDEHAZE_LAMBDA_INLINE {
                valueRatioRow(bgr8.ptr<uchar>(y), smoothed.ptr<uchar>(y), bgr8.cols, ratio.ptr<T>(y));
            });
    });
    return ratio;
}

// True where some pixel's value is above 0 and its smoothed value 0: its
// ratio is then near 1e8.
bool hasFaintPixelOverBlack(const cv::Mat& bgr8, const cv::Mat& smoothed) {
    for (int y = 0; y < bgr8.rows; ++y) {
        const uchar* in = bgr8.ptr<uchar>(y);
        const uchar* f = smoothed.ptr<uchar>(y);
        for (int x = 0; x < bgr8.cols; ++x)
            if (f[x] == 0 && maxOfThree(in + 3 * x) > 0) return true;
    }
    return false;
}

// The new value of every pixel of a row of the HSV image from its smoothed
// ratio q (floats or doubles): 255 * (V/255)^(1/3) * q, rounded.
template <typename T>
void liftRow(const std::array<float, 256>& lift, const T* q, int n, uchar* pixel) {
    for (int x = 0; x < n; ++x)
        pixel[3 * x + 2] = roundedByte(static_cast<float>(static_cast<T>(lift[pixel[3 * x + 2]]) * q[x]));
}

}  // namespace

// The ratio is smoothed by the grey guided filter with itself as guide. A
// faint pixel over black (ratio near 1e8) leaves the rounding of its square
// in the exact filter's running sums for the rest of the picture, and the
// light around it follows that rounding: there the exact filter itself
// smooths the ratio, in double. Elsewhere the ratio stays below 256 and the
// single-precision filter follows the exact one closely.
cv::Mat fastLightCompensation(const cv::Mat& bgr8, int r, double eps) {
    const cv::Mat value = smoothedValue(bgr8, r, eps);
    const int ratioRadius = r + kRatioRadiusIncrement;
    cv::Mat hsv;
    cv::cvtColor(bgr8, hsv, cv::COLOR_BGR2HSV);  // integer arithmetic: the same on every CPU
    const std::array<float, 256> lift = liftTable();
    if (hasFaintPixelOverBlack(bgr8, value)) {
        const cv::Mat ratio = valueRatio<double>(bgr8, value);
        cv::Mat smoothed;
        guidedFilterGray(ratioRadius, smoothed, ratio, ratio, eps);
        cv::parallel_for_(cv::Range(0, hsv.rows), [&](const cv::Range& range) {
            for (int y = range.start; y < range.end; ++y)
                liftRow(lift, smoothed.ptr<double>(y), hsv.cols, hsv.ptr<uchar>(y));
        });
    } else {
        streamedSelfGuidedFilter(valueRatio<float>(bgr8, value), ratioRadius, eps,
                                 [&](int y, const float* smoothed) { liftRow(lift, smoothed, hsv.cols, hsv.ptr<uchar>(y)); });
    }
    // Hue and saturation kept as 8-bit HSV keeps them, as the exact stage does.
    return hsvToBgr(hsv);
}

}  // namespace nightdehaze::detail
