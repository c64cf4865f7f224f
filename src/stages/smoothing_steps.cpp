#include "stages/smoothing_steps.hpp"

#include "filters/guided_filter_color.hpp"
#include "filters/non_local_guided_filter.hpp"
#include "stages/stage_constants.hpp"
#include "util/elementwise_in_chunks.hpp"

#include <stdexcept>
#include <string>

namespace nightdehaze::detail {

namespace {

// The non-local filter of every input under the guide (0..1, scaled to
// 0..255 for the filter) with the given search radius, into the outputs.
void filterNonLocally(const DehazeContext& context, int searchRadius,
                      const std::vector<cv::Mat*>& outputs, const cv::Mat& guide,
                      const std::vector<cv::Mat>& inputs) {
    std::vector<cv::Mat> results;
    nonLocalGuidedFilterMany(context.patchRadius, searchRadius, results, guide * kUnitScale,
                             inputs, context.noiseSigma, context.nonLocalEps);
    for (size_t k = 0; k < outputs.size(); ++k) *outputs[k] = results[k];
}

// Light sums turned into their window means on the 0..1 scale, in place: no
// second plane is held while the filter runs.
void toUnitMeans(cv::Mat& sums, const cv::Mat& counts) {
    evaluateInChunks(sums, [&](const Chunk& c) {
        return (elementsOf(sums, c) / elementsOf(counts, c)) / kUnitScale;
    });
}

// A map on the 0..1 scale brought to 0..255, in place.
void scaleToUnits(cv::Mat& map) {
    evaluateInChunks(map, [&](const Chunk& c) { return elementsOf(map, c) * kUnitScale; });
}

}  // namespace

void smoothLightSums(const DehazeContext& context, int radius, std::vector<cv::Mat*> sums,
                     const cv::Mat& counts, const cv::Mat& guide, double eps) {
    if (context.useNonLocalFilter == 0) {
        for (cv::Mat* plane : sums) {
            toUnitMeans(*plane, counts);
            guidedFilterColorInPlace(radius, *plane, guide, eps);
            scaleToUnits(*plane);
        }
        return;
    }
    // Planes under one guide and search radius share one sweep of the filter;
    // each result is what its own call would give.
    std::vector<cv::Mat> means;
    for (cv::Mat* plane : sums) means.push_back(*plane / counts);
    filterNonLocally(context, radius, sums, guide, means);
}

void refineMaps(const DehazeContext& context, std::vector<cv::Mat*> maps, const cv::Mat& guide,
                double eps) {
    if (context.useNonLocalFilter == 0) {
        for (cv::Mat* map : maps) guidedFilterColorInPlace(context.refineRadius, *map, guide, eps);
        return;
    }
    std::vector<cv::Mat> scaled;
    for (cv::Mat* map : maps) scaled.push_back(*map * kUnitScale);
    filterNonLocally(context, context.searchRadius, maps, guide, scaled);
    for (cv::Mat* map : maps) *map = *map / kUnitScale;
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

}  // namespace nightdehaze::detail
