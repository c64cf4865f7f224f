#include "core/api/steady_limits.hpp"

#include <cmath>
#include <limits>

namespace nightdehaze::detail {

namespace {

constexpr double kOutputScale = 255.0;

double stepToward(double smoothed, double measured, bool stable, double alpha, double stepsPerLevel) {
    const double moved = smoothed + alpha * (measured - smoothed);
    return stable && std::abs(measured - moved) * stepsPerLevel <= kSnapOutputSteps ? measured : moved;
}

}  // namespace

SteadyLimits::SteadyLimits(double framesPerSecond, double timeConstantSeconds)
    : alpha_(-std::expm1(-1.0 / (framesPerSecond * timeConstantSeconds))),
      timeConstant_(timeConstantSeconds),
      previousSeconds_(std::numeric_limits<double>::quiet_NaN()) {}

double SteadyLimits::shareFor(double seconds) const {
    // NaN on either side fails the comparison: a frame without a time is one nominal frame on.
    if (!(seconds > previousSeconds_)) return alpha_;
    return -std::expm1(-(seconds - previousSeconds_) / timeConstant_);
}

StretchLimits SteadyLimits::next(const StretchLimits& measured, double seconds) {
    const double alpha = shareFor(seconds);
    previousSeconds_ = seconds;
    if (!smoothed_) {
        smoothed_ = previousMeasured_ = measured;
        return measured;
    }
    StretchLimits& s = *smoothed_;
    for (int c = 0; c < 3; ++c) {
        const double range = measured.high[c] - measured.low[c];
        if (!(range > 0.0)) {  // a flat plane: the stretch leaves it as it is
            s.low[c] = measured.low[c];
            s.high[c] = measured.high[c];
            continue;
        }
        const double stepsPerLevel = kOutputScale / range;
        s.low[c] = stepToward(s.low[c], measured.low[c], measured.low[c] == previousMeasured_.low[c], alpha,
                              stepsPerLevel);
        s.high[c] = stepToward(s.high[c], measured.high[c], measured.high[c] == previousMeasured_.high[c], alpha,
                               stepsPerLevel);
    }
    previousMeasured_ = measured;
    return s;
}

}  // namespace nightdehaze::detail
