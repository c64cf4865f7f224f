#include "nightdehaze/nightdehaze.hpp"

#include "stages/stage_constants.hpp"
#include "stages/unit_scale.hpp"
#include "util/elementwise_in_chunks.hpp"
#include "util/run_report.hpp"

#include <opencv2/imgproc.hpp>

#include <stdexcept>
#include <string>
#include <vector>

namespace nightdehaze {

using namespace detail;

namespace {

constexpr double kRatioGuard = 1e-8;            // keeps the ratio finite where V is 0
constexpr double kCubeRoot = 1.0 / 3.0;         // exponent of the value lift
constexpr int kRatioRadiusIncrement = 5;        // the ratio is smoothed wider than the planes

// A plane on the 0..1 scale back to 8 bits: multiplied, then rounded.
cv::Mat eightBitPlane(const cv::Mat& unit) {
    cv::Mat plane(unit.size(), CV_8UC1);
    forEachChunk(unit.total(), [&](const Chunk& c) {
        const cv::Mat scaled = elementsOf(unit, c) * kUnitScale;
        scaled.convertTo(elementsOf(plane, c), CV_8U);
    });
    return plane;
}

// One colour plane smoothed by the grey guided filter with itself as guide,
// on the 0..1 scale, back to 8 bits.
cv::Mat smoothedPlane(int r, const cv::Mat& plane, double eps) {
    cv::Mat t = unitScaled(plane);
    guidedFilterGray(r, t, t, t, eps);
    return eightBitPlane(t);
}

std::vector<cv::Mat> hsvPlanes(const cv::Mat& bgr) {
    cv::Mat hsv;
    cv::cvtColor(bgr, hsv, cv::COLOR_BGR2HSV);
    return splitInChunks(hsv);
}

// The ratio of the value of the image to the value of its smoothed copy.
cv::Mat valueRatio(const cv::Mat& vs, const cv::Mat& vf) {
    cv::Mat ratio(vs.size(), CV_64FC1);
    evaluateInChunks(ratio, [&](const Chunk& c) {
        return elementsOf(vs, c) / (elementsOf(vf, c) + kRatioGuard);
    });
    return ratio;
}

// The new value plane in 8 bits: 255 * (V/255)^(1/3) * ratio, rounded.
cv::Mat liftedValue(const cv::Mat& vs, const cv::Mat& ratio) {
    cv::Mat value(vs.size(), CV_64FC1);
    evaluateInChunks(value, [&](const Chunk& c) { return elementsOf(vs, c) / kUnitScale; });
    elementwisePower(value, value, kCubeRoot);
    cv::Mat lifted(vs.size(), CV_8UC1);
    forEachChunk(value.total(), [&](const Chunk& c) {
        const cv::Mat scaled = kUnitScale * elementsOf(value, c).mul(elementsOf(ratio, c));
        scaled.convertTo(elementsOf(lifted, c), CV_8U);
    });
    return lifted;
}

}  // namespace

void lightCompensation(int r, cv::Mat& dst, cv::Mat src, double eps) {
    if (src.type() != CV_8UC3 || src.empty())
        throw std::invalid_argument("lightCompensation: expected a non-empty 8-bit three-channel image");
    if (r < 0)
        throw std::invalid_argument("lightCompensation: negative radius " + std::to_string(r));
    const std::vector<cv::Mat> planes = splitInChunks(src);
    std::vector<cv::Mat> filtered;
    for (int c = 0; c < 3; ++c) {
        beginStep(0.25 * (c + 1));
        filtered.push_back(smoothedPlane(r, planes.at(c), eps));
    }
    const cv::Mat smoothed = mergeInChunks(filtered);

    const std::vector<cv::Mat> source = hsvPlanes(src);
    const cv::Mat vs = convertedInChunks(source.at(2), CV_64F);
    const cv::Mat vf = convertedInChunks(hsvPlanes(smoothed).at(2), CV_64F);

    cv::Mat ratio = valueRatio(vs, vf);
    beginStep(1.0);
    guidedFilterGray(r + kRatioRadiusIncrement, ratio, ratio, ratio, eps);

    const cv::Mat hsv = mergeInChunks({source.at(0), source.at(1), liftedValue(vs, ratio)});
    cv::cvtColor(hsv, dst, cv::COLOR_HSV2BGR);
}

}  // namespace nightdehaze
