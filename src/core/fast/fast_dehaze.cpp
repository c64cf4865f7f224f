#include "core/fast/fast_stages.hpp"

#include "core/fast/fast_airlight.hpp"
#include "core/fast/fast_guided_filter.hpp"
#include "core/fast/fast_math.hpp"
#include "core/fast/fast_plan.hpp"
#include "core/fast/fast_pixel_rows.hpp"
#include "core/fast/fast_window_maximum.hpp"
#include "core/filters/window_extrema.hpp"
#include "core/stages/airlight_grid.hpp"
#include "core/stages/pixel_formulas.hpp"
#include "core/stages/stage_constants.hpp"

#include <opencv2/core/utility.hpp>

#include <algorithm>
#include <vector>

namespace nightdehaze::detail {

namespace {

constexpr int kLightCoarseFactor = fast_plan::kDehazeLightScale;
constexpr int kRefineCoarseFactor = fast_plan::kDehazeRefineScale;

// A row of the smoothed light (0..1) on the 0..255 scale, lifted to the cube
// root of its grey level and floored, in place.
NIGHTDEHAZE_KERNEL_INLINE void liftRow(float* __restrict b, float* __restrict g, float* __restrict r, int n) {
    for (int x = 0; x < n; ++x) {
        const float a0 = b[x] * 255.0f, a1 = g[x] * 255.0f, a2 = r[x] * 255.0f;
        const float grey = formulas::lightGrey(a0, a1, a2);
        const float lift = formulas::levelGain(powNonNegative(grey, 1.0f / 3), grey);
        b[x] = formulas::liftedLight(a0, lift);
        g[x] = formulas::liftedLight(a1, lift);
        r[x] = formulas::liftedLight(a2, lift);
    }
}

// One plane of the smoothed light (0..1) at full resolution from its
// coefficients, into light (CV_32FC1 of the image's size).
void smoothedLightPlane(const CoarseGuide& guide, const ColorCoefficients& coefficients, cv::Mat& light) {
    cv::parallel_for_(cv::Range(0, light.rows), [&](const cv::Range& range) {
        ColorFilterRows rows = guide.rows(coefficients);
        for (int y = range.start; y < range.end; ++y) rows.row(y, light.ptr<float>(y));
    });
}

// The local light, smoothed under the image and lifted to the cube root of
// its grey level: three CV_32FC1 planes on the 0..255 scale. Each plane is
// fitted streamed, with no guide statistics kept, and its coefficients go
// as soon as the plane is made.
std::vector<cv::Mat> liftedLight(const cv::Mat& bgr8, int r, double eps) {
    const AirlightGrid grid = makeAirlightGrid(r, bgr8.size());
    cv::Mat values[3];
    fastWindowAirlight(grid, bgr8, fastDarkChannel(r + kDarkWindowExtra, bgr8), values);
    const CoarseGuide guide(bgr8, kLightCoarseFactor);
    const float scale = static_cast<float>(1.0 / kUnitScale);
    std::vector<cv::Mat> light(3);
    for (int c = 0; c < 3; ++c) {
        const ColorCoefficients fitted = guide.fitStreamed(
            gridWindowBlockMeans(grid, values[c], bgr8.size(), scale, guide.factor()), 2 * r, eps);
        light[c].create(bgr8.size(), CV_32FC1);
        smoothedLightPlane(guide, fitted, light[c]);
    }
    cv::parallel_for_(cv::Range(0, bgr8.rows), [&](const cv::Range& range) {
        for (int y = range.start; y < range.end; ++y)
            withVectorKernels([&]() NIGHTDEHAZE_LAMBDA_INLINE {
                liftRow(light[0].ptr<float>(y), light[1].ptr<float>(y), light[2].ptr<float>(y), bgr8.cols);
            });
    });
    return light;
}

// d = min(d, m / (l + guard)) along a row; after the last channel, the
// estimate 1 - omega * d.
NIGHTDEHAZE_KERNEL_INLINE void darkerRow(const uchar* __restrict m, const float* __restrict l, int n, bool last,
                                         float* __restrict d) {
    for (int x = 0; x < n; ++x) d[x] = std::min(d[x], formulas::normalisedDark<float>(m[x], l[x]));
    if (last)
        for (int x = 0; x < n; ++x) d[x] = formulas::transmissionEstimate(d[x]);
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
            for (int y = range.start; y < range.end; ++y)
                withVectorKernels([&]() NIGHTDEHAZE_LAMBDA_INLINE {
                    darkerRow(planeMin.ptr<uchar>(y), lightMax.ptr<float>(y), bgr8.cols, c == 2, dark.ptr<float>(y));
                });
        });
    }
    return dark;
}

