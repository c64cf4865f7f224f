#pragma once
// Temporal smoothing of a contrast stretch's limits from frame to frame.
#include "core/stages/contrast_stretch_limits.hpp"

#include <optional>

namespace nightdehaze::detail {

// When a limit measures the same as on the frame before, a remaining gap
// between the smoothed and the measured limit that would move no output level
// of the stretch by more than this many steps (out of 255) is closed at once,
// so a scene that holds still lands exactly on its own limits.
constexpr double kSnapOutputSteps = 0.5;

// Exponential smoothing of one stretch's limits: each new frame moves every
// limit by the share alpha = 1 - exp(-1 / (fps * timeConstant)) of its gap to
// the frame's measured limit (timeConstant: the seconds over which the limits
// close 63 % of a change). A limit whose measured value equals the frame
// before's then snaps to it once the gap left moves the output by at most
// kSnapOutputSteps (gap * 255 / (high - low) of the measured limits); a limit
// that keeps changing, as sensor noise makes it, is only smoothed. The first
// frame takes its own limits. With frames whose measured limits no longer
// change, the limits become exactly those after finitely many frames and
// stay there. A frame that carries its time (seconds on the stream's clock)
// moves by 1 - exp(-dt / timeConstant) instead, dt the time since the frame
// before, so that frames left out of a live stream do not slow the smoothing.
class SteadyLimits {
public:
    SteadyLimits(double framesPerSecond, double timeConstantSeconds);

    // The limits to apply to a frame whose measured limits are measured;
    // seconds is the frame's time, or NaN for one nominal frame after the last.
    StretchLimits next(const StretchLimits& measured, double seconds);

private:
    double shareFor(double seconds) const;

    double alpha_;
    double timeConstant_;
    double previousSeconds_;
    std::optional<StretchLimits> smoothed_;
    StretchLimits previousMeasured_;
};

}  // namespace nightdehaze::detail
