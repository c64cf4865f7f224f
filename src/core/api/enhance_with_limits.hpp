#pragma once
// enhance with the limits of its two contrast stretches chosen by the caller:
// the hook of the video path, which smooths them from frame to frame.
#include "nightdehaze/nightdehaze.hpp"
#include "core/stages/contrast_stretch_limits.hpp"

namespace nightdehaze::detail {

// The boundary checks of enhance and VideoEnhancer: std::invalid_argument,
// its message starting with caller, unless the picture (called noun: "image",
// "frame") is a non-empty CV_8UC3, or unless gamma is finite and above 0.
void checkPicture(const char* caller, const char* noun, const cv::Mat& bgr8);
void checkGamma(const char* caller, double gamma);

// The two contrast stretches of one enhance call.
enum class Stretch { afterLightCompensation = 0, afterColorCorrection = 1 };
constexpr int kStretchCount = 2;

// Chooses the limits a stretch applies, given those it measured on its input.
// Called on the thread that called enhance, once per stretch, in order.
class StretchLimitChooser {
public:
    virtual ~StretchLimitChooser() = default;
    virtual StretchLimits choose(Stretch stretch, const StretchLimits& measured) = 0;
};

// enhance (same checks, stages, reports and result) with each stretch applying
// the limits chooser returns; a chooser returning what it is given makes this
// enhance itself. bgr8's reference goes once light compensation has read it
// (at the end with context.clean), so a picture no one else holds is freed.
cv::Mat enhanceChoosingLimits(cv::Mat bgr8, const DehazeContext& context, HazeMaps* maps,
                              ProgressMonitor& monitor, StretchLimitChooser& chooser);

}  // namespace nightdehaze::detail
