#include "core/stages/clean_chroma.hpp"

#include "core/exact/exact_arithmetic.hpp"
#include "core/filters/box_sum_rows.hpp"

#include <algorithm>
#include <vector>

namespace nightdehaze::detail {

namespace {

constexpr int kChromaRadius = 3;         // 7x7 windows: wider than a speckle cluster
constexpr double kFullyDark = 24.0;      // mean luma up to which chroma is the window's
constexpr double kNotDark = 64.0;        // mean luma from which chroma stays as it is
constexpr double kLumaWeights[3] = {0.114, 0.587, 0.299};

enum Plane { kLuma, kChroma0, kChroma1, kChroma2, kPlanes };

double lumaOf(const uchar* bgr) {
    return kLumaWeights[0] * bgr[0] + kLumaWeights[1] * bgr[1] + kLumaWeights[2] * bgr[2];
}

// Share of the way from a pixel's chroma to its window's mean chroma.
double darkShare(double meanLuma) {
    if (meanLuma <= kFullyDark) return 1.0;
    if (meanLuma >= kNotDark) return 0.0;
    return (kNotDark - meanLuma) / (kNotDark - kFullyDark);
}

// The pixel of luma y and chroma c, its chroma scaled down just enough for
// every channel to stay at or above 0.
void writePixel(double y, const double c[3], uchar* out) {
    double lowest = std::min({c[0], c[1], c[2]});
    const double scale = y + lowest < 0.0 ? y / -lowest : 1.0;
    for (int k = 0; k < 3; ++k) out[k] = roundToByte(y + c[k] * scale);
}

}  // namespace

cv::Mat suppressDarkChroma(const cv::Mat& bgr8) {
    const cv::Size size = bgr8.size();
    cv::Mat result(size, CV_8UC3);
    if (bgr8.empty()) return result;
    const std::vector<double> rowCounts = windowCounts(size.height, kChromaRadius);
    const std::vector<double> colCounts = windowCounts(size.width, kChromaRadius);
    streamBoxSums(
        kChromaRadius, size, kPlanes,
        [&](int row, int c0, int c1, double* const* acc) {
            const uchar* in = bgr8.ptr<uchar>(row);
            for (int x = c0; x < c1; ++x) {
                const uchar* p = in + 3 * x;
                const double y = lumaOf(p);
                acc[kLuma][x - c0] = y + acc[kLuma][x - c0];
                for (int k = 0; k < 3; ++k)
                    acc[kChroma0 + k][x - c0] = (p[k] - y) + acc[kChroma0 + k][x - c0];
            }
        },
        [&](int row, const double* const* sums) {
            const uchar* in = bgr8.ptr<uchar>(row);
            uchar* out = result.ptr<uchar>(row);
            for (int x = 0; x < size.width; ++x) {
                const uchar* p = in + 3 * x;
                const double n = rowCounts[row] * colCounts[x];
                const double y = lumaOf(p);
                const double share = darkShare(sums[kLuma][x] / n);
                double chroma[3];
                for (int k = 0; k < 3; ++k) {
                    const double own = p[k] - y;
                    chroma[k] = own + share * (sums[kChroma0 + k][x] / n - own);
                }
                writePixel(y, chroma, out + 3 * x);
            }
        });
    return result;
}

}  // namespace nightdehaze::detail
