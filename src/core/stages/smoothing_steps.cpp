#include "core/stages/smoothing_steps.hpp"

#include "core/filters/guided_filter_color.hpp"
#include "core/filters/non_local_guided_filter.hpp"
#include "core/stages/stage_constants.hpp"
#include "core/stages/unit_scale.hpp"
#include "core/runtime/elementwise_in_chunks.hpp"
#include "core/exact/exact_arithmetic.hpp"

#include <opencv2/core/utility.hpp>

#include <stdexcept>
#include <string>

namespace nightdehaze::detail {

namespace {

// Light sums turned into their window means on the 0..1 scale, in place: no
// second plane is held while the filter runs. (sums / counts) / 255 is folded
// as OpenCV folds it: (sums * (1/255)) / counts.
void toUnitMeans(cv::Mat& sums, const WindowCoverage& counts) {
    cv::parallel_for_(cv::Range(0, sums.rows), [&](const cv::Range& rows) {
        for (int y = rows.start; y < rows.end; ++y) {
            double* s = sums.ptr<double>(y);
            for (int x = 0; x < sums.cols; ++x) s[x] = (s[x] * kInverseUnitScale) / counts.at(y, x);
        }
    });
}

// The image on the 0..1 scale as the colour filter's guide, read from its bytes.
ByteGuide unitGuide(const cv::Mat& image) { return {image, kInverseUnitScale}; }

// map * factor + 0 (a matrix times a number), into a new matrix or in place.
cv::Mat scaledCopy(const cv::Mat& map, double factor) {
    const cv::Mat source = continuous(map);
    cv::Mat out(source.size(), source.type());
    forEachChunk(source.total() * source.channels(), [&](const Chunk& c) {
        const double* in = chunkData<const double>(source, c);
        double* o = chunkData<double>(out, c);
        for (int x = 0; x < c.length(); ++x) o[x] = scaled(in[x], factor);
    });
    return out;
}

void scaleInPlace(cv::Mat& map, double factor) {
    forEachChunk(map.total(), [&](const Chunk& c) {
        double* v = chunkData<double>(map, c);
        for (int x = 0; x < c.length(); ++x) v[x] = scaled(v[x], factor);
    });
}

// Light sums divided by the window counts, into a new matrix.
cv::Mat meansOf(const cv::Mat& sums, const WindowCoverage& counts) {
    cv::Mat out(sums.size(), CV_64FC1);
    cv::parallel_for_(cv::Range(0, sums.rows), [&](const cv::Range& rows) {
        for (int y = rows.start; y < rows.end; ++y) {
            const double* s = sums.ptr<double>(y);
            double* o = out.ptr<double>(y);
            for (int x = 0; x < sums.cols; ++x) o[x] = s[x] / counts.at(y, x);
        }
    });
    return out;
}

// The non-local filter of every input under the image's guide (on the 0..1
// scale, then scaled to 0..255 for the filter) with the given search radius,
// into the outputs.
void filterNonLocally(const StageParameters& parameters, int searchRadius,
                      const std::vector<cv::Mat*>& outputs, const cv::Mat& image,
                      const std::vector<cv::Mat>& inputs) {
    std::vector<cv::Mat> results;
    nonLocalGuidedFilterMany(parameters.patchRadius, searchRadius, results,
                             scaledCopy(unitScaled(image), kUnitScale), inputs, parameters.noiseSigma,
                             parameters.nonLocalEps);
    for (size_t k = 0; k < outputs.size(); ++k) *outputs[k] = results[k];
}

}  // namespace

void smoothLightSums(const StageParameters& parameters, int radius, std::vector<cv::Mat*> sums,
                     const WindowCoverage& counts, const cv::Mat& image, double eps) {
    if (!parameters.useNonLocalFilter) {
        for (cv::Mat* plane : sums) {
            toUnitMeans(*plane, counts);
            guidedFilterColorInPlace(radius, *plane, unitGuide(image), eps);
            scaleInPlace(*plane, kUnitScale);
        }
        return;
    }
    // Planes under one guide and search radius share one sweep of the filter;
    // each result is what its own call would give.
    std::vector<cv::Mat> means;
    for (cv::Mat* plane : sums) means.push_back(meansOf(*plane, counts));
    filterNonLocally(parameters, radius, sums, image, means);
}

void refineMaps(const StageParameters& parameters, std::vector<cv::Mat*> maps, const cv::Mat& image,
                double eps) {
    if (!parameters.useNonLocalFilter) {
        for (cv::Mat* map : maps) guidedFilterColorInPlace(parameters.refineRadius, *map, unitGuide(image), eps);
        return;
    }
    std::vector<cv::Mat> scaledMaps;
    for (cv::Mat* map : maps) scaledMaps.push_back(scaledCopy(*map, kUnitScale));
    filterNonLocally(parameters, parameters.searchRadius, maps, image, scaledMaps);
    for (cv::Mat* map : maps) scaleInPlace(*map, kInverseUnitScale);
}

void checkStageArguments(const char* stage, const StageParameters& parameters, int radius,
                         const cv::Mat& image) {
    const std::string name(stage);
    if (image.empty() || image.type() != CV_8UC3)
        throw std::invalid_argument(name + ": expected a non-empty 8-bit three-channel image");
    if (radius < 1) throw std::invalid_argument(name + ": window radius must be at least 1");
    if (parameters.refineRadius < 0)
        throw std::invalid_argument(name + ": refineRadius must not be negative");
}

}  // namespace nightdehaze::detail
