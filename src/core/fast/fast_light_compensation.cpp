#include "core/fast/fast_stages.hpp"

#include "core/fast/fast_guided_filter.hpp"
#include "core/fast/fast_math.hpp"
#include "core/fast/fast_resampling.hpp"

#include <opencv2/core/utility.hpp>

#include <array>

namespace nightdehaze::detail {

namespace {

constexpr float kUnitStep = 1.0f / 255;
constexpr float kRatioGuard = 1e-8f;      // keeps the ratio finite where the smoothed value is 0
constexpr int kRatioRadiusIncrement = 5;  // the ratio is smoothed wider than the planes
// The ratio's filter (radius 10) is fitted on a grid twice as coarse: the
// ratio is smooth at that scale, and its detail comes back from the guide.
constexpr int kRatioCoarseFactor = 2;

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
        for (int y = 0; y < bgr8.rows; ++y) {
            const uchar* in = bgr8.ptr<uchar>(y);
            float* out = plane.ptr<float>(y);
            for (int x = 0; x < bgr8.cols; ++x) out[x] = in[3 * x + c] * kUnitStep;
        }
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

// V / (Vf + guard) at every pixel, V the image's value.
cv::Mat valueRatio(const cv::Mat& bgr8, const cv::Mat& smoothed) {
    cv::Mat ratio(bgr8.size(), CV_32FC1);
    cv::parallel_for_(cv::Range(0, bgr8.rows), [&](const cv::Range& range) {
        for (int y = range.start; y < range.end; ++y) {
            const uchar* in = bgr8.ptr<uchar>(y);
            const uchar* f = smoothed.ptr<uchar>(y);
            float* out = ratio.ptr<float>(y);
            for (int x = 0; x < bgr8.cols; ++x)
                out[x] = static_cast<float>(maxOfThree(in + 3 * x)) / (static_cast<float>(f[x]) + kRatioGuard);
        }
    });
    return ratio;
}

}  // namespace

cv::Mat fastLightCompensation(const cv::Mat& bgr8, int r, double eps) {
    const cv::Mat ratio = valueRatio(bgr8, smoothedValue(bgr8, r, eps));
    const int s = kRatioCoarseFactor;
    cv::Mat a, b;
    selfGuidedCoefficients(coarseRadius(r + kRatioRadiusIncrement, s), blockMeans(ratio, s), eps, a, b);
    a.convertTo(a, CV_32F);
    b.convertTo(b, CV_32F);
    const UpsampledRows upsampling(bgr8.size(), a.size(), s);
    const std::array<float, 256> lift = liftTable();
    cv::Mat result(bgr8.size(), CV_8UC3);
    cv::parallel_for_(cv::Range(0, bgr8.rows), [&](const cv::Range& range) {
        std::vector<float> smoothedRatio(bgr8.cols);
        for (int y = range.start; y < range.end; ++y) {
            selfGuidedRow(a, b, upsampling, y, ratio.ptr<float>(y), smoothedRatio.data());
            const uchar* in = bgr8.ptr<uchar>(y);
            uchar* out = result.ptr<uchar>(y);
            for (int x = 0; x < bgr8.cols; ++x) {
                const uchar v = maxOfThree(in + 3 * x);
                const uchar lifted = roundedByte(lift[v] * smoothedRatio[x]);
                const float gain = v > 0 ? static_cast<float>(lifted) / v : 0.0f;
                for (int c = 0; c < 3; ++c) out[3 * x + c] = roundedByte(in[3 * x + c] * gain);
            }
        }
    });
    return result;
}

}  // namespace nightdehaze::detail
