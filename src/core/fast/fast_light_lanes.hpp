#pragma once
// The light windows of the fast engine held in SSE2 lanes: windows of at
// most 16 x 16 pixels (radius up to 7, the stages use 5), their dark values
// in byte lanes and their channel sums in 16-bit lanes. Intrinsics, because
// no compiler vectorises counts and masks over a window of 11 x 11.
#include <opencv2/core.hpp>

#include <vector>

namespace nightdehaze::detail {

// How many candidates a window of n pixels takes when atOrAbove of them are
// at or above its boundary: atOrAbove - 1 while that leaves two pixels out,
// else n - 1, and at least 1.
int candidateCount(int atOrAbove, int n);

// True where this build holds the grid windows of radius r in lanes.
bool lightWindowsInLanes(int r);

// The largest byte of plane8u (CV_8UC1) in window w, at most 16 x 16.
int windowTopByte(const cv::Rect& w, const cv::Mat& plane8u);

// Per thread, the windows of one grid row after another: the same light as
// fastWindowAirlight defines for each window.
class LightLanes {
public:
    // Rows y0 .. y1 - 1 of bgr8 (CV_8UC3): the rows of the next grid row's
    // windows, whose channel sums are kept.
    void startRows(const cv::Mat& bgr8, int y0, int y1);
    // The light of window w (within those rows, at most 16 x 16) of bgr8 and
    // its dark channel dark8 (CV_8UC1), on the 0..255 scale, channels 0..2.
    void estimate(const cv::Rect& w, const cv::Mat& bgr8, const cv::Mat& dark8, int r, int kTop,
                  double light[3]) const;

private:
    int y0_ = 0, stride_ = 0;
    std::vector<short> sums_;  // b + g + r per pixel, zero columns after each row
};

}  // namespace nightdehaze::detail
