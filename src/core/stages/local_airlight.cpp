#include "core/stages/local_airlight.hpp"

#include "core/stages/plane_checks.hpp"
#include "core/exact/descending_ranks.hpp"
#include "core/runtime/run_report.hpp"

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
// cover it (accumulateOverWindows).

namespace {

// Averaging factor of a candidate's three channel values.
const double kThird = 1.0 / 3;

void checkLightInputs(const char* who, const std::vector<cv::Mat>& planes, const cv::Mat& dark) {
    const std::string name(who);
    checkEightBitPlanes(who, planes);
    require(dark.type() == CV_64FC1, name + ": dark channel must be CV_64FC1");
    require(dark.size() == planes[0].size(), name + ": dark channel and planes differ in size");
}

// Rows reused by every window a thread estimates: the window's plane values and
// dark values in row-major order, the candidates and the two rankings.
struct WindowWorkspace {
    explicit WindowWorkspace(int capacity)
        : channel(3, capacity, CV_8UC1),
          dark(1, capacity, CV_64FC1),
          candidate(3, capacity, CV_64FC1),
          brightness(1, capacity, CV_64FC1) {}
    cv::Mat channel, dark, candidate, brightness;
    DescendingRanks darkRanks, brightRanks;
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
// Ranked from the largest down, the first rank below that value is the count
// of values at or above it. Two guards keep tiny windows sound: a window of at
// most kTop pixels ranks all of them (the boundary rank is clamped to n - 1),
// and at least one candidate is taken (r = 1 has kTop = 0, a one-pixel window
// ends at n - 1 = 0).
int candidateCount(const double* d, DescendingRanks& ranks, int n, int kTop) {
    const int boundaryRank = std::min(kTop, n - 1);
    ranks.settleTop(boundaryRank + 1);
    const double boundary = d[ranks.indexAt(boundaryRank)];
    const auto atOrAboveBoundary = [boundary](double v) { return !(boundary > v); };
    const int atOrAbove = static_cast<int>(std::count_if(d, d + n, atOrAboveBoundary));
    const int k = atOrAbove <= n - 2 ? atOrAbove - 1 : n - 1;
    return std::max(k, 1);
}

void gatherCandidates(const DescendingRanks& order, int k, WindowWorkspace& ws) {
    double* s = ws.brightness.ptr<double>();
    for (int m = 0; m < k; ++m) {
        double sum = 0.0;
        for (int c = 0; c < 3; ++c) {
            const double q = ws.channel.ptr<uchar>(c)[order.indexAt(m)];
            ws.candidate.ptr<double>(c)[m] = q;
            sum += q;
        }
        s[m] = sum * kThird;
    }
}

void estimateWindow(const cv::Rect& window, const std::vector<cv::Mat>& planes, const cv::Mat& dark,
                    int r, int kTop, WindowWorkspace& ws, double light[3]) {
    const int n = gatherWindow(window, planes, dark, ws);
    ws.darkRanks.reset(ws.dark.ptr<double>(), n);
    const int k = candidateCount(ws.dark.ptr<double>(), ws.darkRanks, n, kTop);
    ws.darkRanks.settleTop(k);
    gatherCandidates(ws.darkRanks, k, ws);
    const int mAvg = std::min(k, r);
    ws.brightRanks.reset(ws.brightness.ptr<double>(), k);
    ws.brightRanks.settleTop(mAvg);
    for (int c = 0; c < 3; ++c) {
        const double* q = ws.candidate.ptr<double>(c);
        double sum = 0.0;
        for (int m = 0; m < mAvg; ++m) sum += q[ws.brightRanks.indexAt(m)];
        light[c] = sum / mAvg;
    }
}

}  // namespace

void windowAirlight(const AirlightGrid& grid, const std::vector<cv::Mat>& planes,
                    const cv::Mat& dark, cv::Mat values[3]) {
    checkLightInputs("windowAirlight", planes, dark);
    const cv::Size image = dark.size();
    checkGridMatches("windowAirlight", grid, image);
    const int r = grid.r, kTop = candidateRank(r);
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

WindowCoverage localAirlightSums(int r, const std::vector<cv::Mat>& planes, const cv::Mat& dark,
                                 cv::Mat& S0, cv::Mat& S1, cv::Mat& S2) {
    checkGridRadius("localAirlight", r);
    checkLightInputs("localAirlight", planes, dark);
    const AirlightGrid grid = makeAirlightGrid(r, dark.size());
    cv::Mat values[3];
    windowAirlight(grid, planes, dark, values);
    cv::Mat sums[3];
    for (int c = 0; c < 3; ++c) {
        sums[c] = cv::Mat::zeros(dark.size(), CV_64FC1);
        accumulateOverWindows(grid, values[c], sums[c]);
    }
    S0 = sums[0];
    S1 = sums[1];
    S2 = sums[2];
    return windowCoverage(grid, dark.size());
}

void localAirlight(int r, const std::vector<cv::Mat>& planes, const cv::Mat& dark, cv::Mat& S0,
                   cv::Mat& S1, cv::Mat& S2, cv::Mat& N) {
    N = localAirlightSums(r, planes, dark, S0, S1, S2).plane();
}

}  // namespace nightdehaze::detail
