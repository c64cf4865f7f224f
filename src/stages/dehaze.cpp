#include "nightdehaze/nightdehaze.hpp"
#include "util/elementwise_in_chunks.hpp"
#include "util/run_report.hpp"
#include "stages/local_airlight.hpp"
#include "stages/smoothing_steps.hpp"
#include "stages/stage_constants.hpp"
#include "stages/unit_scale.hpp"
#include "filters/window_extrema.hpp"

#include <opencv2/core/utility.hpp>

#include <vector>

namespace nightdehaze {

using namespace detail;

namespace {

constexpr double kCubeRoot = 1.0 / 3.0;       // brightness lift of the light
constexpr double kChannels = 3.0;
constexpr double kAirlightFloor = 51.0;       // 0.2 * 255: the light is never darker
constexpr double kHazeRemoval = 0.95;         // omega: leaves a trace of haze for depth
constexpr double kTransmissionFloor = 0.1;    // keeps the recovery stable in dense haze

// Maps the grey level of the light to its cube root, keeping channel ratios;
// the light planes are rewritten in place.
void liftAirlight(cv::Mat& a0, cv::Mat& a1, cv::Mat& a2) {
    cv::Mat grey(a0.size(), CV_64FC1);
    evaluateInChunks(grey, [&](const Chunk& c) {
        return ((elementsOf(a0, c) + elementsOf(a1, c)) + elementsOf(a2, c)) / kChannels /
               kUnitScale;
    });
    cv::Mat lift;
    elementwisePower(lift, grey, kCubeRoot);
    forEachChunk(lift.total(), [&](const Chunk& c) {
        const cv::Mat l = elementsOf(lift, c);
        assignInto(l, l / (elementsOf(grey, c) + kLightGuard));
        for (cv::Mat* a : {&a0, &a1, &a2}) {
            const cv::Mat light = elementsOf(*a, c);
            assignInto(light, cv::max(light.mul(l), kAirlightFloor));
        }
    });
}

// Dark channel of the image normalised by the local light: at every pixel the
// smallest, over the channels, of the window minimum of the plane divided by
// the window maximum of the light (plus the guard). Dividing by a positive
// number is monotonic, so the window minimum of the quotients equals the
// quotient of the window minimum.
cv::Mat normalisedDarkChannel(int h, const std::vector<cv::Mat>& planes,
                              const std::vector<cv::Mat*>& light) {
    std::vector<cv::Mat> planeMin(3), lightMax(3);
    for (int c = 0; c < 3; ++c) {
        windowMinimum(h, planeMin[c], planes.at(c));
        windowMaximum(h, lightMax[c], *light[c]);
    }
    cv::Mat dark(planes.at(0).size(), CV_64F);
    cv::parallel_for_(cv::Range(0, dark.rows), [&](const cv::Range& range) {
        for (int i = range.start; i < range.end; ++i) {
            double* out = dark.ptr<double>(i);
            for (int j = 0; j < dark.cols; ++j) {
                double running = kUnitScale;
                for (int c = 0; c < 3; ++c) {
                    const double v = planeMin[c].ptr<uchar>(i)[j] /
                                     (lightMax[c].ptr<double>(i)[j] + kLightGuard);
                    if (v < running) running = v;
                }
                out[j] = running;
            }
        }
    });
    return dark;
}

// The transmission estimate 1 - omega * dark.
cv::Mat transmissionOf(const cv::Mat& dark) {
    cv::Mat t(dark.size(), CV_64FC1);
    evaluateInChunks(t, [&](const Chunk& c) { return 1 - kHazeRemoval * elementsOf(dark, c); });
    return t;
}

// Clamps the refined transmission to 0..1 in place and returns it floored
// for the recovery.
cv::Mat clampTransmission(cv::Mat& t) {
    cv::Mat floored(t.size(), CV_64FC1);
    forEachChunk(t.total(), [&](const Chunk& c) {
        const cv::Mat chunk = elementsOf(t, c);
        assignInto(chunk, cv::min(cv::max(chunk, 0.0), 1.0));
        assignInto(elementsOf(floored, c), cv::max(chunk, kTransmissionFloor));
    });
    return floored;
}

// One chunk of one channel of the restored image, in 8 bits:
// (I - A) / max(t, 0.1) + A, clamped to 0..255, then rounded.
cv::Mat recoveredChunk(const cv::Mat& plane8u, const cv::Mat& light, const cv::Mat& flooredT) {
    cv::Mat x;
    plane8u.convertTo(x, CV_64F);
    cv::Mat j = (x - light) / flooredT + light;
    j = cv::min(cv::max(j, 0.0), kUnitScale);
    j.convertTo(j, CV_8U);
    return j;
}

// The restored image: its channels recovered chunk by chunk, merged.
cv::Mat recoveredImage(const std::vector<cv::Mat>& planes, const std::vector<cv::Mat*>& light,
                       const cv::Mat& flooredT) {
    return mergedInChunks(flooredT.size(), CV_8UC3, [&](int k, const Chunk& c) {
        return recoveredChunk(elementsOf(planes.at(k), c), elementsOf(*light[k], c),
                              elementsOf(flooredT, c));
    });
}

// The light planes rounded to 8 bits and merged. Rounding is per element, so
// this is the merged image rounded.
cv::Mat merged8u(const std::vector<cv::Mat*>& planes) {
    return mergedInChunks(planes[0]->size(), CV_8UC3, [&](int k, const Chunk& c) {
        cv::Mat rounded;
        elementsOf(*planes[k], c).convertTo(rounded, CV_8U);
        return rounded;
    });
}

}  // namespace

void DehazeContext::dehaze(int radius, cv::Mat& dehazed, cv::Mat& airlight, cv::Mat& transmission,
                           cv::Mat image, double eps) const {
    checkStageArguments("dehaze", *this, radius, image);
    cv::Mat guide = unitScaled(image);
    const std::vector<cv::Mat> planes = splitInChunks(image);

    cv::Mat a0, a1, a2;
    {
        beginStep(0.1);
        cv::Mat dark, counts;
        darkChannel(radius + kDarkWindowExtra, dark, planes);
        localAirlight(radius, planes, dark, a0, a1, a2, counts);
        dark.release();
        beginStep(0.45);
        smoothLightSums(*this, 2 * radius, {&a0, &a1, &a2}, counts, guide, eps);
    }
    liftAirlight(a0, a1, a2);

    const std::vector<cv::Mat*> light{&a0, &a1, &a2};
    cv::Mat t = transmissionOf(normalisedDarkChannel(radius + kDarkWindowExtra, planes, light));
    beginStep(0.95);
    refineMaps(*this, {&t}, guide, eps);
    beginStep(1.0);
    guide.release();
    const cv::Mat flooredT = clampTransmission(t);

    const cv::Mat light8u = merged8u(light);
    dehazed = recoveredImage(planes, light, flooredT);
    airlight = light8u;
    transmission = t;
}

}  // namespace nightdehaze
