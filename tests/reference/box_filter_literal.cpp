#include "reference/box_filter_literal.hpp"

#include <algorithm>

namespace literal {

void cumBoxFilter(int r, cv::Mat& dst, cv::Mat src) {
    src.convertTo(src, CV_64F);
    const int H = src.rows, W = src.cols;
    cv::Mat C = cv::Mat::zeros(H, W, CV_64F), D = cv::Mat::zeros(H, W, CV_64F);
    for (int j = 0; j < W; ++j) C.at<double>(0, j) = src.at<double>(0, j);
    for (int i = 1; i < H; ++i)
        for (int j = 0; j < W; ++j) C.at<double>(i, j) = src.at<double>(i, j) + C.at<double>(i - 1, j);
    for (int i = 0; i < H; ++i)
        for (int j = 0; j < W; ++j) {
            if (i <= r) D.at<double>(i, j) = C.at<double>(std::min(i + r, H - 1), j);
            else if (i < H - r) D.at<double>(i, j) = C.at<double>(i + r, j) - C.at<double>(i - r - 1, j);
            else D.at<double>(i, j) = C.at<double>(H - 1, j) - C.at<double>(i - r - 1, j);
        }
    for (int i = 0; i < H; ++i) {
        C.at<double>(i, 0) = D.at<double>(i, 0);
        for (int j = 1; j < W; ++j) C.at<double>(i, j) = D.at<double>(i, j) + C.at<double>(i, j - 1);
    }
    for (int i = 0; i < H; ++i)
        for (int j = 0; j < W; ++j) {
            if (j <= r) D.at<double>(i, j) = C.at<double>(i, std::min(j + r, W - 1));
            else if (j < W - r) D.at<double>(i, j) = C.at<double>(i, j + r) - C.at<double>(i, j - r - 1);
            else D.at<double>(i, j) = C.at<double>(i, W - 1) - C.at<double>(i, j - r - 1);
        }
    dst = D.clone();
}

cv::Mat clippedWindowSums(int r, const cv::Mat& src64) {
    cv::Mat out(src64.size(), CV_64F);
    for (int i = 0; i < src64.rows; ++i)
        for (int j = 0; j < src64.cols; ++j) {
            double s = 0;
            for (int k = std::max(0, i - r); k <= std::min(src64.rows - 1, i + r); ++k)
                for (int l = std::max(0, j - r); l <= std::min(src64.cols - 1, j + r); ++l)
                    s += src64.at<double>(k, l);
            out.at<double>(i, j) = s;
        }
    return out;
}

}  // namespace literal
