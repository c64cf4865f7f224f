#include "nightdehaze/nightdehaze.hpp"

#include <opencv2/core/utility.hpp>

#include <algorithm>
#include <stdexcept>
#include <vector>

namespace nightdehaze {

namespace {

// Column bands for the vertical running sum: wide enough that each band streams
// whole cache lines, many enough to share the work between threads.
constexpr int kColumnBand = 256;

// Difference of running sums for the clipped window [i-r, i+r] of a line of
// length n: running(min(i+r, n-1)) minus running(i-r-1) when that exists. For
// lines of at least 2r+1 elements this is exactly the three-case rule (head,
// middle, tail); shorter lines get the same clipped sums without reading
// outside the line.
inline int windowEnd(int i, int r, int n) { return std::min(i + r, n - 1); }

void verticalRunningSum(const cv::Mat& src, cv::Mat& running, int c0, int c1) {
    const int width = c1 - c0;
    std::copy_n(src.ptr<double>(0) + c0, width, running.ptr<double>(0) + c0);
    for (int i = 1; i < src.rows; ++i) {
        const double* s = src.ptr<double>(i) + c0;
        const double* above = running.ptr<double>(i - 1) + c0;
        double* out = running.ptr<double>(i) + c0;
        for (int j = 0; j < width; ++j) out[j] = s[j] + above[j];
    }
}

void verticalDifference(const cv::Mat& running, cv::Mat& diff, int r, int i) {
    const int width = running.cols;
    const double* last = running.ptr<double>(windowEnd(i, r, running.rows));
    double* out = diff.ptr<double>(i);
    if (i - r - 1 < 0) {
        std::copy_n(last, width, out);
        return;
    }
    const double* first = running.ptr<double>(i - r - 1);
    for (int j = 0; j < width; ++j) out[j] = last[j] - first[j];
}

void horizontalRowSums(double* row, double* running, int width, int r) {
    running[0] = row[0];
    for (int j = 1; j < width; ++j) running[j] = row[j] + running[j - 1];
    for (int j = 0; j < width; ++j) {
        const double last = running[windowEnd(j, r, width)];
        row[j] = (j - r - 1 < 0) ? last : last - running[j - r - 1];
    }
}

}  // namespace

void cumBoxFilter(int r, cv::Mat& dst, cv::Mat src) {
    if (r < 0) throw std::invalid_argument("cumBoxFilter: negative radius " + std::to_string(r));
    if (src.channels() != 1)
        throw std::invalid_argument("cumBoxFilter: source must have one channel");
    src.convertTo(src, CV_64F);
    const int rows = src.rows, cols = src.cols;
    if (rows == 0 || cols == 0) {
        dst = cv::Mat(rows, cols, CV_64FC1);
        return;
    }
    cv::Mat running(rows, cols, CV_64FC1);
    cv::Mat sums(rows, cols, CV_64FC1);
    const int bands = (cols + kColumnBand - 1) / kColumnBand;
    cv::parallel_for_(cv::Range(0, bands), [&](const cv::Range& range) {
        for (int b = range.start; b < range.end; ++b)
            verticalRunningSum(src, running, b * kColumnBand, std::min(cols, (b + 1) * kColumnBand));
    });
    cv::parallel_for_(cv::Range(0, rows), [&](const cv::Range& range) {
        std::vector<double> rowRunning(cols);
        for (int i = range.start; i < range.end; ++i) {
            verticalDifference(running, sums, r, i);
            horizontalRowSums(sums.ptr<double>(i), rowRunning.data(), cols, r);
        }
    });
    dst = sums;
}

}  // namespace nightdehaze
