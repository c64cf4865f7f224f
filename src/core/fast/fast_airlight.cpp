#include "core/fast/fast_airlight.hpp"

#include "core/fast/fast_light_lanes.hpp"
#include "core/fast/fast_resampling.hpp"
#include "core/runtime/vector_kernels.hpp"

#include <opencv2/core/utility.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <stdexcept>
#include <vector>

namespace nightdehaze::detail {

namespace {

// The dark value at descending rank `rank` of a window and how many pixels
// are at or above it, from the window's level counts.
struct Boundary {
    int level = 0, atOrAbove = 0;
};

// top: the highest level with a count (the levels above it hold none).
Boundary boundaryAt(const std::array<int, 256>& counts, int top, int rank) {
    int seen = 0;
    for (int level = top; level >= 0; --level) {
        seen += counts[level];
        if (seen > rank) return {level, seen};
    }
    return {0, seen};
}

// The brightest candidates so far by channel sum, largest first; a later
// pixel enters only with a strictly larger sum, so ties keep the earlier.
class Brightest {
public:
    // sums and pixels: room for capacity entries each, owned by the caller.
    Brightest(int capacity, int* sums, const uchar** pixels) : capacity_(capacity), sums_(sums), pixels_(pixels) {}
    void offer(int sum, const uchar* pixel) {
        if (size_ == capacity_ && sum <= sums_[size_ - 1]) return;
        int at = size_ < capacity_ ? size_++ : size_ - 1;
        for (; at > 0 && sums_[at - 1] < sum; --at) {
            sums_[at] = sums_[at - 1];
            pixels_[at] = pixels_[at - 1];
        }
        sums_[at] = sum;
        pixels_[at] = pixel;
    }
    void meanColour(double light[3]) const {
        for (int c = 0; c < 3; ++c) {
            double sum = 0.0;
            for (int m = 0; m < size_; ++m) sum += pixels_[m][c];
            light[c] = sum / size_;
        }
    }

private:
    int capacity_, size_ = 0;
    int* sums_;
    const uchar** pixels_;
};

// Per thread: the level counts of a window (all zero between windows) and
// the room of the brightest candidates.
struct WindowScratch {
    std::array<int, 256> counts{};
    std::vector<int> sums;
    std::vector<const uchar*> pixels;
    explicit WindowScratch(int r) : sums(static_cast<size_t>(r)), pixels(static_cast<size_t>(r)) {}
};

// Any window: the boundary from the window's level counts, the brightest
// candidates kept in order as they come.
void estimateWindowByCounts(const cv::Rect& w, const cv::Mat& bgr8, const cv::Mat& dark8, int r, int kTop,
                            WindowScratch& scratch, double light[3]) {
    std::array<int, 256>& counts = scratch.counts;
    const int n = w.width * w.height;
    uchar top = 0;
    for (int y = w.y; y < w.y + w.height; ++y) {
        const uchar* d = dark8.ptr<uchar>(y) + w.x;
        for (int x = 0; x < w.width; ++x) {
            ++counts[d[x]];
            top = std::max(top, d[x]);
        }
    }
    const Boundary boundary = boundaryAt(counts, top, std::min(kTop, n - 1));
    const int aboveBoundary = boundary.atOrAbove - counts[boundary.level];
    counts.fill(0);
    const int k = candidateCount(boundary.atOrAbove, n);
    int tiesTaken = k - aboveBoundary;
    Brightest brightest(std::min(k, r), scratch.sums.data(), scratch.pixels.data());
    for (int y = w.y; y < w.y + w.height; ++y) {
        const uchar* d = dark8.ptr<uchar>(y) + w.x;
        const uchar* pixel = bgr8.ptr<uchar>(y) + 3 * w.x;
        for (int x = 0; x < w.width; ++x, pixel += 3) {
            if (d[x] < boundary.level) continue;
            if (d[x] == boundary.level && tiesTaken-- <= 0) continue;
            brightest.offer(pixel[0] + pixel[1] + pixel[2], pixel);
        }
    }
    brightest.meanColour(light);
}

}  // namespace

void fastWindowAirlight(const AirlightGrid& grid, const cv::Mat& bgr8, const cv::Mat& dark8, cv::Mat values[3]) {
    if (bgr8.type() != CV_8UC3 || dark8.type() != CV_8UC1 || bgr8.size() != dark8.size())
        throw std::invalid_argument("fastWindowAirlight: expected a CV_8UC3 image and a CV_8UC1 dark channel of its size");
    checkGridMatches("fastWindowAirlight", grid, bgr8.size());
    for (int c = 0; c < 3; ++c) values[c].create(grid.gridRows, grid.gridCols, CV_32FC1);
    const int kTop = candidateRank(grid.r);
    const bool inLanes = lightWindowsInLanes(grid.r);
    cv::parallel_for_(cv::Range(0, grid.gridRows), [&](const cv::Range& range) {
        WindowScratch scratch(grid.r);
        LightLanes lanes;
        double light[3];
        for (int gr = range.start; gr < range.end; ++gr) {
            const cv::Rect rows = grid.window(gr, 0, bgr8.size());
            if (inLanes) lanes.startRows(bgr8, rows.y, rows.y + rows.height);
            for (int gc = 0; gc < grid.gridCols; ++gc) {
                const cv::Rect w = grid.window(gr, gc, bgr8.size());
                if (inLanes)
                    lanes.estimate(w, bgr8, dark8, grid.r, kTop, light);
                else
                    estimateWindowByCounts(w, bgr8, dark8, grid.r, kTop, scratch, light);
                for (int c = 0; c < 3; ++c) values[c].ptr<float>(gr)[gc] = static_cast<float>(light[c]);
            }
        }
    });
}

cv::Mat fastWindowMaxima(const AirlightGrid& grid, const cv::Mat& plane8u) {
    if (!lightWindowsInLanes(grid.r)) return windowMaxima(grid, plane8u);
    if (plane8u.type() != CV_8UC1) throw std::invalid_argument("fastWindowMaxima: expected a CV_8UC1 plane");
    checkGridMatches("fastWindowMaxima", grid, plane8u.size());
    cv::Mat maxima(grid.gridRows, grid.gridCols, CV_64FC1);
    cv::parallel_for_(cv::Range(0, grid.gridRows), [&](const cv::Range& range) {
        for (int gr = range.start; gr < range.end; ++gr)
            for (int gc = 0; gc < grid.gridCols; ++gc)
                maxima.ptr<double>(gr)[gc] = windowTopByte(grid.window(gr, gc, plane8u.size()), plane8u);
    });
    return maxima;
}

namespace {

// The rows of the plane of grid window means: per grid row, every pixel
// column's sum over the grid columns covering it, kept; each row then adds
// the sums of the grid rows covering it and divides by the window count.
class GridWindowMeanRows {
public:
    GridWindowMeanRows(const AirlightGrid& grid, const cv::Mat& values, cv::Size image, float scale)
        : r_(grid.r), gridRows_(grid.gridRows), gridCols_(grid.gridCols), width_(image.width), scale_(scale),
          columnCounts_(image.width) {
        for (int x = 0; x < width_; ++x) {
            const WindowSpan columns = coveringWindows(x, r_, grid.gridCols);
            columnCounts_[x] = static_cast<float>(columns.last - columns.first + 1);
        }
        cv::Mat grid32;
        values.convertTo(grid32, CV_32F);
        rowSums_.create(grid.gridRows, width_, CV_32FC1);
        cv::parallel_for_(cv::Range(0, grid.gridRows), [&](const cv::Range& range) {
            for (int gr = range.start; gr < range.end; ++gr) sumCoveringColumns(grid32.ptr<float>(gr), gr);
        });
    }

