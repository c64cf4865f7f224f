#include "reference/clean_chroma_literal.hpp"

#include "core/exact/exact_arithmetic.hpp"
#include "reference/box_filter_literal.hpp"

#include <algorithm>
#include <vector>

namespace literal {

cv::Mat suppressDarkChroma(const cv::Mat& bgr8) {
    const int r = 3;
    cv::Mat luma(bgr8.size(), CV_64F);
    std::vector<cv::Mat> chroma(3, cv::Mat(bgr8.size(), CV_64F));
    for (cv::Mat& c : chroma) c = cv::Mat(bgr8.size(), CV_64F);
    for (int y = 0; y < bgr8.rows; ++y)
        for (int x = 0; x < bgr8.cols; ++x) {
            const cv::Vec3b p = bgr8.at<cv::Vec3b>(y, x);
            const double l = 0.114 * p[0] + 0.587 * p[1] + 0.299 * p[2];
            luma.at<double>(y, x) = l;
            for (int k = 0; k < 3; ++k) chroma[k].at<double>(y, x) = p[k] - l;
        }
    auto mean = [&](const cv::Mat& plane) {
        cv::Mat sums, counts;
        cumBoxFilter(r, sums, plane);
        cumBoxFilter(r, counts, cv::Mat::ones(plane.size(), CV_64F));
        return cv::Mat(sums / counts);
    };
    const cv::Mat meanLuma = mean(luma);
    std::vector<cv::Mat> meanChroma;
    for (const cv::Mat& c : chroma) meanChroma.push_back(mean(c));
    cv::Mat result(bgr8.size(), CV_8UC3);
    for (int y = 0; y < bgr8.rows; ++y)
        for (int x = 0; x < bgr8.cols; ++x) {
            const double m = meanLuma.at<double>(y, x);
            const double share = m <= 24.0 ? 1.0 : m >= 64.0 ? 0.0 : (64.0 - m) / (64.0 - 24.0);
            double c[3];
            for (int k = 0; k < 3; ++k) {
                const double own = chroma[k].at<double>(y, x);
                c[k] = own + share * (meanChroma[k].at<double>(y, x) - own);
            }
            const double l = luma.at<double>(y, x);
            const double lowest = std::min({c[0], c[1], c[2]});
            const double scale = l + lowest < 0.0 ? l / -lowest : 1.0;
            for (int k = 0; k < 3; ++k)
                result.at<cv::Vec3b>(y, x)[k] = nightdehaze::detail::roundToByte(l + c[k] * scale);
        }
    return result;
}

}  // namespace literal
