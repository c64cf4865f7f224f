#include "core/api/enhance_with_limits.hpp"

#include "core/api/engine.hpp"
#include "core/stages/clean_steps.hpp"
#include "core/memory/buffer_reuse.hpp"
#include "core/runtime/run_report.hpp"

#include <ostream>
#include <stdexcept>
#include <string>

namespace nightdehaze {

using namespace detail;

namespace {

constexpr int kStageRadius = 5;        // window radius of every stage
constexpr double kStageEps = 0.01;     // guided-filter regularisation, 0..1 scale

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

void stretchWithChosenLimits(const Engine& engine, cv::Mat& working, Stretch stretch, StretchLimitChooser& chooser) {
    engine.applyStretch(working, chooser.choose(stretch, engine.measureStretch(working)));
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
    if (!kGammaRange.holds(gamma))
        throw std::invalid_argument(std::string(caller) + ": " + outOfRangeMessage("gamma", kGammaRange, gamma));
}

cv::Mat enhanceChoosingLimits(cv::Mat bgr8, const DehazeContext& context, HazeMaps* maps,
                              ProgressMonitor& monitor, StretchLimitChooser& chooser) {
    checkPicture("enhance", "image", bgr8);
    checkGamma("enhance", context.gamma);
    const std::unique_ptr<const Engine> engine = engineFor("enhance", context, kStageRadius, kStageEps);
    const BufferReuseDuringCall reuse;
    RunReport run(monitor);
    const StageEnds ends = engine->stageEnds();
    CleanInput cleaned;
    if (context.clean) cleaned = cleanInput(bgr8, context.fast);
    cv::Mat input = context.clean ? cleaned.picture : bgr8;
    bgr8.release();

    run.beginStage("Light Compensation", ends.lightCompensation);
    cv::Mat working = engine->compensateLight(input);
    if (!context.clean) input.release();  // only noise suppression reads it again
    stretchWithChosenLimits(*engine, working, Stretch::afterLightCompensation, chooser);
    throwIfStopRequested(&run);

    run.beginStage("Color Correction", ends.colorCorrection);
    working = engine->correctColour(working);
    stretchWithChosenLimits(*engine, working, Stretch::afterColorCorrection, chooser);
    throwIfStopRequested(&run);

    run.beginStage("Dehazing", 1.0);
    HazeMaps discarded;
    HazeMaps& out = maps ? *maps : discarded;
    out = HazeMaps();  // fresh matrices: the caller's old ones may share pixels with bgr8
    cv::Mat dehazed = engine->dehaze(working, maps ? &out : nullptr);
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
