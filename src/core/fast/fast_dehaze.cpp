#include "core/fast/fast_stages.hpp"

#include "core/fast/fast_airlight.hpp"
#include "core/fast/fast_guided_filter.hpp"
#include "core/fast/fast_math.hpp"
#include "core/fast/fast_streamed_filter.hpp"
#include "core/fast/fast_window_maximum.hpp"
#include "core/filters/window_extrema.hpp"
#include "core/stages/airlight_grid.hpp"
#include "core/stages/stage_constants.hpp"

#include <opencv2/core/utility.hpp>

#include <algorithm>
#include <vector>

namespace nightdehaze::detail {

namespace {

constexpr float kAirlightFloor = 51.0f;     // 0.2 * 255: the light is never darker
constexpr float kHazeRemoval = 0.95f;       // omega: leaves a trace of haze for depth
constexpr float kTransmissionFloor = 0.1f;  // keeps the recovery stable in dense haze
constexpr float kGreyFactor = (1.0f / 3) * (1.0f / 255);
constexpr float kGuard = static_cast<float>(kLightGuard);
// The light (radius 10) is fitted on a grid twice as coarse: it is smooth at
// that scale. The transmission is refined at full resolution, streamed: the
// recovery divides by it, and on a coarser grid its edges moved the 99.9th
// percentile of the difference from the exact result past 10 levels on real
// photographs.
constexpr int kLightCoarseFactor = 2;

// The local light, smoothed under the image and lifted to the cube root of
// its grey level: three CV_32FC1 planes on the 0..255 scale.
std::vector<cv::Mat> liftedLight(const cv::Mat& bgr8, int r, double eps) {
    const AirlightGrid grid = makeAirlightGrid(r, bgr8.size());
    cv::Mat values[3];
    fastWindowAirlight(grid, bgr8, fastDarkChannel(r + kDarkWindowExtra, bgr8), values);
    const FastColorFilter filter(bgr8, 2 * r, kLightCoarseFactor, eps);
    std::vector<ColorCoefficients> fitted;
    for (const cv::Mat& v : values) {
        const float scale = static_cast<float>(1.0 / kUnitScale);
        fitted.push_back(filter.fitCoarse(gridWindowBlockMeans(grid, v, bgr8.size(), scale, filter.factor())));
    }
    std::vector<cv::Mat> light(3);
    for (cv::Mat& plane : light) plane.create(bgr8.size(), CV_32FC1);
    cv::parallel_for_(cv::Range(0, bgr8.rows), [&](const cv::Range& range) {
        std::vector<ColorFilterRows> planes;
        for (const ColorCoefficients& coefficients : fitted) planes.push_back(filter.rows(coefficients));
        for (int y = range.start; y < range.end; ++y) {
            float* a[3];
            for (int c = 0; c < 3; ++c) {
                a[c] = light[c].ptr<float>(y);
                planes[c].row(y, a[c]);
                for (int x = 0; x < bgr8.cols; ++x) a[c][x] = a[c][x] * 255.0f;
            }
            for (int x = 0; x < bgr8.cols; ++x) {
                const float grey = (a[0][x] + a[1][x]) * kGreyFactor + a[2][x] * kGreyFactor;
                const float lift = powNonNegative(grey, 1.0f / 3) / (grey + kGuard);
                for (int c = 0; c < 3; ++c) a[c][x] = std::max(a[c][x] * lift, kAirlightFloor);
            }
        }
    });
    return light;
}

// 1 - omega * (the dark channel of the image normalised by the light): at
// every pixel the smallest over the channels of the plane's window minimum
// over the light's window maximum.
cv::Mat transmissionEstimate(const cv::Mat& bgr8, const std::vector<cv::Mat>& light, int h) {
    cv::Mat dark(bgr8.size(), CV_32FC1, cv::Scalar(255.0f));
    cv::Mat plane(bgr8.size(), CV_8UC1);
    for (int c = 0; c < 3; ++c) {
        cv::extractChannel(bgr8, plane, c);
        cv::Mat planeMin, lightMax;
        windowMinimum(h, planeMin, plane);
        fastWindowMaximum(h, light[c], lightMax);
        cv::parallel_for_(cv::Range(0, bgr8.rows), [&](const cv::Range& range) {
            for (int y = range.start; y < range.end; ++y) {
                const uchar* m = planeMin.ptr<uchar>(y);
                const float* l = lightMax.ptr<float>(y);
                float* d = dark.ptr<float>(y);
                for (int x = 0; x < bgr8.cols; ++x) d[x] = std::min(d[x], m[x] / (l[x] + kGuard));
            }
        });
    }
    dark.forEach<float>([](float& d, const int*) { d = d * -kHazeRemoval + 1.0f; });
    return dark;
}

}  // namespace

cv::Mat fastDehaze(const cv::Mat& bgr8, const DehazeContext& context, int r, double eps, HazeMaps* maps) {
    const std::vector<cv::Mat> light = liftedLight(bgr8, r, eps);
    cv::Mat dehazed(bgr8.size(), CV_8UC3);
    if (maps) {
        maps->airlight.create(bgr8.size(), CV_8UC3);
        maps->transmission.create(bgr8.size(), CV_64FC1);
    }
    const cv::Mat estimate = transmissionEstimate(bgr8, light, r + kDarkWindowExtra);
    streamedColorFilter(bgr8, estimate, context.refineRadius, eps, [&](int y, const float* refined) {
        const uchar* in = bgr8.ptr<uchar>(y);
        uchar* out = dehazed.ptr<uchar>(y);
        double* transmission = maps ? maps->transmission.ptr<double>(y) : nullptr;
        const float* lightRows[3] = {light[0].ptr<float>(y), light[1].ptr<float>(y), light[2].ptr<float>(y)};
        for (int x = 0; x < bgr8.cols; ++x) {
            const float t = std::min(std::max(refined[x], 0.0f), 1.0f);
            const float floored = std::max(t, kTransmissionFloor);
            for (int c = 0; c < 3; ++c) {
                const float a = lightRows[c][x];
                const float j = (static_cast<float>(in[3 * x + c]) - a) / floored + a;
                out[3 * x + c] = roundedByte(std::min(std::max(j, 0.0f), 255.0f));
            }
            if (transmission) transmission[x] = t;
        }
        if (!maps) return;
        uchar* airlight = maps->airlight.ptr<uchar>(y);
        for (int x = 0; x < bgr8.cols; ++x)
            for (int c = 0; c < 3; ++c) airlight[3 * x + c] = roundedByte(lightRows[c][x]);
    });
    return dehazed;
}

}  // namespace nightdehaze::detail
