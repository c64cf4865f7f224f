#include "nightdehaze/nightdehaze.hpp"
#include "core/runtime/elementwise_in_chunks.hpp"
#include "core/exact/exact_arithmetic.hpp"
#include "core/runtime/run_report.hpp"
#include "core/stages/airlight_grid.hpp"
#include "core/stages/local_airlight.hpp"
#include "core/stages/pixel_formulas.hpp"
#include "core/stages/smoothing_steps.hpp"
#include "core/stages/stage_constants.hpp"

#include <opencv2/imgproc.hpp>

#include <vector>

namespace nightdehaze {

using namespace detail;

namespace {

cv::Mat valuePlane(const cv::Mat& image) {
    cv::Mat hsv;
    cv::cvtColor(image, hsv, cv::COLOR_BGR2HSV, 0);
    return splitInChunks(hsv).at(2);
}

// The local brightness floored, and the mean over the channels of the light
// relative to it.
void relativeMeanLight(cv::Mat* const light[3], const cv::Mat& brightness,
                       cv::Mat& flooredBrightness, cv::Mat& meanLight) {
    flooredBrightness.create(brightness.size(), CV_64FC1);
    meanLight.create(brightness.size(), CV_64FC1);
    forEachChunk(brightness.total(), [&](const Chunk& c) {
        const double* b = chunkData<double>(brightness, c);
        const double* a[3];
        for (int k = 0; k < 3; ++k) a[k] = chunkData<double>(*light[k], c);
        double* floored = chunkData<double>(flooredBrightness, c);
        double* mean = chunkData<double>(meanLight, c);
        for (int x = 0; x < c.length(); ++x) {
            floored[x] = formulas::flooredBrightness(b[x]);
            mean[x] = formulas::relativeMeanLight(a[0][x], a[1][x], a[2][x], floored[x]);
        }
    });
}

// Turns the three light planes into the correction factors before their
// refinement, in place: the light's channel relative to the local brightness,
// times the gain that maps the mean level Z to Z^(1/gamma), plus the offset,
// capped at the ceiling.
void turnLightIntoFactors(cv::Mat* const light[3], const cv::Mat& brightness, double gamma) {
    cv::Mat flooredBrightness, meanLight;
    relativeMeanLight(light, brightness, flooredBrightness, meanLight);
    cv::Mat gain;
    elementwisePower(gain, meanLight, 1.0 / gamma);
    forEachChunk(gain.total(), [&](const Chunk& c) {
        double* g = chunkData<double>(gain, c);
        const double* z = chunkData<double>(meanLight, c);
        const double* floored = chunkData<double>(flooredBrightness, c);
        double* factor[3];
        for (int k = 0; k < 3; ++k) factor[k] = chunkData<double>(*light[k], c);
        for (int x = 0; x < c.length(); ++x) {
            g[x] = formulas::levelGain(g[x], z[x]);
            for (int k = 0; k < 3; ++k) factor[k][x] = formulas::correctionFactor(factor[k][x], g[x], floored[x]);
        }
    });
}

}  // namespace

void StageParameters::colorCorrection(int radius, cv::Mat& correctionMap, cv::Mat image,
                                    double eps) const {
    checkStageArguments("colorCorrection", *this, radius, image);
    std::vector<cv::Mat> factors(3);
    {
        beginStep(0.1);
        const std::vector<cv::Mat> planes = splitInChunks(image);
        cv::Mat dark;
        darkChannel(radius + kDarkWindowExtra, dark, planes);
        const WindowCoverage counts =
            localAirlightSums(radius, planes, dark, factors[0], factors[1], factors[2]);
        dark.release();
        const AirlightGrid grid = makeAirlightGrid(radius, image.size());
        cv::Mat brightness = cv::Mat::zeros(image.size(), CV_64F);
        accumulateOverWindows(grid, windowMaxima(grid, valuePlane(image)), brightness);

        beginStep(0.6);
        smoothLightSums(*this, radius, {&factors[0], &factors[1], &factors[2], &brightness},
                        counts, image, eps);
        cv::Mat* light[3] = {&factors[0], &factors[1], &factors[2]};
        turnLightIntoFactors(light, brightness, gamma);
    }
    beginStep(1.0);
    refineMaps(*this, {&factors[0], &factors[1], &factors[2]}, image, eps);
    correctionMap = mergeInChunks(factors);
}

}  // namespace nightdehaze