    void row(int y, float* __restrict out) const {
        const WindowSpan rows = coveringWindows(y, r_, gridRows_);
        const float rowCount = static_cast<float>(rows.last - rows.first + 1);
        const float* __restrict columnCounts = columnCounts_.data();
        const int n = width_;
        const float scale = scale_;
        withVectorKernels([&]() NIGHTDEHAZE_LAMBDA_INLINE {
            for (int x = 0; x < n; ++x) out[x] = 0.0f;
            for (int gr = rows.first; gr <= rows.last; ++gr) {
                const float* __restrict s = rowSums_.ptr<float>(gr);
                for (int x = 0; x < n; ++x) out[x] = out[x] + s[x];
            }
            for (int x = 0; x < n; ++x) out[x] = (out[x] / (rowCount * columnCounts[x])) * scale;
        });
    }

private:
    // Each grid column's value added to the pixel columns its window covers,
    // the grid columns in order: every pixel column's sum adds its covering
    // windows' values from the first on.
    void sumCoveringColumns(const float* values, int gr) {
        float* __restrict out = rowSums_.ptr<float>(gr);
        std::fill_n(out, width_, 0.0f);
        for (int gc = 0; gc < gridCols_; ++gc) {
            const int x0 = std::max(0, (gc - 1) * r_), x1 = std::min(width_, (gc + 1) * r_ + 1);  // |x - gc r| <= r
            const float v = values[gc];
            for (int x = x0; x < x1; ++x) out[x] = out[x] + v;
        }
    }

    int r_, gridRows_, gridCols_, width_;
    float scale_;
    std::vector<float> columnCounts_;  // grid columns covering each pixel column
    cv::Mat rowSums_;
};

}  // namespace

cv::Mat gridWindowBlockMeans(const AirlightGrid& grid, const cv::Mat& values, cv::Size image, float scale, int s) {
    checkGridMatches("gridWindowBlockMeans", grid, image);
    const GridWindowMeanRows means(grid, values, image, scale);
    return blockMeansOfRows(image, s, [&means](int y, float* out) { means.row(y, out); });
}

}  // namespace nightdehaze::detail
