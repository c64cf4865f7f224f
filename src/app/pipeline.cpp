#include "app/pipeline.hpp"

#include "filters/quotient_or_zero.hpp"
#include "stages/contrast_stretch.hpp"
#include "stages/light_compensation.hpp"

namespace {

constexpr int kStageRadius = 5;        // window radius of every stage
constexpr double kStageEps = 0.01;     // guided-filter regularisation, 0..1 scale

// Divides the image by the correction map; a zero factor yields 0 rather
// than an infinite value, and the quotient is rounded and saturated to 8 bits.
cv::Mat dividedByMap(const cv::Mat& image, const cv::Mat& map) {
    cv::Mat working;
    image.convertTo(working, CV_64F);
    working = quotientOrZero(working, map);
    working.convertTo(working, CV_8U);
    return working;
}

}  // namespace

PipelineResult runPipeline(const cv::Mat& bgr, const DehazeContext& context, std::ostream& progress) {
    cv::Mat working = bgr.clone();

    progress << "Current step: Light Compensation" << std::endl;
    lightCompensation(kStageRadius, working, working, kStageEps);
    contrastStretch(working, working);

    progress << "Current step: Color Correction" << std::endl;
    cv::Mat correctionMap;
    context.colorCorrection(kStageRadius, correctionMap, working, kStageEps);
    working = dividedByMap(working, correctionMap);
    correctionMap.release();
    contrastStretch(working, working);

    progress << "Current step: Dehazing" << std::endl;
    PipelineResult result;
    context.dehaze(kStageRadius, result.dehazed, result.airlight, result.transmission, working,
                   kStageEps);
    return result;
}
