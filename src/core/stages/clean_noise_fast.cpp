// The noise steps of --clean in single precision, the gain estimated on tiles.
#include "core/stages/clean_noise.hpp"

#include "core/filters/float_self_guided_filter.hpp"
#include "core/stages/clean_noise_constants.hpp"

#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <vector>

namespace nightdehaze::detail {

namespace {

constexpr int kGainTile = 8;        // side of the tiles the gain is measured on
constexpr int kGainTileRadius = 2;  // 5x5 tiles: 40 pixels, about the 33 of the exact windows
constexpr int kSampleStep = 2;      // detail sampled at every second row

// eps fading with the window's mean, as smoothInputNoise sets it.
class FadingWindowEps : public WindowEps {
public:
    explicit FadingWindowEps(float eps) : eps_(eps) {}
    void row(int, int, const float* means, int cols, float* epsOfWindows) const override {
        const float* __restrict mean = means;
        float* __restrict eps = epsOfWindows;
        const float none = static_cast<float>(kInputNoneAbove);
        const float full = eps_;
        const float perLevel = eps_ / static_cast<float>(kInputNoneAbove - kInputFullBelow);
        for (int x = 0; x < cols; ++x) {
            const float faded = (none - mean[x]) * perLevel;
            const float low = faded > 0.0f ? faded : 0.0f;
            eps[x] = low < full ? low : full;
        }
    }

private:
    float eps_;
};

// Squared detail, (8 v - its eight neighbours) / 9, of the interleaved
// samples [3, 3 (cols - 1)) of a row, added to acc.
void addSquaredDetail(const uchar* __restrict above, const uchar* __restrict row,
                      const uchar* __restrict below, int begin, int end, float* __restrict acc) {
    for (int i = begin; i < end; ++i) {
        const int ring = above[i - 3] + above[i] + above[i + 3] + row[i - 3] + row[i + 3] + below[i - 3] +
                         below[i] + below[i + 3];
        const float detail = static_cast<float>(8 * row[i] - ring) * (1.0f / 9.0f);
        acc[i] = acc[i] + detail * detail;
    }
}

// Mean square of the detail (value minus 3x3 mean) of each channel of bgr8,
// per gain tile, from the pixels of every kSampleStep-th row that have all
// eight neighbours. CV_32FC3 of the tile grid's size; tiles without samples
// hold 0.
cv::Mat tileDetailPower(const cv::Mat& bgr8, cv::Size tiles) {
    cv::Mat power(tiles, CV_32FC3, cv::Scalar::all(0));
    const int elements = 3 * bgr8.cols;
    cv::parallel_for_(cv::Range(0, tiles.height), [&](const cv::Range& range) {
        std::vector<float> acc(elements);
        for (int ty = range.start; ty < range.end; ++ty) {
            std::fill(acc.begin(), acc.end(), 0.0f);
            int sampledRows = 0;
            const int yEnd = std::min(bgr8.rows - 1, (ty + 1) * kGainTile);
            for (int y = std::max(1, ty * kGainTile); y < yEnd; y += kSampleStep, ++sampledRows)
                addSquaredDetail(bgr8.ptr<uchar>(y - 1), bgr8.ptr<uchar>(y), bgr8.ptr<uchar>(y + 1), 3,
                                 elements - 3, acc.data());
            if (sampledRows == 0) continue;
            cv::Vec3f* out = power.ptr<cv::Vec3f>(ty);
            for (int tx = 0; tx < tiles.width; ++tx) {
                const int x0 = std::max(1, tx * kGainTile), x1 = std::min(bgr8.cols - 1, (tx + 1) * kGainTile);
                if (x1 <= x0) continue;
                cv::Vec3f sum(0.0f, 0.0f, 0.0f);
                for (int x = x0; x < x1; ++x)
                    for (int c = 0; c < 3; ++c) sum[c] += acc[3 * x + c];
                out[tx] = sum / static_cast<float>(sampledRows * (x1 - x0));
            }
        }
    });
    return power;
}

// Mean over the clipped 5x5 tiles around each tile, of tiles that had samples.
cv::Mat tileWindowMeans(const cv::Mat& power, const cv::Mat& sampled) {
    cv::Mat sums, counts;
    cv::boxFilter(power, sums, -1, cv::Size(2 * kGainTileRadius + 1, 2 * kGainTileRadius + 1),
                  cv::Point(-1, -1), false, cv::BORDER_CONSTANT);
    cv::boxFilter(sampled, counts, -1, cv::Size(2 * kGainTileRadius + 1, 2 * kGainTileRadius + 1),
                  cv::Point(-1, -1), false, cv::BORDER_CONSTANT);
    cv::Mat means(power.size(), CV_32FC3);
    for (int y = 0; y < power.rows; ++y)
        for (int x = 0; x < power.cols; ++x) {
            const float n = std::max(counts.at<float>(y, x), 1.0f);
            means.at<cv::Vec3f>(y, x) = sums.at<cv::Vec3f>(y, x) / n;
        }
    return means;
}

// 2.5 times the amplified noise, gain * noiseLevel + 1/2, per tile and
// channel: the square root of the regularisation.
cv::Mat tileDeviations(const cv::Mat& input, const cv::Mat& output, double noiseLevel) {
    const cv::Size tiles((input.cols + kGainTile - 1) / kGainTile, (input.rows + kGainTile - 1) / kGainTile);
    cv::Mat sampled(tiles, CV_32FC1);
    for (int ty = 0; ty < tiles.height; ++ty)
        for (int tx = 0; tx < tiles.width; ++tx) {
            const bool rows = std::max(1, ty * kGainTile) < std::min(input.rows - 1, (ty + 1) * kGainTile);
            const bool cols = std::max(1, tx * kGainTile) < std::min(input.cols - 1, (tx + 1) * kGainTile);
            sampled.at<float>(ty, tx) = rows && cols ? 1.0f : 0.0f;
        }
    const cv::Mat in = tileWindowMeans(tileDetailPower(input, tiles), sampled);
    const cv::Mat out = tileWindowMeans(tileDetailPower(output, tiles), sampled);
    cv::Mat deviations(tiles, CV_32FC3);
    const float level = static_cast<float>(std::max(noiseLevel, kNoiseFloor));
    for (int y = 0; y < tiles.height; ++y)
        for (int x = 0; x < tiles.width; ++x)
            for (int c = 0; c < 3; ++c) {
                const float gain = std::sqrt(out.at<cv::Vec3f>(y, x)[c] /
                                             (in.at<cv::Vec3f>(y, x)[c] + static_cast<float>(kDetailFloor)));
                deviations.at<cv::Vec3f>(y, x)[c] =
                    static_cast<float>(kFlattenedDeviations) * (gain * level + static_cast<float>(kScaleOffset));
            }
    return deviations;
}

// eps from the tiles' deviations, resized bilinearly to the picture (tile
// centres on pixel centres), squared.
class TileWindowEps : public WindowEps {
public:
    TileWindowEps(const cv::Mat& deviations, cv::Size size) {
        cv::Mat resized;
        cv::resize(deviations, resized, size, 0.0, 0.0, cv::INTER_LINEAR);
        cv::split(resized, deviations_);
    }
    void row(int channel, int y, const float*, int cols, float* epsOfWindows) const override {
        const float* __restrict deviation = deviations_[channel].ptr<float>(y);
        float* __restrict eps = epsOfWindows;
        for (int x = 0; x < cols; ++x) eps[x] = deviation[x] * deviation[x];
    }

private:
    std::vector<cv::Mat> deviations_;
};

}  // namespace

cv::Mat fastSmoothInputNoise(const cv::Mat& bgr8, double noiseLevel) {
    const float deviation = static_cast<float>(kInputDeviations * std::max(noiseLevel, kNoiseFloor));
    return floatSelfGuidedFilter(kInputRadius, bgr8, FadingWindowEps(deviation * deviation));
}

cv::Mat fastSuppressAmplifiedNoise(const cv::Mat& input, const cv::Mat& output, double noiseLevel) {
    const cv::Mat deviations = tileDeviations(input, output, noiseLevel);
    return floatSelfGuidedFilter(kSmoothingRadius, output, TileWindowEps(deviations, output.size()));
}

}  // namespace nightdehaze::detail
