#include "core/fast/fast_stages.hpp"

#include "core/fast/fast_airlight.hpp"
#include "core/fast/fast_guided_filter.hpp"
#include "core/fast/fast_math.hpp"
#include "core/fast/fast_plan.hpp"
#include "core/fast/fast_pixel_rows.hpp"
#include "core/filters/window_extrema.hpp"
#include "core/stages/airlight_grid.hpp"
#include "core/stages/pixel_formulas.hpp"
#include "core/stages/stage_constants.hpp"

#include <opencv2/core/utility.hpp>

#include <algorithm>
#include <array>
#include <vector>

namespace nightdehaze::detail {

namespace {

constexpr int kLightCoarseFactor = fast_plan::kCorrectionLightScale;
constexpr int kCoarseFactor = fast_plan::kCorrectionRefineScale;

// The largest and the smallest of each pixel's three channels along a row.
NIGHTDEHAZE_KERNEL_INLINE void largestChannelRow(const uchar* __restrict p, int n, uchar* __restrict v) {
    for (int x = 0; x < n; ++x) v[x] = std::max(p[3 * x], std::max(p[3 * x + 1], p[3 * x + 2]));
}
NIGHTDEHAZE_KERNEL_INLINE void smallestChannelRow(const uchar* __restrict p, int n, uchar* __restrict d) {
    for (int x = 0; x < n; ++x) d[x] = std::min(p[3 * x], std::min(p[3 * x + 1], p[3 * x + 2]));
}

cv::Mat valuePlane(const cv::Mat& bgr8) {
    cv::Mat value(bgr8.size(), CV_8UC1);
    cv::parallel_for_(cv::Range(0, bgr8.rows), [&](const cv::Range& range) {
        for (int y = range.start; y < range.end; ++y)
            withVectorKernels([&]() NIGHTDEHAZE_LAMBDA_INLINE {
                largestChannelRow(bgr8.ptr<uchar>(y), bgr8.cols, value.ptr<uchar>(y));
            });
    });
    return value;
}

// A CV_32FC1 plane bilinearly interpolated onto a grid s times finer (of
// size fine, whose coarseSize is the plane's).
cv::Mat interpolatedOnto(cv::Size fine, const cv::Mat& plane, int s) {
    const UpsampledRows axes(fine, plane.size(), s);
    cv::Mat result(fine, CV_32FC1);
    cv::parallel_for_(cv::Range(0, fine.height), [&](const cv::Range& range) {
        UpsampledPlaneRows rows(axes, plane);
        for (int y = range.start; y < range.end; ++y) rows.row(y, result.ptr<float>(y));
    });
    return result;
}

// The per-pixel means of the light's three channels and of the brightness
// over the grid windows, each averaged onto the light filter's grid, fitted
// and filtered there and interpolated onto the grid of size target: four
// CV_32FC1 planes on the 0..255 scale. Each plane's coefficients go as soon
// as its result is made.
std::array<cv::Mat, 4> smoothedLightOnGrid(const cv::Mat& bgr8, int r, const FastColorFilter& filter,
                                           cv::Size target) {
    const AirlightGrid grid = makeAirlightGrid(r, bgr8.size());
    cv::Mat values[4];
    fastWindowAirlight(grid, bgr8, fastDarkChannel(r + kDarkWindowExtra, bgr8), values);
    values[3] = fastWindowMaxima(grid, valuePlane(bgr8));
    const float scale = static_cast<float>(1.0 / kUnitScale);
    std::array<cv::Mat, 4> smoothed;
    for (int k = 0; k < 4; ++k) {
        const cv::Mat means = gridWindowBlockMeans(grid, values[k], bgr8.size(), scale, filter.factor());
        smoothed[k] = interpolatedOnto(target, filter.coarseResult(filter.fitCoarse(means), 255.0f),
                                       kLightCoarseFactor / kCoarseFactor);
    }
    return smoothed;
}

// One row of the correction factors before their refinement, from the rows
// of the smoothed light (0..255) and brightness.
NIGHTDEHAZE_KERNEL_INLINE void factorsRow(const float* __restrict l0, const float* __restrict l1,
                                          const float* __restrict l2, const float* __restrict brightness,
                                          float inverseGamma, int n, float* __restrict f0, float* __restrict f1,
                                          float* __restrict f2) {
    for (int x = 0; x < n; ++x) {
        const float floored = formulas::flooredBrightness(brightness[x]);
        const float mean = formulas::relativeMeanLight(l0[x], l1[x], l2[x], floored);
        const float gain = formulas::levelGain(powNonNegative(mean, inverseGamma), mean);
        f0[x] = formulas::correctionFactor(l0[x], gain, floored);
        f1[x] = formulas::correctionFactor(l1[x], gain, floored);
        f2[x] = formulas::correctionFactor(l2[x], gain, floored);
    }
}

// The factors on the coarse grid from the smoothed light and brightness on
// it (0..255).
std::vector<cv::Mat> coarseFactors(const std::array<cv::Mat, 4>& planes, double gamma) {
    const cv::Size coarse = planes[0].size();
    std::vector<cv::Mat> factors(3);
    for (cv::Mat& f : factors) f.create(coarse, CV_32FC1);
    const float inverseGamma = static_cast<float>(1.0 / gamma);
    cv::parallel_for_(cv::Range(0, coarse.height), [&](const cv::Range& range) {
        for (int y = range.start; y < range.end; ++y) {
            withVectorKernels([&]() NIGHTDEHAZE_LAMBDA_INLINE {
                factorsRow(planes[0].ptr<float>(y), planes[1].ptr<float>(y), planes[2].ptr<float>(y),
                           planes[3].ptr<float>(y), inverseGamma, coarse.width, factors[0].ptr<float>(y),
                           factors[1].ptr<float>(y), factors[2].ptr<float>(y));
            });
        }
    });
    return factors;
}

// Channel c of a row of the image divided by its factors and rounded to
// bytes (0 where a factor is 0), into channel c of out; value: a row of room.
NIGHTDEHAZE_KERNEL_INLINE void dividedChannelRow(const uchar* __restrict in, int c, const float* __restrict factor,
                                                 int n, float* __restrict value, uchar* __restrict out) {
    for (int x = 0; x < n; ++x) value[x] = in[3 * x + c];
    for (int x = 0; x < n; ++x) value[x] = factor[x] != 0.0f ? value[x] / factor[x] : 0.0f;
    roundToBytes(value, n);
    for (int x = 0; x < n; ++x) out[3 * x + c] = static_cast<uchar>(value[x]);
}

// Channel c of the corrected image: bgr8's divided by the refined factors.
void divideChannel(const CoarseGuide& guide, const ColorCoefficients& refined, const cv::Mat& bgr8, int c,
                   cv::Mat& corrected) {
    cv::parallel_for_(cv::Range(0, bgr8.rows), [&](const cv::Range& range) {
        std::vector<float> factor(bgr8.cols), value(bgr8.cols);
        ColorFilterRows factors = guide.rows(refined);
        for (int y = range.start; y < range.end; ++y) {
            factors.row(y, factor.data());
            withVectorKernels([&]() NIGHTDEHAZE_LAMBDA_INLINE {
                dividedChannelRow(bgr8.ptr<uchar>(y), c, factor.data(), bgr8.cols, value.data(), corrected.ptr<uchar>(y));
            });
        }
    });
}

}  // namespace

cv::Mat fastColorCorrected(const cv::Mat& bgr8, const DehazeContext& context, int r, double eps) {
    // Each filter holds its statistics only while it fits.
    const CoarseGuide guide(bgr8, kCoarseFactor);
    std::vector<cv::Mat> factors;
    {
        const CoarseGuide lightGuide(bgr8, kLightCoarseFactor);
        const FastColorFilter light(lightGuide, r, eps);
        factors = coarseFactors(smoothedLightOnGrid(bgr8, r, light, guide.coarse()), context.gamma);
    }
    // Each factor is refined and divides its channel in turn, so that one
    // refinement's coefficients are held at a time.
    cv::Mat corrected(bgr8.size(), CV_8UC3);
    const FastColorFilter refine(guide, context.refineRadius, eps);
    for (int c = 0; c < 3; ++c) {
        const ColorCoefficients refined = refine.fitCoarse(factors[c]);
        factors[c].release();
        divideChannel(guide, refined, bgr8, c, corrected);
    }
    return corrected;
}

cv::Mat fastDarkChannel(int h, const cv::Mat& bgr8) {
    cv::Mat darkest(bgr8.size(), CV_8UC1);
    cv::parallel_for_(cv::Range(0, bgr8.rows), [&](const cv::Range& range) {
        for (int y = range.start; y < range.end; ++y)
            withVectorKernels([&]() NIGHTDEHAZE_LAMBDA_INLINE {
                smallestChannelRow(bgr8.ptr<uchar>(y), bgr8.cols, darkest.ptr<uchar>(y));
            });
    });
    cv::Mat dark;
    windowMinimum(h, dark, darkest);
    return dark;
}

}  // namespace nightdehaze::detail
