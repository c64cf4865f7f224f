#include "app/dehaze_context.hpp"
#include "filters/elementwise_power.hpp"
#include "stages/dark_channel.hpp"
#include "stages/local_airlight.hpp"
#include "stages/smoothing_steps.hpp"
#include "stages/window_extrema.hpp"

#include <opencv2/core/utility.hpp>

#include <vector>

namespace {

constexpr double kUnitScale = 255.0;
constexpr int kDarkWindowExtra = 2;           // dark-channel windows are r + 2 wide
constexpr double kCubeRoot = 1.0 / 3.0;       // brightness lift of the light
constexpr double kChannels = 3.0;
constexpr double kDivisionGuard = 1e-7;       // keeps quotients finite where the light is 0
constexpr double kAirlightFloor = 51.0;       // 0.2 * 255: the light is never darker
constexpr double kHazeRemoval = 0.95;         // omega: leaves a trace of haze for depth
constexpr double kTransmissionFloor = 0.1;    // keeps the recovery stable in dense haze

// Maps the grey level of the light to its cube root, keeping channel ratios.
void liftAirlight(cv::Mat& a0, cv::Mat& a1, cv::Mat& a2) {
    cv::Mat grey = ((a0 + a1) + a2) / kChannels / kUnitScale;
    cv::Mat lift;
    elementwisePower(lift, grey, kCubeRoot);
    lift = lift / (grey + kDivisionGuard);
    for (cv::Mat* a : {&a0, &a1, &a2}) *a = cv::max(a->mul(lift), kAirlightFloor);
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
                                     (lightMax[c].ptr<double>(i)[j] + kDivisionGuard);
                    if (v < running) running = v;
                }
                out[j] = running;
            }
        }
    });
    return dark;
}

// One channel of the restored image, in 8 bits: (I - A) / max(t, 0.1) + A,
// clamped to 0..255, then rounded.
cv::Mat recoverPlane(const cv::Mat& plane8u, const cv::Mat& light, const cv::Mat& flooredT) {
    cv::Mat x;
    plane8u.convertTo(x, CV_64F);
    cv::Mat j = (x - light) / flooredT + light;
    j = cv::min(cv::max(j, 0.0), kUnitScale);
    j.convertTo(j, CV_8U);
    return j;
}

// Rounding is per element, so converting the planes one by one and merging
// them gives the same image as merging first, with a third of the memory.
cv::Mat merged8u(const std::vector<cv::Mat>& planes) {
    std::vector<cv::Mat> rounded(planes.size());
    for (size_t c = 0; c < planes.size(); ++c) planes[c].convertTo(rounded[c], CV_8U);
    cv::Mat image;
    cv::merge(rounded, image);
    return image;
}

}  // namespace

void DehazeContext::dehaze(int radius, cv::Mat& dehazed, cv::Mat& airlight, cv::Mat& transmission,
                           cv::Mat image, double eps) const {
    checkStageArguments("dehaze", *this, radius, image);
    cv::Mat guide = unitGuide(image);
    std::vector<cv::Mat> planes;
    cv::split(image, planes);

    cv::Mat a0, a1, a2;
    {
        cv::Mat dark, counts;
        darkChannel(radius + kDarkWindowExtra, dark, planes);
        localAirlight(radius, planes, dark, a0, a1, a2, counts);
        dark.release();
        smoothLightSums(*this, 2 * radius, {&a0, &a1, &a2}, counts, guide, eps);
    }
    liftAirlight(a0, a1, a2);

    cv::Mat t = 1 - kHazeRemoval * normalisedDarkChannel(radius + kDarkWindowExtra, planes,
                                                          {&a0, &a1, &a2});
    refineMaps(*this, {&t}, guide, eps);
    guide.release();
    t = cv::min(cv::max(t, 0.0), 1.0);

    const cv::Mat light = merged8u({a0, a1, a2});
    const cv::Mat flooredT = cv::max(t, kTransmissionFloor);
    std::vector<cv::Mat> recovered{recoverPlane(planes.at(0), a0, flooredT),
                                   recoverPlane(planes.at(1), a1, flooredT),
                                   recoverPlane(planes.at(2), a2, flooredT)};
    cv::merge(recovered, dehazed);
    airlight = light;
    transmission = t;
}
