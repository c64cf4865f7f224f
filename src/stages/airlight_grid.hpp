#pragma once
#include <opencv2/core.hpp>

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
