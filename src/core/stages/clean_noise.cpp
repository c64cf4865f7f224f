#include "core/stages/clean_noise.hpp"

#include "core/filters/box_sum_rows.hpp"
#include "core/filters/self_guided_filter.hpp"
#include "core/exact/rounded_to_bytes.hpp"
#include "nightdehaze/nightdehaze.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

namespace nightdehaze::detail {

namespace {

constexpr int kTile = 8;                 // side of the tiles of the noise estimate
constexpr double kNoisePercentile = 0.05;  // low enough to find tiles without texture
// Mean |response| of the mask to unit Gaussian noise is 6 * sqrt(2 / pi): the
// mask's coefficients square-sum to 36.
const double kResponseToSigma = std::sqrt(M_PI / 2.0) / 6.0;
// The 5th percentile of tile means of pure noise lies about a fifth below
// their mean (64 samples of |N| vary by 12 % around it).
constexpr double kPercentileBias = 1.25;

constexpr int kDetailRadius = 1;       // detail: the plane minus its 3x3 mean
constexpr int kGainRadius = 16;        // windows over which the gain is measured
constexpr double kDetailFloor = 1e-3;  // keeps the gain finite where the input is flat
constexpr double kNoiseFloor = 0.5;   // levels: even a clean 8-bit picture is rounded
constexpr double kScaleOffset = 0.5;   // half a level: rounding noise of the 8-bit output
constexpr int kInputRadius = 2;        // 5x5 windows: noise, not texture
constexpr double kInputDeviations = 2.0;  // the input's variations below 2 noise deviations
// Levels up to which the input is smoothed in full, and from which not at all:
// the enhancement lifts the dark most, and there the noise shifts its
// estimates; brighter areas keep their fine detail.
constexpr double kInputFullBelow = 32.0;
constexpr double kInputNoneAbove = 96.0;
constexpr int kSmoothingRadius = 4;    // 9x9 windows cover a JPEG block's boundary ramps
constexpr double kFlattenedDeviations = 2.5;  // flattens below about 2.5 noise deviations

// Mean of the 3x3 mask's absolute response over the tile at (ty, tx) of one
// 8-bit channel, or -1 when the tile touches 0 or 255 (clipped, not noisy).
double tileResponse(const cv::Mat& plane, int ty, int tx) {
    double sum = 0.0;
    for (int y = ty; y < ty + kTile; ++y) {
        const uchar* above = plane.ptr<uchar>(y - 1);
        const uchar* row = plane.ptr<uchar>(y);
        const uchar* below = plane.ptr<uchar>(y + 1);
        for (int x = tx; x < tx + kTile; ++x) {
            if (row[x] == 0 || row[x] == 255) return -1.0;
            const int response = above[x - 1] - 2 * above[x] + above[x + 1] - 2 * row[x - 1] +
                                 4 * row[x] - 2 * row[x + 1] + below[x - 1] - 2 * below[x] +
                                 below[x + 1];
            sum += std::abs(response);
        }
    }
    return sum / (kTile * kTile);
}

cv::Mat boxMean(int r, const cv::Mat& plane) {
    cv::Mat sums;
    cumBoxFilter(r, sums, plane);
    const std::vector<double> rowCounts = windowCounts(plane.rows, r);
    const std::vector<double> colCounts = windowCounts(plane.cols, r);
    for (int y = 0; y < sums.rows; ++y) {
        double* s = sums.ptr<double>(y);
        for (int x = 0; x < sums.cols; ++x) s[x] /= rowCounts[y] * colCounts[x];
    }
    return sums;
}

// Mean square of the fine detail over windows of radius kGainRadius.
cv::Mat detailPower(const cv::Mat& plane) {
    const cv::Mat detail = plane - boxMean(kDetailRadius, plane);
    return boxMean(kGainRadius, detail.mul(detail));
}

// The regularisation of each smoothing window: the square of the output's
// amplified noise, gain * noiseLevel + 1/2 levels, times kFlattenedDeviations.
cv::Mat smoothingEps(const cv::Mat& input, const cv::Mat& output, double noiseLevel) {
    cv::Mat gainSquared = detailPower(output) / (detailPower(input) + kDetailFloor);
    cv::Mat scale;
    cv::sqrt(gainSquared, scale);
    scale = (scale * noiseLevel + kScaleOffset) * kFlattenedDeviations;
    return scale.mul(scale);
}

}  // namespace

double estimateNoiseLevel(const cv::Mat& bgr8) {
    std::vector<cv::Mat> planes;
    cv::split(bgr8, planes);
    std::vector<double> responses;
    for (const cv::Mat& plane : planes)
        for (int ty = 1; ty + kTile + 1 <= plane.rows; ty += kTile)
            for (int tx = 1; tx + kTile + 1 <= plane.cols; tx += kTile) {
                const double response = tileResponse(plane, ty, tx);
                if (response >= 0.0) responses.push_back(response);
            }
    if (responses.empty()) return 0.0;
    const auto rank = responses.begin() +
                      static_cast<std::ptrdiff_t>(kNoisePercentile * (responses.size() - 1));
    std::nth_element(responses.begin(), rank, responses.end());
    return *rank * kResponseToSigma * kPercentileBias;
}

cv::Mat smoothInputNoise(const cv::Mat& bgr8, double noiseLevel) {
    const double deviation = kInputDeviations * std::max(noiseLevel, kNoiseFloor);
    const FadingEps eps{deviation * deviation, kInputFullBelow, kInputNoneAbove};
    std::vector<cv::Mat> planes;
    cv::split(bgr8, planes);
    for (cv::Mat& plane : planes) {
        cv::Mat values;
        plane.convertTo(values, CV_64F);
        plane = roundedToBytes(selfGuidedFilter(kInputRadius, values, eps));
    }
    cv::Mat result;
    cv::merge(planes, result);
    return result;
}

cv::Mat suppressAmplifiedNoise(const cv::Mat& input, const cv::Mat& output, double noiseLevel) {
    std::vector<cv::Mat> inputPlanes, outputPlanes;
    cv::split(input, inputPlanes);
    cv::split(output, outputPlanes);
    std::vector<cv::Mat> cleaned(3);
    for (int c = 0; c < 3; ++c) {
        cv::Mat in, out;
        inputPlanes[c].convertTo(in, CV_64F);
        outputPlanes[c].convertTo(out, CV_64F);
        const cv::Mat eps = smoothingEps(in, out, std::max(noiseLevel, kNoiseFloor));
        cleaned[c] = roundedToBytes(selfGuidedFilter(kSmoothingRadius, out, eps));
    }
    cv::Mat result;
    cv::merge(cleaned, result);
    return result;
}

}  // namespace nightdehaze::detail
