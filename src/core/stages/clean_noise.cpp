#include "core/stages/clean_noise.hpp"

#include "core/filters/box_sum_rows.hpp"
#include "core/filters/self_guided_filter.hpp"
#include "core/stages/clean_noise_constants.hpp"
#include "core/exact/rounded_to_bytes.hpp"
#include "core/runtime/vector_kernels.hpp"
#include "nightdehaze/nightdehaze.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

namespace nightdehaze::detail {

namespace {

// The 3x3 mask's absolute response at columns [1, cols - 1) of a row, added
// to acc, and whether each value is 0 or 255 (clipped, not noisy), or-ed
// into clipped.
NIGHTDEHAZE_KERNEL_INLINE void addRowResponses(const uchar* __restrict above, const uchar* __restrict row,
                                               const uchar* __restrict below, int cols, int* __restrict acc,
                                               uchar* __restrict clipped) {
    for (int x = 1; x + 1 < cols; ++x) {
        const int response = above[x - 1] - 2 * above[x] + above[x + 1] - 2 * row[x - 1] + 4 * row[x] -
                             2 * row[x + 1] + below[x - 1] - 2 * below[x] + below[x + 1];
        acc[x] += response < 0 ? -response : response;
        clipped[x] |= static_cast<uchar>((row[x] == 0) | (row[x] == 255));
    }
}

// Mean |response| of the unclipped tiles of one 8-bit plane, appended.
void addTileResponses(const cv::Mat& plane, std::vector<double>& responses) {
    std::vector<int> acc(plane.cols);
    std::vector<uchar> clipped(plane.cols);
    for (int ty = 1; ty + kNoiseTile + 1 <= plane.rows; ty += kNoiseTile) {
        std::fill(acc.begin(), acc.end(), 0);
        std::fill(clipped.begin(), clipped.end(), 0);
        withVectorKernels([&]() NIGHTDEHAZE_LAMBDA_INLINE {
            for (int y = ty; y < ty + kNoiseTile; ++y)
                addRowResponses(plane.ptr<uchar>(y - 1), plane.ptr<uchar>(y), plane.ptr<uchar>(y + 1), plane.cols,
                                acc.data(), clipped.data());
        });
        for (int tx = 1; tx + kNoiseTile + 1 <= plane.cols; tx += kNoiseTile) {
            int sum = 0;
            bool anyClipped = false;
            for (int x = tx; x < tx + kNoiseTile; ++x) {
                sum += acc[x];
                anyClipped = anyClipped || clipped[x];
            }
            if (!anyClipped) responses.push_back(static_cast<double>(sum) / (kNoiseTile * kNoiseTile));
        }
    }
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
    for (const cv::Mat& plane : planes) addTileResponses(plane, responses);
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
