#include "core/stages/clean_noise.hpp"

#include "core/filters/box_sum_rows.hpp"
#include "core/filters/self_guided_filter.hpp"
#include "core/stages/clean_noise_constants.hpp"
#include "core/exact/rounded_to_bytes.hpp"
#include "nightdehaze/nightdehaze.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

namespace nightdehaze::detail {

namespace {

// Mean of the 3x3 mask's absolute response over the tile at (ty, tx) of one
// 8-bit channel, or -1 when the tile touches 0 or 255 (clipped, not noisy).
double tileResponse(const cv::Mat& plane, int ty, int tx) {
    double sum = 0.0;
    for (int y = ty; y < ty + kNoiseTile; ++y) {
        const uchar* above = plane.ptr<uchar>(y - 1);
        const uchar* row = plane.ptr<uchar>(y);
        const uchar* below = plane.ptr<uchar>(y + 1);
        for (int x = tx; x < tx + kNoiseTile; ++x) {
            if (row[x] == 0 || row[x] == 255) return -1.0;
            const int response = above[x - 1] - 2 * above[x] + above[x + 1] - 2 * row[x - 1] +
                                 4 * row[x] - 2 * row[x + 1] + below[x - 1] - 2 * below[x] +
                                 below[x + 1];
            sum += std::abs(response);
        }
    }
    return sum / (kNoiseTile * kNoiseTile);
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
        for (int ty = 1; ty + kNoiseTile + 1 <= plane.rows; ty += kNoiseTile)
            for (int tx = 1; tx + kNoiseTile + 1 <= plane.cols; tx += kNoiseTile) {
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
