#pragma once
#include <opencv2/core.hpp>
#include <vector>

// Grid windows of the local light estimate: centres (i, j) for i = 0, r, 2r, ...
// below the height and j likewise below the width, each window the square of
// half-size r around its centre, clipped at the border.
struct AirlightGrid {
    int r = 0;
    int gridRows = 0;
    int gridCols = 0;
    cv::Rect window(int gridRow, int gridCol, cv::Size image) const;
};

AirlightGrid makeAirlightGrid(int r, cv::Size image);

// Adds, in grid order (rows outer, columns inner), the value of every grid
// window to every pixel of dst inside that window. values is gridRows x
// gridCols CV_64FC1; dst is CV_64FC1 of the image size.
void accumulateOverWindows(const AirlightGrid& grid, const cv::Mat& values, cv::Mat& dst);

// Per grid window, the maximum of an 8-bit plane over the window.
cv::Mat windowMaxima(const AirlightGrid& grid, const cv::Mat& plane8u);

// Local atmospheric light. In every grid window the pixels with the highest
// dark-channel values (the top 5 % of a full window, extended over ties) are
// the candidates; the mean colour of the min(k, r) brightest candidates is
// added into S0, S1, S2 over the window, and 1 into N. planes: three CV_8UC1,
// dark: CV_64FC1 in 0..255. S0, S1, S2 and N become new CV_64FC1 matrices.
// Throws std::invalid_argument for r < 1.
void localAirlight(int r, const std::vector<cv::Mat>& planes, const cv::Mat& dark,
                   cv::Mat& S0, cv::Mat& S1, cv::Mat& S2, cv::Mat& N);
