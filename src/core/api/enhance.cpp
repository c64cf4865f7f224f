#include "core/api/enhance_with_limits.hpp"

#include "core/fast/fast_contrast_stretch.hpp"
#include "core/fast/fast_stages.hpp"
#include "core/stages/bytes_divided_by_map.hpp"
#include "core/stages/clean_steps.hpp"
#include "core/memory/buffer_reuse.hpp"
#include "core/runtime/run_report.hpp"

#include <cmath>
#include <ostream>
#include <stdexcept>
#include <string>

namespace nightdehaze {

using namespace detail;

namespace {

constexpr int kStageRadius = 5;        // window radius of every stage
constexpr double kStageEps = 0.01;     // guided-filter regularisation, 0..1 scale

// Shares of the whole call at which each stage ends, from the stages' times
// on one thread: the non-local filter makes the last two stages far longer.
struct StageEnds {
    double lightCompensation, colorCorrection;
};
constexpr StageEnds kGuidedStageEnds{0.12, 0.62};
constexpr StageEnds kNonLocalStageEnds{0.02, 0.52};
constexpr StageEnds kFastStageEnds{0.3, 0.65};

// Writes the tool's line as each stage begins.
class StageLines : public ProgressMonitor {
public:
    explicit StageLines(std::ostream* out) : out_(out) {}
    void stageBegins(const char* stage) override {
        if (out_) writeStageLine(*out_, stage);
    }

private:
    std::ostream* out_;
};

// Stretches with the limits measured on the image itself.
class MeasuredLimits : public StretchLimitChooser {
public:
    StretchLimits choose(Stretch, const StretchLimits& measured) override { return measured; }
};

void stretchWithChosenLimits(cv::Mat& working, Stretch stretch, StretchLimitChooser& chooser, bool fast) {
    if (fast)
        fastApplyStretchLimits(working, working, chooser.choose(stretch, fastMeasureStretchLimits(working)));
    else
        applyStretchLimits(working, working, chooser.choose(stretch, measureStretchLimits(working)));
}

StageEnds stageEnds(const DehazeContext& context) {
    if (context.fast) return kFastStageEnds;
    return context.useNonLocalFilter ? kNonLocalStageEnds : kGuidedStageEnds;
}

// Light compensation, then colour correction (the image divided by the
// correction map), each by the engine the context picks.
void compensateLight(cv::Mat& working, const DehazeContext& context) {
    if (context.fast)
        working = fastLightCompensation(working, kStageRadius, kStageEps);
    else
        lightCompensation(kStageRadius, working, working, kStageEps);
}

void correctColour(cv::Mat& working, const DehazeContext& context) {
    if (context.fast) {
        working = fastColorCorrected(working, context, kStageRadius, kStageEps);
        return;
    }
    cv::Mat correctionMap;
    context.colorCorrection(kStageRadius, correctionMap, working, kStageEps);
    working = bytesDividedByMap(working, correctionMap);
}

}  // namespace

namespace detail {

void checkPicture(const char* caller, const char* noun, const cv::Mat& bgr8) {
    if (bgr8.empty()) throw std::invalid_argument(std::string(caller) + ": the " + noun + " is empty");
    if (bgr8.type() != CV_8UC3)
        throw std::invalid_argument(std::string(caller) + ": expected an 8-bit three-channel " + noun +
                                    " (CV_8UC3), got " + std::to_string(bgr8.channels()) +
                                    " channel(s) of depth " + std::to_string(bgr8.depth()));
}

void checkGamma(const char* caller, double gamma) {
    if (!std::isfinite(gamma) || !(gamma > 0.0))
        throw std::invalid_argument(std::string(caller) + ": gamma must be a finite number greater than 0, not " +
                                    std::to_string(gamma));
}

void checkEngine(const char* caller, const DehazeContext& context) {
    if (context.fast && context.useNonLocalFilter)
        throw std::invalid_argument(std::string(caller) +
                                    ": the fast engine has no non-local filter; choose fast or the non-local filter");
}

cv::Mat enhanceChoosingLimits(cv::Mat bgr8, const DehazeContext& context, HazeMaps* maps,
                              ProgressMonitor& monitor, StretchLimitChooser& chooser) {
    checkPicture("enhance", "image", bgr8);
    checkGamma("enhance", context.gamma);
    checkEngine("enhance", context);
    const BufferReuseDuringCall reuse;
    RunReport run(monitor);
    const StageEnds ends = stageEnds(context);
    CleanInput cleaned;
    if (context.clean) cleaned = cleanInput(bgr8, context.fast);
    cv::Mat input = context.clean ? cleaned.picture : bgr8;
    bgr8.release();
    cv::Mat working = input.clone();

    run.beginStage("Light Compensation", ends.lightCompensation);
    compensateLight(working, context);
    if (!context.clean) input.release();  // only noise suppression reads it again
    stretchWithChosenLimits(working, Stretch::afterLightCompensation, chooser, context.fast);
    throwIfStopRequested(&run);

    run.beginStage("Color Correction", ends.colorCorrection);
    correctColour(working, context);
    stretchWithChosenLimits(working, Stretch::afterColorCorrection, chooser, context.fast);
    throwIfStopRequested(&run);

    run.beginStage("Dehazing", 1.0);
    cv::Mat dehazed;
    HazeMaps discarded;
    HazeMaps& out = maps ? *maps : discarded;
    out = HazeMaps();  // fresh matrices: the caller's old ones may share pixels with bgr8
    if (context.fast)
        dehazed = fastDehaze(working, context, kStageRadius, kStageEps, maps ? &out : nullptr);
    else
        context.dehaze(kStageRadius, dehazed, out.airlight, out.transmission, working, kStageEps);
    if (context.clean) dehazed = cleanResult(cleaned, dehazed, context.fast);
    run.finish();
    return dehazed;
}

}  // namespace detail

cv::Mat enhance(const cv::Mat& bgr8, const DehazeContext& context, HazeMaps* maps,
                ProgressMonitor& monitor) {
    MeasuredLimits measured;
    return enhanceChoosingLimits(bgr8, context, maps, monitor, measured);
}

cv::Mat enhance(cv::Mat&& bgr8, const DehazeContext& context, HazeMaps* maps, ProgressMonitor& monitor) {
    MeasuredLimits measured;
    return enhanceChoosingLimits(std::move(bgr8), context, maps, monitor, measured);
}

cv::Mat enhance(const cv::Mat& bgr8, const DehazeContext& context, HazeMaps* maps,
                std::ostream* progress) {
    StageLines lines(progress);
    return enhance(bgr8, context, maps, lines);
}

}  // namespace nightdehaze
