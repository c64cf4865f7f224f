#include "reference/pad_symmetric_literal.hpp"

namespace literal {
namespace {

// Image index that padded index x (may be outside 0..n-1) reads when the image
// is reflected over and over with its edges repeated: period 2n.
int reflectedIndex(int x, int n) {
    int m = ((x % (2 * n)) + 2 * n) % (2 * n);
    return m < n ? m : 2 * n - 1 - m;
}

void padByReflectedIndex(int r, cv::Mat& dst, const cv::Mat& src) {
    cv::Mat grey;
    src.convertTo(grey, CV_8U);
    cv::Mat P = cv::Mat::zeros(src.rows + 2 * r, src.cols + 2 * r, CV_8UC1);
    for (int y = 0; y < P.rows; ++y)
        for (int x = 0; x < P.cols; ++x)
            P.at<uchar>(y, x) = grey.at<uchar>(reflectedIndex(y - r, src.rows), reflectedIndex(x - r, src.cols));
    dst = P.clone();
}

}  // namespace

void padSymmetric(int r, cv::Mat& dst, cv::Mat src) {
    const int R = src.rows, C = src.cols;
    if (r > R || r > C) {
        padByReflectedIndex(r, dst, src);
        return;
    }
    cv::Mat P = cv::Mat::zeros(R + 2 * r, C + 2 * r, CV_8UC1);
    src.convertTo(P(cv::Range(r, R + r), cv::Range(r, C + r)), CV_8U);

    cv::Mat top, bottom, left, right;
    cv::flip(src.rowRange(0, r), top, 0);
    top.convertTo(P(cv::Range(0, r), cv::Range(r, C + r)), CV_8U);
    cv::flip(src.rowRange(R - r, R), bottom, 0);
    bottom.convertTo(P(cv::Range(R + r, R + 2 * r), cv::Range(r, C + r)), CV_8U);

    cv::flip(P.colRange(r, 2 * r), left, 1);
    left.copyTo(P.colRange(0, r));
    cv::flip(P.colRange(C, C + r), right, 1);
    right.copyTo(P.colRange(C + r, C + 2 * r));

    dst = P.clone();
}

}  // namespace literal
