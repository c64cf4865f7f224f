#include "core/fast/fast_contrast_stretch.hpp"

#include <opencv2/core/utility.hpp>

#include <mutex>

namespace nightdehaze::detail {

StretchLimits fastMeasureStretchLimits(const cv::Mat& bgr8) {
    Histogram counts[3] = {};
    std::mutex merging;
    // Counts are whole numbers: their sum does not depend on how rows are shared out.
    cv::parallel_for_(cv::Range(0, bgr8.rows), [&](const cv::Range& range) {
        Histogram local[3] = {};
        for (int y = range.start; y < range.end; ++y) {
            const uchar* p = bgr8.ptr<uchar>(y);
            for (int x = 0; x < bgr8.cols; ++x, p += 3) {
                ++local[0][p[0]];
                ++local[1][p[1]];
                ++local[2][p[2]];
            }
        }
        const std::lock_guard<std::mutex> lock(merging);
        for (int c = 0; c < 3; ++c)
            for (int v = 0; v < 256; ++v) counts[c][v] += local[c][v];
    });
    StretchLimits limits;
    const long long n = static_cast<long long>(bgr8.total());
    for (int c = 0; c < 3; ++c) limitsOfPlane(counts[c], n, limits.low[c], limits.high[c]);
    return limits;
}

void fastApplyStretchLimits(cv::Mat& dst, const cv::Mat& src, const StretchLimits& limits) {
    uchar table[256][3];
    for (int c = 0; c < 3; ++c) {
        const std::array<uchar, 256> levels = stretchLevels(limits.low[c], limits.high[c]);
        for (int v = 0; v < 256; ++v) table[v][c] = levels[v];
    }
    cv::Mat result(src.size(), CV_8UC3);
    cv::parallel_for_(cv::Range(0, src.rows), [&](const cv::Range& range) {
        for (int y = range.start; y < range.end; ++y) {
            const uchar* in = src.ptr<uchar>(y);
            uchar* out = result.ptr<uchar>(y);
            for (int x = 0; x < 3 * src.cols; x += 3) {
                out[x] = table[in[x]][0];
                out[x + 1] = table[in[x + 1]][1];
                out[x + 2] = table[in[x + 2]][2];
            }
        }
    });
    dst = result;
}

}  // namespace nightdehaze::detail
