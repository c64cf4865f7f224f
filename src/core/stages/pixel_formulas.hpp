#pragma once
// The stages' per-pixel formulas and their constants, written once for both
// engines: T is double in the exact engine and float in the fast one. Every
// operation rounds on its own, in the order written; light and images are on
// the 0..255 scale.
#include "core/stages/stage_constants.hpp"

namespace nightdehaze::detail::formulas {

template <typename T>
constexpr T kAirlightFloor = T(51);  // 0.2 * 255: the light is never darker
template <typename T>
constexpr T kHazeRemoval = T(0.95);  // omega: leaves a trace of haze for depth
template <typename T>
constexpr T kTransmissionFloor = T(0.1);  // keeps the recovery stable in dense haze
template <typename T>
constexpr T kBrightnessFloor = T(25.5);  // 0.1 * 255: dim neighbourhoods count as this bright
template <typename T>
constexpr T kFactorOffset = T(0.1);  // no channel is raised more than about tenfold
template <typename T>
constexpr T kFactorCeiling = T(1);  // no channel is darkened
template <typename T>
constexpr T kThird = T(1) / T(3);
template <typename T>
constexpr T kGuard = T(kLightGuard);
// (1 / 3) * (1 / 255) in T: the grey level's two divisors folded into one
// factor, as OpenCV folds them.
template <typename T>
constexpr T kGreyFactor = kThird<T> * (T(1) / T(255));

// max and min against a bound as cv::max and cv::min's vector lanes give
// them: the bound wherever x is NaN or the two compare equal.
template <typename T>
inline T atLeast(T x, T bound) {
    return x > bound ? x : bound;
}
template <typename T>
inline T atMost(T x, T bound) {
    return x < bound ? x : bound;
}

// The grey level (0..1) of a light of channels a0, a1, a2 (0..255):
// (a0 + a1) and a2 each times the folded factor, then summed.
template <typename T>
inline T lightGrey(T a0, T a1, T a2) {
    return ((a0 + a1) * kGreyFactor<T> + a2 * kGreyFactor<T>) + T(0);
}

// The gain that maps a level z to power (z to a power): power / (z + guard).
template <typename T>
inline T levelGain(T power, T z) {
    return power / (z + kGuard<T>);
}

// One channel of the dehazing light lifted by its gain, floored.
template <typename T>
inline T liftedLight(T a, T gain) {
    return atLeast(a * gain, kAirlightFloor<T>);
}

// The local brightness as colour correction divides by it.
template <typename T>
inline T flooredBrightness(T brightness) {
    return atLeast(brightness, kBrightnessFloor<T>);
}

// The mean over the channels of the light relative to the floored
// brightness: ((0 + l0 / b) + l1 / b) + l2 / b, times 1/3.
template <typename T>
inline T relativeMeanLight(T l0, T l1, T l2, T floored) {
    const T sum = ((T(0) + l0 / floored) + l1 / floored) + l2 / floored;
    return sum * kThird<T> + T(0);
}

// A correction factor: the light's channel times the gain over the floored
// brightness, plus the offset, capped at the ceiling.
template <typename T>
inline T correctionFactor(T light, T gain, T floored) {
    return atMost((light * gain) / floored + kFactorOffset<T>, kFactorCeiling<T>);
}

// A channel's window minimum over the light's window maximum (plus the
// guard): its term of the normalised dark channel.
template <typename T>
inline T normalisedDark(T planeMinimum, T lightMaximum) {
    return planeMinimum / (lightMaximum + kGuard<T>);
}

// The transmission estimate from the normalised dark channel: 1 - omega * d
// as OpenCV evaluates it, d * (-omega) + 1.
template <typename T>
inline T transmissionEstimate(T dark) {
    return dark * -kHazeRemoval<T> + T(1);
}

// The refined transmission clamped to 0..1, and floored for the recovery.
template <typename T>
inline T clampedTransmission(T t) {
    return atMost(atLeast(t, T(0)), T(1));
}
template <typename T>
inline T flooredTransmission(T clamped) {
    return atLeast(clamped, kTransmissionFloor<T>);
}

// A recovered channel before rounding: (I - A) / t + A clamped to 0..255,
// t the floored transmission.
template <typename T>
inline T recoveredChannel(T in, T light, T floored) {
    return atMost(atLeast((in - light) / floored + light, T(0)), T(255));
}

}  // namespace nightdehaze::detail::formulas
