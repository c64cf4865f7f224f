#include "nightdehaze/nightdehaze.hpp"
#include "core/runtime/elementwise_in_chunks.hpp"
#include "core/exact/exact_arithmetic.hpp"
#include "core/runtime/run_report.hpp"
#include "core/stages/local_airlight.hpp"
#include "core/stages/pixel_formulas.hpp"
#include "core/stages/smoothing_steps.hpp"
#include "core/stages/stage_constants.hpp"
#include "core/filters/window_extrema.hpp"

#include <opencv2/core/utility.hpp>

#include <vector>

namespace nightdehaze {

using namespace detail;

namespace {

constexpr double kCubeRoot = 1.0 / 3.0;       // brightness lift of the light

// Maps the grey level of the light to its cube root, keeping channel ratios;
// the light planes are rewritten in place.
void liftAirlight(cv::Mat& a0, cv::Mat& a1, cv::Mat& a2) {
    cv::Mat grey(a0.size(), CV_64FC1);
    forEachChunk(grey.total(), [&](const Chunk& c) {
        const double* l0 = chunkData<double>(a0, c);
        const double* l1 = chunkData<double>(a1, c);
        const double* l2 = chunkData<double>(a2, c);
        double* out = chunkData<double>(grey, c);
        for (int x = 0; x < c.length(); ++x) out[x] = formulas::lightGrey(l0[x], l1[x], l2[x]);
    });
    cv::Mat lift;
    elementwisePower(lift, grey, kCubeRoot);
    forEachChunk(lift.total(), [&](const Chunk& c) {
        double* l = chunkData<double>(lift, c);
        const double* g = chunkData<double>(grey, c);
        double* light[3] = {chunkData<double>(a0, c), chunkData<double>(a1, c),
                            chunkData<double>(a2, c)};
        for (int x = 0; x < c.length(); ++x) {
            l[x] = formulas::levelGain(l[x], g[x]);
            for (double* a : light) a[x] = formulas::liftedLight(a[x], l[x]);
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
                    const double v = formulas::normalisedDark<double>(planeMin[c].ptr<uchar>(i)[j],
                                                                      lightMax[c].ptr<double>(i)[j]);
                    if (v < running) running = v;
                }
                out[j] = running;
            }
        }
    });
    return dark;
}

// The transmission estimate of every pixel from the normalised dark channel.
cv::Mat transmissionOf(const cv::Mat& dark) {
    cv::Mat t(dark.size(), CV_64FC1);
    forEachChunk(t.total(), [&](const Chunk& c) {
        const double* d = chunkData<double>(dark, c);
        double* out = chunkData<double>(t, c);
        for (int x = 0; x < c.length(); ++x) out[x] = formulas::transmissionEstimate(d[x]);
    });
    return t;
}

// Clamps the refined transmission to 0..1 in place and returns it floored
// for the recovery.
cv::Mat clampTransmission(cv::Mat& t) {
    cv::Mat floored(t.size(), CV_64FC1);
    forEachChunk(t.total(), [&](const Chunk& c) {
        double* v = chunkData<double>(t, c);
        double* out = chunkData<double>(floored, c);
        for (int x = 0; x < c.length(); ++x) {
            v[x] = formulas::clampedTransmission(v[x]);
            out[x] = formulas::flooredTransmission(v[x]);
        }
    });
    return floored;
}

// The restored image in 8 bits: each channel recovered, then rounded.
cv::Mat recoveredImage(const std::vector<cv::Mat>& planes, const std::vector<cv::Mat*>& light,
                       const cv::Mat& flooredT) {
    cv::Mat image(flooredT.size(), CV_8UC3);
    forEachChunk(image.total(), [&](const Chunk& c) {
        const double* t = chunkData<double>(flooredT, c);
        uchar* out = image.ptr<uchar>() + 3 * c.start;
        for (int k = 0; k < 3; ++k) {
            const uchar* in = chunkData<const uchar>(planes.at(k), c);
            const double* a = chunkData<double>(*light[k], c);
            for (int x = 0; x < c.length(); ++x) {
                out[3 * x + k] = roundToByte(formulas::recoveredChannel<double>(in[x], a[x], t[x]));
            }
        }
    });
    return image;
}

// The light planes rounded to 8 bits and merged.
cv::Mat merged8u(const std::vector<cv::Mat*>& planes) {
    cv::Mat image(planes[0]->size(), CV_8UC3);
    forEachChunk(image.total(), [&](const Chunk& c) {
        uchar* out = image.ptr<uchar>() + 3 * c.start;
        for (int k = 0; k < 3; ++k) {
            const double* a = chunkData<double>(*planes[k], c);
            for (int x = 0; x < c.length(); ++x) out[3 * x + k] = roundToByte(a[x]);
        }
    });
    return image;
}

}  // namespace

void StageParameters::dehaze(int radius, cv::Mat& dehazed, cv::Mat& airlight, cv::Mat& transmission,
                           cv::Mat image, double eps) const {
    checkStageArguments("dehaze", *this, radius, image);
    const std::vector<cv::Mat> planes = splitInChunks(image);

    cv::Mat a0, a1, a2;
    {
        beginStep(0.1);
        cv::Mat dark;
        darkChannel(radius + kDarkWindowExtra, dark, planes);
        const WindowCoverage counts = localAirlightSums(radius, planes, dark, a0, a1, a2);
        dark.release();
        beginStep(0.45);
        smoothLightSums(*this, 2 * radius, {&a0, &a1, &a2}, counts, image, eps);
    }
    liftAirlight(a0, a1, a2);

    const std::vector<cv::Mat*> light{&a0, &a1, &a2};
    cv::Mat t = transmissionOf(normalisedDarkChannel(radius + kDarkWindowExtra, planes, light));
    beginStep(0.95);
    refineMaps(*this, {&t}, image, eps);
    beginStep(1.0);
    const cv::Mat flooredT = clampTransmission(t);

    const cv::Mat light8u = merged8u(light);
    dehazed = recoveredImage(planes, light, flooredT);
    airlight = light8u;
    transmission = t;
}

}  // namespace nightdehaze
