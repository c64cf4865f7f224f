#pragma once
#include "nightdehaze/nightdehaze.hpp"
#include "core/stages/airlight_grid.hpp"

#include <opencv2/core.hpp>
#include <vector>

namespace nightdehaze::detail {

// The guide of both steps is the stage's 8-bit image on the 0..1 scale
// (unitScaled), which the colour guided filter reads from the image's bytes.

// Turns light sums into smoothed light maps on the 0..255 scale, in place:
// each plane is divided by its pixels' window counts and smoothed under the
// guide, by the colour guided filter at `radius` (on the 0..1 scale, eps) or,
// when the parameters select it, by the non-local filter with search radius
// `radius`.
void smoothLightSums(const StageParameters& parameters, int radius, std::vector<cv::Mat*> sums,
                     const WindowCoverage& counts, const cv::Mat& image, double eps);

// Refines final maps on the 0..1 scale in place: colour guided filter at the
// parameters' refineRadius, or the non-local filter at its searchRadius.
void refineMaps(const StageParameters& parameters, std::vector<cv::Mat*> maps, const cv::Mat& image,
                double eps);

// Rejects what the stages cannot process: anything but a non-empty CV_8UC3
// image, a radius below 1, or a filter radius that is negative.
void checkStageArguments(const char* stage, const StageParameters& parameters, int radius,
                         const cv::Mat& image);

}  // namespace nightdehaze::detail
