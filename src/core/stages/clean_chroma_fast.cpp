// The dark-chroma softening of --clean in single precision, streamed by rows.
#include "core/stages/clean_chroma.hpp"

#include "core/filters/float_window_sums.hpp"
#include "core/runtime/run_report.hpp"

#include <opencv2/core/utility.hpp>

#include <algorithm>
#include <vector>

namespace nightdehaze::detail {

namespace {

using namespace float_rows;

constexpr int kChromaRadius = 3;      // as suppressDarkChroma
constexpr float kFullyDark = 24.0f;
constexpr float kNotDark = 64.0f;
constexpr int kBandRows = 64;         // bands set by the height: bytes independent of threads
enum Plane { kLuma, kChroma0, kPlanes = 4 };

NIGHTDEHAZE_KERNEL_INLINE void lumaAndChroma(const uchar* __restrict in, int cols, float* __restrict luma,
                                             float* __restrict c0, float* __restrict c1, float* __restrict c2) {
    for (int x = 0; x < cols; ++x) {
        const float b = in[3 * x], g = in[3 * x + 1], r = in[3 * x + 2];
        const float y = 0.114f * b + 0.587f * g + 0.299f * r;
        luma[x] = y;
        c0[x] = b - y;
        c1[x] = g - y;
        c2[x] = r - y;
    }
}

NIGHTDEHAZE_KERNEL_INLINE void softenedRow(const uchar* __restrict in, const float* const* sums,
                                           const float* __restrict inverseCounts, float rowInverse, int cols,
                                           uchar* __restrict out) {
    const float* __restrict meanLuma = sums[kLuma];
    const float* __restrict mean0 = sums[kChroma0];
    const float* __restrict mean1 = sums[kChroma0 + 1];
    const float* __restrict mean2 = sums[kChroma0 + 2];
    const float perLevel = 1.0f / (kNotDark - kFullyDark);
    for (int x = 0; x < cols; ++x) {
        const float inverse = rowInverse * inverseCounts[x];
        const float b = in[3 * x], g = in[3 * x + 1], r = in[3 * x + 2];
        const float y = 0.114f * b + 0.587f * g + 0.299f * r;
        const float raw = (kNotDark - meanLuma[x] * inverse) * perLevel;
        const float low = raw > 0.0f ? raw : 0.0f;
        const float share = low < 1.0f ? low : 1.0f;
        const float c0 = (b - y) + share * (mean0[x] * inverse - (b - y));
        const float c1 = (g - y) + share * (mean1[x] * inverse - (g - y));
        const float c2 = (r - y) + share * (mean2[x] * inverse - (r - y));
        const float lowest = std::min(std::min(c0, c1), c2);
        const float scale = y + lowest < 0.0f ? y / -lowest : 1.0f;
        const float values[3] = {y + c0 * scale, y + c1 * scale, y + c2 * scale};
        for (int k = 0; k < 3; ++k) {
            const float positive = values[k] > 0.0f ? values[k] : 0.0f;
            const float clamped = positive < 255.0f ? positive : 255.0f;
            out[3 * x + k] = static_cast<uchar>(static_cast<int>(clamped + 0.5f));
        }
    }
}

class BandSoftener {
public:
    explicit BandSoftener(const cv::Mat& bgr8, cv::Mat& out)
        : rows_(bgr8.rows), cols_(bgr8.cols), bgr8_(bgr8), out_(out), ring_(kChromaRadius, cols_, kPlanes),
          sums_(kChromaRadius, rows_, cols_, kPlanes), line_(4 * static_cast<size_t>(cols_)), inverseCounts_(cols_) {
        for (int x = 0; x < cols_; ++x)
            inverseCounts_[x] = 1.0f / static_cast<float>(std::min(cols_ - 1, x + kChromaRadius) -
                                                         std::max(0, x - kChromaRadius) + 1);
    }

    NIGHTDEHAZE_KERNEL_INLINE void run(int first, int end) {
        int next = std::max(0, first - kChromaRadius);
        for (int y = first; y < end; ++y) {
            for (; next <= std::min(rows_ - 1, y + kChromaRadius); ++next) addRow(next);
            sums_.moveTo(y, ring_);
            const float* sums[kPlanes];
            for (int p = 0; p < kPlanes; ++p) sums[p] = sums_.sums(p);
            const int windowRows = std::min(rows_ - 1, y + kChromaRadius) - std::max(0, y - kChromaRadius) + 1;
            softenedRow(bgr8_.ptr<uchar>(y), sums, inverseCounts_.data(), 1.0f / windowRows, cols_,
                        out_.ptr<uchar>(y));
        }
    }

private:
    NIGHTDEHAZE_KERNEL_INLINE void addRow(int y) {
        float* planes[kPlanes];
        for (int p = 0; p < kPlanes; ++p) planes[p] = line_.data() + static_cast<size_t>(p) * cols_;
        lumaAndChroma(bgr8_.ptr<uchar>(y), cols_, planes[0], planes[1], planes[2], planes[3]);
        for (int p = 0; p < kPlanes; ++p) horizontalSums(planes[p], cols_, kChromaRadius, ring_.row(y, p));
    }

    int rows_, cols_;
    const cv::Mat& bgr8_;
    cv::Mat& out_;
    RowRing ring_;
    SlidingSums sums_;
    std::vector<float> line_, inverseCounts_;
};

}  // namespace

cv::Mat fastSuppressDarkChroma(const cv::Mat& bgr8) {
    cv::Mat out(bgr8.size(), CV_8UC3);
    if (bgr8.empty()) return out;
    const RunReport* run = currentRun();
    const int bands = (bgr8.rows + kBandRows - 1) / kBandRows;
    cv::parallel_for_(cv::Range(0, bands), [&](const cv::Range& range) {
        for (int band = range.start; band < range.end && !stopRequested(run); ++band) {
            BandSoftener softener(bgr8, out);
            const int first = band * kBandRows, end = std::min(bgr8.rows, first + kBandRows);
            withVectorKernels([&]() NIGHTDEHAZE_LAMBDA_INLINE { softener.run(first, end); });
        }
    });
    return out;
}

}  // namespace nightdehaze::detail
