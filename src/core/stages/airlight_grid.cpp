#include "core/stages/airlight_grid.hpp"

#include "core/stages/plane_checks.hpp"
#include "core/runtime/run_report.hpp"

#include <opencv2/core/utility.hpp>

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

namespace nightdehaze::detail {

// The windows' values are summed per pixel over the windows that cover it, in
// grid order. That gives every pixel exactly the sum it would get from adding
// each window's value over its window in turn.

namespace {

// Share of a full (2r+1) x (2r+1) window taken as the brightest-haze candidates.
constexpr double kCandidateFraction = 0.05;

}  // namespace

WindowSpan coveringWindows(int x, int r, int gridCount) {
    WindowSpan span;
    span.first = static_cast<int>(std::max(0LL, (1LL * x + r - 1) / r - 1));
    span.last = std::min(gridCount - 1, x / r + 1);
    return span;
}

int candidateRank(int r) {
    const double side = 2.0 * r + 1;
    const double rank = std::floor(side * side * kCandidateFraction);
    return static_cast<int>(std::min(rank, static_cast<double>(std::numeric_limits<int>::max())));
}

namespace {

// A column is covered by at most three windows of a grid row. Slot s of grid
// row gr holds, for every column, the value of the s-th window of that row
// covering it, or -0.0 where there is none: x + (-0.0) is x for every double,
// so each pixel adds exactly its covering windows, in grid order.
constexpr int kSlots = 3;
constexpr double kAddsNothing = -0.0;

void spreadGridRow(const double* windowValues, const std::vector<WindowSpan>& columnWindows,
                   cv::Mat& slots, int gridRow) {
    for (int s = 0; s < kSlots; ++s) {
        double* slot = slots.ptr<double>(gridRow * kSlots + s);
        for (size_t x = 0; x < columnWindows.size(); ++x) {
            const int gc = columnWindows[x].first + s;
            slot[x] = gc <= columnWindows[x].last ? windowValues[gc] : kAddsNothing;
        }
    }
}

void addCoveringWindows(const cv::Mat& slots, const WindowSpan& rowWindows, double* out) {
    for (int gr = rowWindows.first; gr <= rowWindows.last; ++gr) {
        const double* first = slots.ptr<double>(gr * kSlots);
        const double* second = slots.ptr<double>(gr * kSlots + 1);
        const double* third = slots.ptr<double>(gr * kSlots + 2);
        for (int x = 0; x < slots.cols; ++x) out[x] = ((out[x] + first[x]) + second[x]) + third[x];
    }
}

}  // namespace

void checkGridRadius(const char* who, int r) {
    require(r >= 1,
            std::string(who) + ": window radius must be at least 1, got " + std::to_string(r));
}

void checkGridMatches(const char* who, const AirlightGrid& grid, cv::Size image) {
    const AirlightGrid expected = makeAirlightGrid(grid.r, image);
    require(grid.gridRows == expected.gridRows && grid.gridCols == expected.gridCols,
            std::string(who) + ": grid does not belong to an image of this size");
}

cv::Rect AirlightGrid::window(int gridRow, int gridCol, cv::Size image) const {
    const long long i = 1LL * gridRow * r, j = 1LL * gridCol * r;
    const int top = static_cast<int>(std::max(i - r, 0LL));
    const int bottom = static_cast<int>(std::min(i + r + 1, 1LL * image.height));
    const int left = static_cast<int>(std::max(j - r, 0LL));
    const int right = static_cast<int>(std::min(j + r + 1, 1LL * image.width));
    return cv::Rect(left, top, right - left, bottom - top);
}

AirlightGrid makeAirlightGrid(int r, cv::Size image) {
    checkGridRadius("makeAirlightGrid", r);
    AirlightGrid grid;
    grid.r = r;
    grid.gridRows = static_cast<int>((1LL * image.height + r - 1) / r);
    grid.gridCols = static_cast<int>((1LL * image.width + r - 1) / r);
    return grid;
}

namespace {

std::vector<double> coverageAlong(int length, int r, int gridCount) {
    std::vector<double> counts(length);
    for (int x = 0; x < length; ++x) {
        const WindowSpan span = coveringWindows(x, r, gridCount);
        counts[x] = span.last - span.first + 1;
    }
    return counts;
}

}  // namespace

WindowCoverage windowCoverage(const AirlightGrid& grid, cv::Size image) {
    checkGridMatches("windowCoverage", grid, image);
    return {coverageAlong(image.height, grid.r, grid.gridRows),
            coverageAlong(image.width, grid.r, grid.gridCols)};
}

cv::Mat WindowCoverage::plane() const {
    cv::Mat counts(static_cast<int>(rows.size()), static_cast<int>(cols.size()), CV_64FC1);
    for (int y = 0; y < counts.rows; ++y)
        for (int x = 0; x < counts.cols; ++x) counts.at<double>(y, x) = at(y, x);
    return counts;
}

void accumulateOverWindows(const AirlightGrid& grid, const cv::Mat& values, cv::Mat& dst) {
    require(dst.type() == CV_64FC1, "accumulateOverWindows: destination must be CV_64FC1");
    checkGridMatches("accumulateOverWindows", grid, dst.size());
    require(
        values.type() == CV_64FC1 && values.rows == grid.gridRows && values.cols == grid.gridCols,
        "accumulateOverWindows: values must be a gridRows x gridCols CV_64FC1 matrix");
    std::vector<WindowSpan> columnWindows(dst.cols);
    for (int x = 0; x < dst.cols; ++x) columnWindows[x] = coveringWindows(x, grid.r, grid.gridCols);
    cv::Mat slots(grid.gridRows * kSlots, dst.cols, CV_64FC1);
    const RunReport* run = currentRun();
    cv::parallel_for_(cv::Range(0, grid.gridRows), [&](const cv::Range& gridRows) {
        for (int gr = gridRows.start; gr < gridRows.end && !stopRequested(run); ++gr)
            spreadGridRow(values.ptr<double>(gr), columnWindows, slots, gr);
    });
    throwIfStopRequested(run);
    cv::parallel_for_(cv::Range(0, dst.rows), [&](const cv::Range& rows) {
        for (int y = rows.start; y < rows.end && !stopRequested(run); ++y)
            addCoveringWindows(slots, coveringWindows(y, grid.r, grid.gridRows),
                               dst.ptr<double>(y));
    });
    throwIfStopRequested(run);
}

cv::Mat windowMaxima(const AirlightGrid& grid, const cv::Mat& plane8u) {
    require(plane8u.type() == CV_8UC1, "windowMaxima: plane must be CV_8UC1");
    checkGridMatches("windowMaxima", grid, plane8u.size());
    cv::Mat maxima(grid.gridRows, grid.gridCols, CV_64FC1);
    const RunReport* run = currentRun();
    cv::parallel_for_(cv::Range(0, grid.gridRows), [&](const cv::Range& gridRows) {
        for (int gr = gridRows.start; gr < gridRows.end && !stopRequested(run); ++gr) {
            for (int gc = 0; gc < grid.gridCols; ++gc) {
                const cv::Rect w = grid.window(gr, gc, plane8u.size());
                uchar brightest = 0;
                for (int y = w.y; y < w.y + w.height; ++y) {
                    const uchar* p = plane8u.ptr<uchar>(y) + w.x;
                    brightest = std::max(brightest, *std::max_element(p, p + w.width));
                }
                maxima.at<double>(gr, gc) = brightest;
            }
        }
    });
    throwIfStopRequested(run);
    return maxima;
}

}  // namespace nightdehaze::detail
