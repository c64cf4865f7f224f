#include "filters/quotient_or_zero.hpp"

#include <opencv2/core/utility.hpp>

#include <stdexcept>

namespace nightdehaze::detail {

cv::Mat quotientOrZero(const cv::Mat& numerator, const cv::Mat& denominator) {
    if (numerator.size() != denominator.size() || numerator.type() != denominator.type() ||
        numerator.depth() != CV_64F)
        throw std::invalid_argument("quotientOrZero: operands must be CV_64F of one size and type");
    cv::Mat result(numerator.size(), numerator.type());
    const int width = numerator.cols * numerator.channels();
    cv::parallel_for_(cv::Range(0, numerator.rows), [&](const cv::Range& range) {
        for (int i = range.start; i < range.end; ++i) {
            const double* a = numerator.ptr<double>(i);
            const double* b = denominator.ptr<double>(i);
            double* out = result.ptr<double>(i);
            for (int j = 0; j < width; ++j) out[j] = b[j] != 0.0 ? a[j] / b[j] : 0.0;
        }
    });
    return result;
}

}  // namespace nightdehaze::detail
