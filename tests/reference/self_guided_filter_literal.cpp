#include "reference/self_guided_filter_literal.hpp"

#include "reference/box_filter_literal.hpp"
#include "reference/guided_filter_gray_literal.hpp"

namespace literal {

cv::Mat selfGuidedFilter(int r, const cv::Mat& plane, const cv::Mat& eps) {
    auto box = [r](const cv::Mat& x) { cv::Mat s; cumBoxFilter(r, s, x); return s; };
    const cv::Mat n = box(cv::Mat::ones(plane.size(), CV_64F));
    const cv::Mat mean = box(plane) / n;
    const cv::Mat variance = box(plane.mul(plane)) / n - mean.mul(mean);
    const cv::Mat a = divideOrZero(variance, variance + eps);
    const cv::Mat b = mean - a.mul(mean);
    return (box(a) / n).mul(plane) + box(b) / n;
}

cv::Mat selfGuidedFilterFading(int r, const cv::Mat& plane, double eps, double fullBelow,
                               double noneAbove) {
    cv::Mat n, sums;
    cumBoxFilter(r, n, cv::Mat::ones(plane.size(), CV_64F));
    cumBoxFilter(r, sums, plane);
    const cv::Mat mean = sums / n;
    cv::Mat epsOfWindow(plane.size(), CV_64F);
    for (int y = 0; y < plane.rows; ++y)
        for (int x = 0; x < plane.cols; ++x) {
            const double m = mean.at<double>(y, x);
            double e = eps * ((noneAbove - m) / (noneAbove - fullBelow));
            if (m <= fullBelow) e = eps;
            if (m >= noneAbove) e = 0.0;
            epsOfWindow.at<double>(y, x) = e;
        }
    return selfGuidedFilter(r, plane, epsOfWindow);
}

}  // namespace literal
