#include "nightdehaze/nightdehaze.hpp"

#include "core/stages/stage_constants.hpp"
#include "core/stages/unit_scale.hpp"
#include "core/runtime/elementwise_in_chunks.hpp"
#include "core/exact/exact_arithmetic.hpp"
#include "core/exact/hsv_to_bgr.hpp"
#include "core/runtime/run_report.hpp"

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
        const double* in = chunkData<double>(unit, c);
        uchar* out = chunkData<uchar>(plane, c);
        for (int k = 0; k < c.length(); ++k) out[k] = roundToByte(scaled(in[k], kUnitScale));
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
    cv::cvtColor(bgr, hsv, cv::COLOR_BGR2HSV);  // integer arithmetic: the same on every CPU
    return splitInChunks(hsv);
}

// The value planes of the image (vs) and of its smoothed copy (vf) in double,
// and the ratio vs / (vf + guard).
cv::Mat valueRatio(const cv::Mat& value8u, const cv::Mat& smoothedValue8u, cv::Mat& vs) {
    vs.create(value8u.size(), CV_64FC1);
    cv::Mat ratio(value8u.size(), CV_64FC1);
    forEachChunk(ratio.total(), [&](const Chunk& c) {
        const uchar* s = chunkData<uchar>(value8u, c);
        const uchar* f = chunkData<uchar>(smoothedValue8u, c);
        double* v = chunkData<double>(vs, c);
        double* out = chunkData<double>(ratio, c);
        for (int k = 0; k < c.length(); ++k) {
            v[k] = s[k];
            out[k] = v[k] / (static_cast<double>(f[k]) + kRatioGuard);
        }
    });
    return ratio;
}

// The new value plane in 8 bits: 255 * (V/255)^(1/3) * ratio, rounded. The
// factor 255 is folded into the product as OpenCV folds it: (255 * lift) * ratio.
cv::Mat liftedValue(const cv::Mat& vs, const cv::Mat& ratio) {
    cv::Mat value(vs.size(), CV_64FC1);
    forEachChunk(value.total(), [&](const Chunk& c) {
        const double* in = chunkData<double>(vs, c);
        double* out = chunkData<double>(value, c);
        for (int k = 0; k < c.length(); ++k) out[k] = scaled(in[k], kInverseUnitScale);
    });
    elementwisePower(value, value, kCubeRoot);
    cv::Mat lifted(vs.size(), CV_8UC1);
    forEachChunk(value.total(), [&](const Chunk& c) {
        const double* l = chunkData<double>(value, c);
        const double* q = chunkData<double>(ratio, c);
        uchar* out = chunkData<uchar>(lifted, c);
        for (int k = 0; k < c.length(); ++k) out[k] = roundToByte(kUnitScale * l[k] * q[k]);
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
    cv::Mat vs;
    cv::Mat ratio = valueRatio(source.at(2), hsvPlanes(smoothed).at(2), vs);
    beginStep(1.0);
    guidedFilterGray(r + kRatioRadiusIncrement, ratio, ratio, ratio, eps);

    const cv::Mat hsv = mergeInChunks({source.at(0), source.at(1), liftedValue(vs, ratio)});
    dst = hsvToBgr(hsv);
}

}  // namespace nightdehaze
