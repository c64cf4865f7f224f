#include "stages/smoothing_steps.hpp"

#include "filters/guided_filter_color.hpp"
#include "filters/non_local_guided_filter.hpp"

#include <stdexcept>
#include <string>

namespace {

constexpr double kUnitScale = 255.0;

cv::Mat scaledGuide(const cv::Mat& guide) { return guide * kUnitScale; }

}  // namespace

cv::Mat unitGuide(const cv::Mat& image8u) {
    cv::Mat guide = image8u.clone();
    guide.convertTo(guide, CV_64F);
    return guide / kUnitScale;
}

void smoothLightSums(const DehazeContext& context, int radius, std::vector<cv::Mat*> sums,
                     const cv::Mat& counts, const cv::Mat& guide, double eps) {
    if (context.useNonLocalFilter == 0) {
        for (cv::Mat* plane : sums) {
            *plane = (*plane / counts) / kUnitScale;
            guidedFilterColor(radius, *plane, guide, *plane, eps);
            *plane = *plane * kUnitScale;
        }
        return;
    }
    const cv::Mat guide255 = scaledGuide(guide);
    for (cv::Mat* plane : sums) {
        cv::Mat mean = *plane / counts;
        nonLocalGuidedFilter(context.patchRadius, radius, *plane, guide255, mean,
                             context.noiseSigma, context.nonLocalEps);
    }
}

void refineMaps(const DehazeContext& context, std::vector<cv::Mat*> maps, const cv::Mat& guide,
                double eps) {
    if (context.useNonLocalFilter == 0) {
        for (cv::Mat* map : maps) guidedFilterColor(context.refineRadius, *map, guide, *map, eps);
        return;
    }
    const cv::Mat guide255 = scaledGuide(guide);
    for (cv::Mat* map : maps) {
        cv::Mat scaled = *map * kUnitScale;
        nonLocalGuidedFilter(context.patchRadius, context.searchRadius, *map, guide255, scaled,
                             context.noiseSigma, context.nonLocalEps);
        *map = *map / kUnitScale;
    }
}

void checkStageArguments(const char* stage, const DehazeContext& context, int radius,
                         const cv::Mat& image) {
    const std::string name(stage);
    if (image.empty() || image.type() != CV_8UC3)
        throw std::invalid_argument(name + ": expected a non-empty 8-bit three-channel image");
    if (radius < 1) throw std::invalid_argument(name + ": window radius must be at least 1");
    if (context.refineRadius < 0)
        throw std::invalid_argument(name + ": refineRadius must not be negative");
}
