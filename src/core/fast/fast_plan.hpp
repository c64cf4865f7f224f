#pragma once
// The fast engine's plan: how much smaller than the picture each estimate
// is made (the subsampling factor s of its grid of s x s block means, every
// radius scaled by 1/s) and what runs at full resolution, one reason each.
// The measurements behind them are in docs/performance.md.

namespace nightdehaze::detail::fast_plan {

// Colour correction's light (radius 5): means over windows on a grid of
// stride 5, smooth at that scale, so its filter is fitted four times as
// coarse.
constexpr int kCorrectionLightScale = 4;
// Its factors are computed and refined (radius 32) twice as coarse; four
// times as coarse moved the result past 10 levels at the 99th percentile
// from the exact one on real photographs.
constexpr int kCorrectionRefineScale = 2;
// The light's grid is then a coarsening of the refinement's, and its
// samples' centres fall where interpolation by the quotient puts them.
static_assert(kCorrectionLightScale % kCorrectionRefineScale == 0, "the light's grid must coarsen the refinement's");

// Dehazing's light (radius 10) is fitted four times as coarse: it is smooth
// at that scale.
constexpr int kDehazeLightScale = 4;
// The transmission's refinement is fitted twice as coarse and applied to
// the full-resolution guide: the recovery divides by it, so its edges
// matter; four times as coarse moved the result past 20 levels at the
// 99.9th percentile on a real photograph.
constexpr int kDehazeRefineScale = 2;

// At full resolution, streamed by rows: light compensation's smoothing of
// each channel and of the value ratio (the smoothed value is compared with
// each pixel's own, so it keeps the picture's detail), and the light
// windows (the brightest candidates of each grid window), the dark channel
// and the window minima and maxima of the transmission estimate, which pick
// single pixels that a reduced copy does not hold.

}  // namespace nightdehaze::detail::fast_plan
