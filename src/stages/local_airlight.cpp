#include "stages/local_airlight.hpp"

#include "util/run_report.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <opencv2/core/utility.hpp>
#include <stdexcept>
#include <string>

namespace nightdehaze::detail {

// Each grid window yields one light value per channel. The windows are
// estimated independently (in parallel over grid rows, into a gridRows x
// gridCols matrix per channel) and then summed per pixel over the windows that
// cover it, in grid order. That gives every pixel exactly the sum it would get
// from adding each window's value over its window in turn.

namespace {

// Share of a full (2r+1) x (2r+1) window taken as the brightest-haze candidates.
constexpr double kCandidateFraction = 0.05;
constexpr int kDescending = cv::SORT_EVERY_ROW + cv::SORT_DESCENDING;
// Averaging factor of a candidate's three channel values.
const double kThird = 1.0 / 3;

// kTop: the last rank of the candidates of a full window (6 for r = 5). The
// square is exact in double for every radius whose square fits an int.
int topRank(int r) {
    const double side = 2.0 * r + 1;
    const double rank = std::floor(side * side * kCandidateFraction);
    return static_cast<int>(std::min(rank, static_cast<double>(std::numeric_limits<int>::max())));
}

void require(bool ok, const std::string& message) {
    if (!ok) throw std::invalid_argument(message);
}

void checkRadius(const char* who, int r) {
    require(r >= 1,
            std::string(who) + ": window radius must be at least 1, got " + std::to_string(r));
}

void checkGridMatches(const char* who, const AirlightGrid& grid, cv::Size image) {
    const AirlightGrid expected = makeAirlightGrid(grid.r, image);
    require(grid.gridRows == expected.gridRows && grid.gridCols == expected.gridCols,
            std::string(who) + ": grid does not belong to an image of this size");
}

void checkLightInputs(const char* who, const std::vector<cv::Mat>& planes, const cv::Mat& dark) {
    const std::string name(who);
    require(planes.size() == 3, name + ": expected 3 planes, got " + std::to_string(planes.size()));
    for (const cv::Mat& plane : planes) {
        require(plane.type() == CV_8UC1, name + ": every plane must be CV_8UC1");
        require(plane.size() == planes[0].size(), name + ": planes differ in size");
    }
    require(dark.type() == CV_64FC1, name + ": dark channel must be CV_64FC1");
    require(dark.size() == planes[0].size(), name + ": dark channel and planes differ in size");
}

// Rows reused by every window a thread estimates: the window's plane values and
// dark values in row-major order, the candidates and the two rankings.
struct WindowWorkspace {
    explicit WindowWorkspace(int capacity)
        : channel(3, capacity, CV_8UC1),
          dark(1, capacity, CV_64FC1),
          order(1, capacity, CV_32SC1),
          candidate(3, capacity, CV_64FC1),
          brightness(1, capacity, CV_64FC1),
          brightOrder(1, capacity, CV_32SC1) {}
    cv::Mat channel, dark, order, candidate, brightness, brightOrder;
};

int gatherWindow(const cv::Rect& window, const std::vector<cv::Mat>& planes, const cv::Mat& dark,
                 WindowWorkspace& ws) {
    int n = 0;
    for (int y = window.y; y < window.y + window.height; ++y, n += window.width) {
        for (int c = 0; c < 3; ++c)
            std::copy_n(planes[c].ptr<uchar>(y) + window.x, window.width,
                        ws.channel.ptr<uchar>(c) + n);
        std::copy_n(dark.ptr<double>(y) + window.x, window.width, ws.dark.ptr<double>() + n);
    }
    return n;
}

// k of the tie extension: one less than the first rank whose dark value is
// strictly below the value at rank kTop, or n - 1 when no rank before the last
// is; the candidates are ranks 0 .. k-1, so ties at rank kTop extend them.
// Two guards keep tiny windows sound: a window of at most kTop pixels ranks all
// of them (the boundary rank is clamped to n - 1), and at least one candidate
// is taken (r = 1 has kTop = 0, a one-pixel window ends at n - 1 = 0).
int candidateCount(const double* d, const int* order, int n, int kTop) {
    const double boundary = d[order[std::min(kTop, n - 1)]];
    int k = n - 1;
    for (int m = 0; m < n - 1; ++m) {
        if (boundary > d[order[m]]) {
            k = m - 1;
            break;
        }
    }
    return std::max(k, 1);
}

void gatherCandidates(const int* order, int k, WindowWorkspace& ws) {
    double* s = ws.brightness.ptr<double>();
    for (int m = 0; m < k; ++m) {
        double sum = 0.0;
        for (int c = 0; c < 3; ++c) {
            const double q = ws.channel.ptr<uchar>(c)[order[m]];
            ws.candidate.ptr<double>(c)[m] = q;
            sum += q;
        }
        s[m] = sum * kThird;
    }
}

void estimateWindow(const cv::Rect& window, const std::vector<cv::Mat>& planes, const cv::Mat& dark,
                    int r, int kTop, WindowWorkspace& ws, double light[3]) {
    const int n = gatherWindow(window, planes, dark, ws);
    cv::Mat order = ws.order.colRange(0, n);
    cv::sortIdx(ws.dark.colRange(0, n), order, kDescending);
    const int k = candidateCount(ws.dark.ptr<double>(), order.ptr<int>(), n, kTop);
    gatherCandidates(order.ptr<int>(), k, ws);
    cv::Mat brightOrder = ws.brightOrder.colRange(0, k);
    cv::sortIdx(ws.brightness.colRange(0, k), brightOrder, kDescending);
    const int* rank = brightOrder.ptr<int>();
    const int mAvg = std::min(k, r);
    for (int c = 0; c < 3; ++c) {
        const double* q = ws.candidate.ptr<double>(c);
        double sum = 0.0;
        for (int m = 0; m < mAvg; ++m) sum += q[rank[m]];
        light[c] = sum / mAvg;
    }
}

// First and last grid index (both included) whose window, centred at
// index * r, covers position x: |x - index * r| <= r.
struct WindowSpan {
    int first = 0, last = -1;
};

WindowSpan coveringWindows(int x, int r, int gridCount) {
    WindowSpan span;
    span.first = static_cast<int>(std::max(0LL, (1LL * x + r - 1) / r - 1));
    span.last = std::min(gridCount - 1, x / r + 1);
    return span;
}

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

cv::Rect AirlightGrid::window(int gridRow, int gridCol, cv::Size image) const {
    const long long i = 1LL * gridRow * r, j = 1LL * gridCol * r;
    const int top = static_cast<int>(std::max(i - r, 0LL));
    const int bottom = static_cast<int>(std::min(i + r + 1, 1LL * image.height));
    const int left = static_cast<int>(std::max(j - r, 0LL));
    const int right = static_cast<int>(std::min(j + r + 1, 1LL * image.width));
    return cv::Rect(left, top, right - left, bottom - top);
}

AirlightGrid makeAirlightGrid(int r, cv::Size image) {
    checkRadius("makeAirlightGrid", r);
    AirlightGrid grid;
    grid.r = r;
    grid.gridRows = static_cast<int>((1LL * image.height + r - 1) / r);
    grid.gridCols = static_cast<int>((1LL * image.width + r - 1) / r);
    return grid;
}

void windowAirlight(const AirlightGrid& grid, const std::vector<cv::Mat>& planes,
                    const cv::Mat& dark, cv::Mat values[3]) {
    checkLightInputs("windowAirlight", planes, dark);
    const cv::Size image = dark.size();
    checkGridMatches("windowAirlight", grid, image);
    const int r = grid.r, kTop = topRank(r);
    const long long side = 2LL * r + 1;
    const int capacity =
        static_cast<int>(std::min(side, 1LL * image.height) * std::min(side, 1LL * image.width));
    cv::Mat light[3];
    for (cv::Mat& plane : light) plane.create(grid.gridRows, grid.gridCols, CV_64FC1);
    const RunReport* run = currentRun();
    cv::parallel_for_(cv::Range(0, grid.gridRows), [&](const cv::Range& gridRows) {
        WindowWorkspace ws(capacity);
        double windowLight[3];
        for (int gr = gridRows.start; gr < gridRows.end && !stopRequested(run); ++gr) {
            for (int gc = 0; gc < grid.gridCols; ++gc) {
                estimateWindow(grid.window(gr, gc, image), planes, dark, r, kTop, ws, windowLight);
                for (int c = 0; c < 3; ++c) light[c].at<double>(gr, gc) = windowLight[c];
            }
        }
    });
    throwIfStopRequested(run);
    for (int c = 0; c < 3; ++c) values[c] = light[c];
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

void localAirlight(int r, const std::vector<cv::Mat>& planes, const cv::Mat& dark, cv::Mat& S0,
                   cv::Mat& S1, cv::Mat& S2, cv::Mat& N) {
    checkRadius("localAirlight", r);
    checkLightInputs("localAirlight", planes, dark);
    const AirlightGrid grid = makeAirlightGrid(r, dark.size());
    cv::Mat values[3];
    windowAirlight(grid, planes, dark, values);
    cv::Mat sums[3], count = cv::Mat::zeros(dark.size(), CV_64FC1);
    for (int c = 0; c < 3; ++c) {
        sums[c] = cv::Mat::zeros(dark.size(), CV_64FC1);
        accumulateOverWindows(grid, values[c], sums[c]);
    }
    accumulateOverWindows(grid, cv::Mat::ones(grid.gridRows, grid.gridCols, CV_64FC1), count);
    S0 = sums[0];
    S1 = sums[1];
    S2 = sums[2];
    N = count;
}

}  // namespace nightdehaze::detail
