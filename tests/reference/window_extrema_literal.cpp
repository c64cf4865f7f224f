#include "reference/window_extrema_literal.hpp"

#include <algorithm>

namespace literal {

cv::Rect box(int i, int j, int h, int H, int W) {
    const int top = std::max(i - h, 0), bottom = std::min(i + h + 1, H);
    const int left = std::max(j - h, 0), right = std::min(j + h + 1, W);
    return cv::Rect(left, top, right - left, bottom - top);
}

namespace {

void windowExtremum(int h, cv::Mat& dst, const cv::Mat& src, bool maximum) {
    cv::Mat out(src.size(), CV_64F);
    for (int i = 0; i < src.rows; ++i) {
        for (int j = 0; j < src.cols; ++j) {
            double lowest = 0, highest = 0;
            cv::minMaxLoc(src(box(i, j, h, src.rows, src.cols)), &lowest, &highest);
            out.at<double>(i, j) = maximum ? highest : lowest;
        }
    }
    out.convertTo(dst, src.type());
}

}  // namespace

void windowMinimum(int h, cv::Mat& dst, const cv::Mat& src) { windowExtremum(h, dst, src, false); }
void windowMaximum(int h, cv::Mat& dst, const cv::Mat& src) { windowExtremum(h, dst, src, true); }

}  // namespace literal
