#pragma once
// The engine of one enhance call, chosen once from its context: the exact
// stages or the fast ones, behind one interface, so that enhance runs the
// same pipeline whichever computes it.
#include "nightdehaze/nightdehaze.hpp"
#include "core/stages/contrast_stretch_limits.hpp"

#include <memory>

namespace nightdehaze::detail {

// The shares of the whole call (0..1) at which the first two stages end,
// from their times on one thread; dehazing ends at 1.
struct StageEnds {
    double lightCompensation, colorCorrection;
};

// The stages of enhance, at the window radius and regularisation it fixes.
// Every image is a non-empty CV_8UC3 and every result a new matrix of its
// size; the engine only reads itself, so one engine may serve several
// threads.
class Engine {
public:
    virtual ~Engine() = default;

    virtual StageEnds stageEnds() const = 0;

    // Light compensation (lightCompensation): a new CV_8UC3 image.
    virtual cv::Mat compensateLight(const cv::Mat& bgr8) const = 0;

    // The limits the contrast stretch measures on the image, and the image
    // stretched to given limits in place.
    virtual StretchLimits measureStretch(const cv::Mat& bgr8) const = 0;
    virtual void applyStretch(cv::Mat& bgr8, const StretchLimits& limits) const = 0;

    // Colour correction: the image divided by its correction map, a zero
    // factor giving 0, rounded to a new CV_8UC3 image.
    virtual cv::Mat correctColour(const cv::Mat& bgr8) const = 0;

    // Dehazing: the dehazed CV_8UC3 image and, when maps is given, the
    // airlight and transmission in new matrices.
    virtual cv::Mat dehaze(const cv::Mat& bgr8, HazeMaps* maps) const = 0;
};

// The stages at radius r with regularisation eps (0..1 scale) as the exact
// engine computes them, with parameters.
std::unique_ptr<const Engine> makeExactEngine(const StageParameters& parameters, int r, double eps);

// The same stages as the fast engine computes them.
std::unique_ptr<const Engine> makeFastEngine(const DehazeContext& context, int r, double eps);

// std::invalid_argument, its message starting with caller, unless the
// context's engine can run its filter: the fast engine has no non-local one.
void checkEngine(const char* caller, const DehazeContext& context);

// The engine context.fast names, after checkEngine.
std::unique_ptr<const Engine> engineFor(const char* caller, const DehazeContext& context, int r, double eps);

}  // namespace nightdehaze::detail
