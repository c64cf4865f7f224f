#include "core/fast/fast_stages.hpp"

#include "core/exact/hsv_to_bgr.hpp"
#include "core/fast/fast_guided_filter.hpp"
#include "core/fast/fast_math.hpp"

#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>

#include <array>

namespace nightdehaze::detail {

namespace {

constexpr float kUnitStep = 1.0f / 255;
constexpr double kRatioGuard = 1e-8;      // keeps the ratio finite where the smoothed value is 0
constexpr int kRatioRadiusIncrement = 5;  // the ratio is smoothed wider than the planes
constexpr double kSpikeRatio = 1e6;       // only a value over a smoothed 0 gives more

// 255 * (v / 255)^(1/3) for every 8-bit value.
std::array<float, 256> liftTable() {
    std::array<float, 256> lift;
    for (int v = 0; v < 256; ++v) lift[v] = 255.0f * powNonNegative(v * kUnitStep, 1.0f / 3);
    return lift;
}

uchar maxOfThree(const uchar* p) { return std::max(p[0], std::max(p[1], p[2])); }

// The value of the smoothed image: per channel, the plane filtered with
// itself as guide at full resolution and rounded to 8 bits; then the
// largest of the three.
cv::Mat smoothedValue(const cv::Mat& bgr8, int r, double eps) {
    cv::Mat value(bgr8.size(), CV_8UC1, cv::Scalar(0));
    cv::Mat plane(bgr8.size(), CV_32FC1);
    for (int c = 0; c < 3; ++c) {
        cv::parallel_for_(cv::Range(0, bgr8.rows), [&](const cv::Range& range) {
            for (int y = range.start; y < range.end; ++y) {
                const uchar* in = bgr8.ptr<uchar>(y);
                float* out = plane.ptr<float>(y);
                for (int x = 0; x < bgr8.cols; ++x) out[x] = in[3 * x + c] * kUnitStep;
            }
        });
        cv::Mat a, b;
        selfGuidedCoefficients(r, plane, eps, a, b);
        cv::parallel_for_(cv::Range(0, bgr8.rows), [&](const cv::Range& range) {
            for (int y = range.start; y < range.end; ++y) {
                const float* p = plane.ptr<float>(y);
                const float* ay = a.ptr<float>(y);
                const float* by = b.ptr<float>(y);
                uchar* v = value.ptr<uchar>(y);
                for (int x = 0; x < bgr8.cols; ++x) {
                    const uchar smoothed = roundedByte((ay[x] * p[x] + by[x]) * 255.0f);
                    v[x] = std::max(v[x], smoothed);
                }
            }
        });
    }
    return value;
}

// V / (Vf + guard) at every pixel, V the image's value, in double: where a
// faint pixel lies in a black neighbourhood Vf is 0 and the ratio near 1e8,
// and its smoothing must keep the digits the exact stage keeps.
cv::Mat valueRatio(const cv::Mat& bgr8, const cv::Mat& smoothed) {
    cv::Mat ratio(bgr8.size(), CV_64FC1);
    cv::parallel_for_(cv::Range(0, bgr8.rows), [&](const cv::Range& range) {
        for (int y = range.start; y < range.end; ++y) {
            const uchar* in = bgr8.ptr<uchar>(y);
            const uchar* f = smoothed.ptr<uchar>(y);
            double* out = ratio.ptr<double>(y);
            for (int x = 0; x < bgr8.cols; ++x)
                out[x] = static_cast<double>(maxOfThree(in + 3 * x)) / (static_cast<double>(f[x]) + kRatioGuard);
        }
    });
    return ratio;
}

// The ratio smoothed by the grey guided filter with itself as guide. A faint
// pixel over black (ratio near 1e8) leaves the rounding of its square in
// the exact filter's running sums for the rest of the picture, and the light
// around it follows that rounding: there the exact filter itself is used.
cv::Mat smoothedRatio(const cv::Mat& ratio, int r, double eps) {
    double largest = 0.0;
    cv::minMaxLoc(ratio, nullptr, &largest);
    cv::Mat smoothed;
    if (largest > kSpikeRatio) {
        guidedFilterGray(r, smoothed, ratio, ratio, eps);
        return smoothed;
    }
    cv::Mat a, b;
    selfGuidedCoefficients(r, ratio, eps, a, b);
    smoothed.create(ratio.size(), CV_64FC1);
    cv::parallel_for_(cv::Range(0, ratio.rows), [&](const cv::Range& range) {
        for (int y = range.start; y < range.end; ++y) {
            const double* q = ratio.ptr<double>(y);
            const double* ay = a.ptr<double>(y);
            const double* by = b.ptr<double>(y);
            double* out = smoothed.ptr<double>(y);
            for (int x = 0; x < ratio.cols; ++x) out[x] = ay[x] * q[x] + by[x];
        }
    });
    return smoothed;
}

}  // namespace

cv::Mat fastLightCompensation(const cv::Mat& bgr8, int r, double eps) {
    const cv::Mat ratio = valueRatio(bgr8, smoothedValue(bgr8, r, eps));
    const cv::Mat smoothed = smoothedRatio(ratio, r + kRatioRadiusIncrement, eps);
    const std::array<float, 256> lift = liftTable();
    cv::Mat hsv;
    cv::cvtColor(bgr8, hsv, cv::COLOR_BGR2HSV);  // integer arithmetic: the same on every CPU
    cv::parallel_for_(cv::Range(0, bgr8.rows), [&](const cv::Range& range) {
        for (int y = range.start; y < range.end; ++y) {
            const double* q = smoothed.ptr<double>(y);
            uchar* pixel = hsv.ptr<uchar>(y);
            for (int x = 0; x < bgr8.cols; ++x) {
                const double lifted = static_cast<double>(lift[pixel[3 * x + 2]]) * q[x];
                pixel[3 * x + 2] = roundedByte(static_cast<float>(lifted));
            }
        }
    });
    // Hue and saturation kept as 8-bit HSV keeps them, as the exact stage does.
    return hsvToBgr(hsv);
}

}  // namespace nightdehaze::detail
