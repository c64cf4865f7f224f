#include "core/stages/bytes_divided_by_map.hpp"

#include "core/exact/exact_arithmetic.hpp"

#include <opencv2/core/utility.hpp>

#include <stdexcept>

namespace nightdehaze::detail {

cv::Mat bytesDividedByMap(const cv::Mat& image8u, const cv::Mat& map) {
    if (image8u.size() != map.size() || image8u.channels() != map.channels() ||
        image8u.depth() != CV_8U || map.depth() != CV_64F)
        throw std::invalid_argument(
            "bytesDividedByMap: expected an 8-bit image and a CV_64F map of its shape");
    cv::Mat result(image8u.size(), image8u.type());
    const int width = image8u.cols * image8u.channels();
    cv::parallel_for_(cv::Range(0, image8u.rows), [&](const cv::Range& range) {
        for (int i = range.start; i < range.end; ++i) {
            const uchar* a = image8u.ptr<uchar>(i);
            const double* b = map.ptr<double>(i);
            uchar* out = result.ptr<uchar>(i);
            for (int j = 0; j < width; ++j) out[j] = roundToByte(b[j] != 0.0 ? a[j] / b[j] : 0.0);
        }
    });
    return result;
}

}  // namespace nightdehaze::detail
