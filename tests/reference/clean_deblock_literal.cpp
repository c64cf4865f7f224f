#include "reference/clean_deblock_literal.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace literal {

namespace {

double luma(const cv::Mat& bgr8, int y, int x) {
    const cv::Vec3b p = bgr8.at<cv::Vec3b>(y, x);
    return 0.114 * p[0] + 0.587 * p[1] + 0.299 * p[2];
}

// v(i) reads the line; the jump before index x beyond the mean side slope.
template <class Line>
double excess(Line v, int x) {
    return (v(x) - v(x - 1)) - ((v(x - 1) - v(x - 2)) + (v(x + 1) - v(x))) / 2.0;
}

// Phase with the largest mean |excess| over all lines, and its lead over the
// median of the other seven phases.
template <class Read>
void grid(int lines, int length, Read read, int& phase, double& step) {
    phase = 0;
    step = 0.0;
    if (length < 16) return;
    std::vector<double> mean(8);
    for (int o = 0; o < 8; ++o) {
        double sum = 0.0, count = 0.0;
        for (int l = 0; l < lines; ++l)
            for (int x = 2; x + 1 < length; ++x)
                if (x % 8 == o) {
                    sum += std::min(8.0, std::abs(excess([&](int i) { return read(l, i); }, x)));
                    count += 1.0;
                }
        mean[o] = sum / count;
    }
    phase = static_cast<int>(std::max_element(mean.begin(), mean.end()) - mean.begin());
    std::vector<double> others;
    for (int o = 0; o < 8; ++o)
        if (o != phase) others.push_back(mean[o]);
    std::sort(others.begin(), others.end());
    step = mean[phase] - others[3];
}

// Ramps of the boundaries at x = phase (mod 8), 4 <= x <= length - 4.
template <class Ref>
void deblockLines(int lines, int length, Ref at, int phase, double threshold) {
    const double share[4] = {0.5, 0.375, 0.25, 0.125};
    if (!(threshold > 0.0)) return;
    for (int l = 0; l < lines; ++l)
        for (int x = 4; x + 4 <= length; ++x) {
            if (x % 8 != phase) continue;
            for (int c = 0; c < 3; ++c) {
                const double e = excess([&](int i) { return at(l, i)[c]; }, x);
                if (std::abs(e) > threshold) continue;
                for (int i = 0; i < 4; ++i) {
                    at(l, x - 1 - i)[c] += e * share[i];
                    at(l, x + i)[c] -= e * share[i];
                }
            }
        }
}

}  // namespace

double ditherThreshold(int y, int x, int c) {
    std::uint32_t h = std::uint32_t(y) * 0x9E3779B1u ^ std::uint32_t(x) * 0x85EBCA77u ^
                      std::uint32_t(c) * 0xC2B2AE3Du;
    h = (h ^ (h >> 15)) * 0x2C1B3C6Du;
    h ^= h >> 12;
    return double(h >> 8) / 16777216.0;
}

nightdehaze::detail::BlockGrid findBlockGrid(const cv::Mat& bgr8) {
    nightdehaze::detail::BlockGrid g;
    grid(bgr8.rows, bgr8.cols, [&](int y, int x) { return luma(bgr8, y, x); }, g.columnPhase,
         g.columnStep);
    grid(bgr8.cols, bgr8.rows, [&](int x, int y) { return luma(bgr8, y, x); }, g.rowPhase,
         g.rowStep);
    return g;
}

cv::Mat deblockGrid(const cv::Mat& bgr8, const nightdehaze::detail::BlockGrid& g,
                    double thresholdFactor) {
    cv::Mat image;
    bgr8.convertTo(image, CV_64F);
    deblockLines(image.rows, image.cols, [&](int y, int x) -> cv::Vec3d& {
        return image.at<cv::Vec3d>(y, x);
    }, g.columnPhase, thresholdFactor * g.columnStep);
    deblockLines(image.cols, image.rows, [&](int x, int y) -> cv::Vec3d& {
        return image.at<cv::Vec3d>(y, x);
    }, g.rowPhase, thresholdFactor * g.rowStep);
    cv::Mat result = bgr8.clone();
    for (int y = 0; y < image.rows; ++y)
        for (int x = 0; x < image.cols; ++x)
            for (int c = 0; c < 3; ++c) {
                const double v = image.at<cv::Vec3d>(y, x)[c];
                uchar& out = result.at<cv::Vec3b>(y, x)[c];
                if (v != out) out = cv::saturate_cast<uchar>(std::floor(v + ditherThreshold(y, x, c)));
            }
    return result;
}

}  // namespace literal
