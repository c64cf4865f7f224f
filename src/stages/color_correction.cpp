#include "app/dehaze_context.hpp"
#include "filters/elementwise_power.hpp"
#include "stages/dark_channel.hpp"
#include "stages/local_airlight.hpp"
#include "stages/smoothing_steps.hpp"

#include <opencv2/imgproc.hpp>

#include <vector>

namespace {

constexpr int kDarkWindowExtra = 2;         // dark-channel windows are r + 2 wide
constexpr double kBrightnessFloor = 25.5;   // 0.1 * 255: dim neighbourhoods count as this bright
constexpr double kThird = 1.0 / 3.0;
constexpr double kGainGuard = 1e-7;         // keeps the gain finite where the light is 0
constexpr double kFactorOffset = 0.1;       // no channel is raised more than about tenfold
constexpr double kFactorCeiling = 1.0;      // no channel is darkened

cv::Mat valuePlane(const cv::Mat& image) {
    cv::Mat hsv;
    cv::cvtColor(image, hsv, cv::COLOR_BGR2HSV, 0);
    std::vector<cv::Mat> planes;
    cv::split(hsv, planes);
    return planes.at(2).clone();
}

}  // namespace

void DehazeContext::colorCorrection(int radius, cv::Mat& correctionMap, cv::Mat image,
                                    double eps) const {
    checkStageArguments("colorCorrection", *this, radius, image);
    const cv::Mat guide = unitGuide(image);
    const cv::Mat value = valuePlane(image);
    std::vector<cv::Mat> planes;
    cv::split(image, planes);

    cv::Mat dark;
    darkChannel(radius + kDarkWindowExtra, dark, planes);
    cv::Mat a0, a1, a2, counts;
    localAirlight(radius, planes, dark, a0, a1, a2, counts);
    dark.release();
    const AirlightGrid grid = makeAirlightGrid(radius, image.size());
    cv::Mat brightness = cv::Mat::zeros(image.size(), CV_64F);
    accumulateOverWindows(grid, windowMaxima(grid, value), brightness);

    smoothLightSums(*this, radius, {&a0, &a1, &a2, &brightness}, counts, guide, eps);
    counts.release();

    const cv::Mat flooredBrightness = cv::max(brightness, kBrightnessFloor);
    cv::Mat meanLight = cv::Mat::zeros(image.size(), CV_64F);
    for (const cv::Mat* a : {&a0, &a1, &a2}) meanLight += *a / flooredBrightness;
    meanLight.convertTo(meanLight, -1, kThird, 0);

    cv::Mat gain;
    elementwisePower(gain, meanLight, 1.0 / gamma);
    gain = gain / (meanLight + kGainGuard);

    std::vector<cv::Mat> factors;
    for (const cv::Mat* a : {&a0, &a1, &a2}) {
        cv::Mat e = (a->mul(gain)) / flooredBrightness;
        factors.push_back(cv::min(e + kFactorOffset, kFactorCeiling));
    }
    refineMaps(*this, {&factors[0], &factors[1], &factors[2]}, guide, eps);
    cv::merge(factors, correctionMap);
}