// The recovered colours of n <= kPieceCols pixels: t = the refined
// transmission clamped to 0..1, J = (I - A) / max(t, floor) + A saturated to
// 0..255 and rounded; t also into transmission where given.
NIGHTDEHAZE_KERNEL_INLINE void recoverPiece(const float* __restrict refined, const uchar* in,
                                            const float* const light[3], int n, uchar* out,
                                            double* __restrict transmission) {
    float floored[kPieceCols], channel[3][kPieceCols];
    for (int x = 0; x < n; ++x) {
        const float t = formulas::clampedTransmission(refined[x]);
        floored[x] = formulas::flooredTransmission(t);
        if (transmission) transmission[x] = t;
    }
    splitChannels(in, n, channel[0], channel[1], channel[2]);
    for (int c = 0; c < 3; ++c) {
        const float* __restrict a = light[c];
        float* __restrict j = channel[c];
        for (int x = 0; x < n; ++x) j[x] = formulas::recoveredChannel(j[x], a[x], floored[x]);
        roundToBytes(j, n);
    }
    mergeChannels(channel[0], channel[1], channel[2], n, out);
}

// The light's rounded bytes, for the maps.
NIGHTDEHAZE_KERNEL_INLINE void lightPiece(const float* const light[3], int n, uchar* out) {
    float channel[3][kPieceCols];
    for (int c = 0; c < 3; ++c) {
        std::copy_n(light[c], n, channel[c]);
        roundToBytes(channel[c], n);
    }
    mergeChannels(channel[0], channel[1], channel[2], n, out);
}

// Row y of the dehazed image (and of the maps where given) from the refined
// transmission's row.
void recoverRow(int y, const float* refined, const cv::Mat& bgr8, const std::vector<cv::Mat>& light,
                cv::Mat& dehazed, HazeMaps* maps) {
    withVectorKernels([&]() NIGHTDEHAZE_LAMBDA_INLINE {
        for (int x0 = 0; x0 < bgr8.cols; x0 += kPieceCols) {
            const int n = std::min(kPieceCols, bgr8.cols - x0);
            const float* lightRows[3] = {light[0].ptr<float>(y) + x0, light[1].ptr<float>(y) + x0,
                                         light[2].ptr<float>(y) + x0};
            recoverPiece(refined + x0, bgr8.ptr<uchar>(y) + 3 * x0, lightRows, n, dehazed.ptr<uchar>(y) + 3 * x0,
                         maps ? maps->transmission.ptr<double>(y) + x0 : nullptr);
            if (maps) lightPiece(lightRows, n, maps->airlight.ptr<uchar>(y) + 3 * x0);
        }
    });
}

// The refinement's coefficients: the estimate's block means fitted under
// the guide, streamed (the refinement is the guide's only filter, so no
// plane of its statistics is made). The full-size estimate is gone before
// the recovery starts.
ColorCoefficients refinedTransmission(const CoarseGuide& guide, const cv::Mat& bgr8,
                                      const std::vector<cv::Mat>& light, int h, int refineRadius, double eps) {
    const cv::Mat coarseEstimate = blockMeans(transmissionEstimate(bgr8, light, h), guide.factor());
    return guide.fitStreamed(coarseEstimate, refineRadius, eps);
}

}  // namespace

cv::Mat fastDehaze(const cv::Mat& bgr8, const DehazeContext& context, int r, double eps, HazeMaps* maps) {
    const std::vector<cv::Mat> light = liftedLight(bgr8, r, eps);
    const CoarseGuide guide(bgr8, kRefineCoarseFactor);
    const ColorCoefficients refined =
        refinedTransmission(guide, bgr8, light, r + kDarkWindowExtra, context.refineRadius, eps);
    cv::Mat dehazed(bgr8.size(), CV_8UC3);
    if (maps) {
        maps->airlight.create(bgr8.size(), CV_8UC3);
        maps->transmission.create(bgr8.size(), CV_64FC1);
    }
    cv::parallel_for_(cv::Range(0, bgr8.rows), [&](const cv::Range& range) {
        std::vector<float> transmission(bgr8.cols);
        ColorFilterRows rows = guide.rows(refined);
        for (int y = range.start; y < range.end; ++y) {
            rows.row(y, transmission.data());
            recoverRow(y, transmission.data(), bgr8, light, dehazed, maps);
        }
    });
    return dehazed;
}

}  // namespace nightdehaze::detail
