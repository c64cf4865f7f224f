#pragma once
// The constants of --clean's noise steps, shared by their double and single
// precision versions.
#include <cmath>

namespace nightdehaze::detail {

constexpr int kNoiseTile = 8;                 // side of the tiles of the noise estimate
constexpr double kNoisePercentile = 0.05;  // low enough to find tiles without texture
// Mean |response| of the mask to unit Gaussian noise is 6 * sqrt(2 / pi): the
// mask's coefficients square-sum to 36.
inline const double kResponseToSigma = std::sqrt(M_PI / 2.0) / 6.0;
// The 5th percentile of tile means of pure noise lies about a fifth below
// their mean (64 samples of |N| vary by 12 % around it).
constexpr double kPercentileBias = 1.25;

constexpr int kDetailRadius = 1;       // detail: the plane minus its 3x3 mean
constexpr int kGainRadius = 16;        // windows over which the gain is measured
// The detail power of 8-bit rounding alone (a uniform error of variance
// 1/12): no input is known finer, so where it is flat the gain stays finite.
constexpr double kDetailFloor = 1.0 / 12.0;
constexpr double kNoiseFloor = 0.5;   // levels: even a clean 8-bit picture is rounded
constexpr double kScaleOffset = 0.5;   // half a level: rounding noise of the 8-bit output
constexpr int kInputRadius = 2;        // 5x5 windows: noise, not texture
constexpr double kInputDeviations = 1.5;  // the input's variations below 1.5 noise deviations
// Levels up to which the input is smoothed in full, and from which not at all:
// the enhancement lifts the dark most, and there the noise shifts its
// estimates; brighter areas keep their fine detail.
constexpr double kInputFullBelow = 32.0;
constexpr double kInputNoneAbove = 96.0;
constexpr int kSmoothingRadius = 4;    // 9x9 windows cover a JPEG block's boundary ramps
constexpr double kFlattenedDeviations = 2.5;  // flattens below about 2.5 noise deviations

}  // namespace nightdehaze::detail
