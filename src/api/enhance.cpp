#include "nightdehaze/nightdehaze.hpp"

#include "filters/quotient_or_zero.hpp"
#include "util/elementwise_in_chunks.hpp"

#include <cmath>
#include <ostream>
#include <stdexcept>
#include <string>

namespace nightdehaze {

using namespace detail;

namespace {

constexpr int kStageRadius = 5;        // window radius of every stage
constexpr double kStageEps = 0.01;     // guided-filter regularisation, 0..1 scale

void checkEnhanceArguments(const cv::Mat& bgr8, const DehazeContext& context) {
    if (bgr8.empty())
        throw std::invalid_argument("enhance: the image is empty");
    if (bgr8.type() != CV_8UC3)
        throw std::invalid_argument("enhance: expected an 8-bit three-channel image (CV_8UC3), got " +
                                    std::to_string(bgr8.channels()) + " channel(s) of depth " +
                                    std::to_string(bgr8.depth()));
    if (!std::isfinite(context.gamma) || !(context.gamma > 0.0))
        throw std::invalid_argument("enhance: gamma must be a finite number greater than 0, not " +
                                    std::to_string(context.gamma));
}

void announce(std::ostream* progress, const char* stage) {
    if (progress) *progress << "Current step: " << stage << std::endl;
}

// Divides the image by the correction map; a zero factor yields 0 rather
// than an infinite value, and the quotient is rounded and saturated to 8 bits.
cv::Mat dividedByMap(const cv::Mat& image, const cv::Mat& map) {
    return convertedInChunks(quotientOrZero(convertedInChunks(image, CV_64F), map), CV_8U);
}

}  // namespace

cv::Mat enhance(const cv::Mat& bgr8, const DehazeContext& context, HazeMaps* maps,
                std::ostream* progress) {
    checkEnhanceArguments(bgr8, context);
    cv::Mat working = bgr8.clone();

    announce(progress, "Light Compensation");
    lightCompensation(kStageRadius, working, working, kStageEps);
    contrastStretch(working, working);

    announce(progress, "Color Correction");
    cv::Mat correctionMap;
    context.colorCorrection(kStageRadius, correctionMap, working, kStageEps);
    working = dividedByMap(working, correctionMap);
    correctionMap.release();
    contrastStretch(working, working);

    announce(progress, "Dehazing");
    cv::Mat dehazed;
    HazeMaps discarded;
    HazeMaps& out = maps ? *maps : discarded;
    out = HazeMaps();  // fresh matrices: the caller's old ones may share pixels with bgr8
    context.dehaze(kStageRadius, dehazed, out.airlight, out.transmission, working, kStageEps);
    return dehazed;
}

}  // namespace nightdehaze
