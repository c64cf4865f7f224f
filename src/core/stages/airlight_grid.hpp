#pragma once
#include <opencv2/core.hpp>

#include <vector>

namespace nightdehaze::detail {

// Grid windows of the local light estimate: centres (i, j) for i = 0, r, 2r, ...
// below the height and j likewise below the width, each window the square of
// half-size r around its centre, clipped at the border.
struct AirlightGrid {
    int r = 0;
    int gridRows = 0;
    int gridCols = 0;
    cv::Rect window(int gridRow, int gridCol, cv::Size image) const;
};

// Throws std::invalid_argument for r < 1.
AirlightGrid makeAirlightGrid(int r, cv::Size image);

// First and last grid index (both included) whose window, centred at
// index * r, covers position x: |x - index * r| <= r.
struct WindowSpan {
    int first = 0, last = -1;
};
WindowSpan coveringWindows(int x, int r, int gridCount);

// The 0-based rank whose dark value bounds the light's candidates in a
// window of radius r: the floor of 5 % of a full window's pixels (6 for
// r = 5). The square is exact in double for every radius whose square fits
// an int.
int candidateRank(int r);

// How many grid windows cover each pixel, kept as two lines: the windows of a
// grid row cover whole rows of pixels and those of a grid column whole
// columns, so pixel (y, x) lies in rows[y] * cols[x] windows. Every count is a
// small integer and so is their product: at(y, x) is exact, and equals the
// sum of ones over the covering windows in any order.
struct WindowCoverage {
    std::vector<double> rows, cols;
    double at(int y, int x) const { return rows[y] * cols[x]; }
    // The counts of every pixel as a CV_64FC1 matrix of the image's size.
    cv::Mat plane() const;
};

// The coverage of the grid of an image of this size (std::invalid_argument
// when the grid is not that image's).
WindowCoverage windowCoverage(const AirlightGrid& grid, cv::Size image);

// Throws std::invalid_argument, its message starting with who, for r < 1.
void checkGridRadius(const char* who, int r);

// Throws std::invalid_argument, its message starting with who, unless grid is
// the grid of an image of this size.
void checkGridMatches(const char* who, const AirlightGrid& grid, cv::Size image);

// Adds, in grid order (rows outer, columns inner), the value of every grid
// window to every pixel of dst inside that window. values is gridRows x
// gridCols CV_64FC1; dst is CV_64FC1 of the image size, updated in place, so
// each pixel becomes ((dst + v1) + v2) + ... over the windows covering it.
void accumulateOverWindows(const AirlightGrid& grid, const cv::Mat& values, cv::Mat& dst);

// Per grid window, the maximum of an 8-bit plane over the window, as a
// gridRows x gridCols CV_64FC1 matrix (ready for accumulateOverWindows).
cv::Mat windowMaxima(const AirlightGrid& grid, const cv::Mat& plane8u);

}  // namespace nightdehaze::detail
