#include "nightdehaze/nightdehaze.hpp"

#include <opencv2/core/utility.hpp>

#include <cmath>
#include <stdexcept>

namespace nightdehaze {

void elementwisePower(cv::Mat& dst, cv::Mat src, double p) {
    if (src.channels() != 1)
        throw std::invalid_argument("elementwisePower: source must have one channel");
    src.convertTo(src, CV_64F);
    cv::Mat result(src.rows, src.cols, CV_64FC1);
    cv::parallel_for_(cv::Range(0, src.rows), [&](const cv::Range& range) {
        for (int i = range.start; i < range.end; ++i) {
            const double* s = src.ptr<double>(i);
            double* out = result.ptr<double>(i);
            for (int j = 0; j < src.cols; ++j) out[j] = std::pow(s[j], p);
        }
    });
    dst = result;
}

}  // namespace nightdehaze
