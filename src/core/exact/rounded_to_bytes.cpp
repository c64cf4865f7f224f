#include "core/exact/rounded_to_bytes.hpp"

#include "core/exact/exact_arithmetic.hpp"

#include <stdexcept>

namespace nightdehaze::detail {

namespace {

constexpr int kOpenCvScaleBlock = 8;  // two 4-lane float vectors per step of OpenCV's baseline loop

void requireDoubles(const cv::Mat& src) {
    if (src.depth() != CV_64F) throw std::invalid_argument("converting to 8 bits: the image must hold doubles");
}

// Calls convert(in, out, length) on each row of src, or once for a continuous image.
template <typename Convert>
cv::Mat convertedRows(const cv::Mat& src, Convert convert) {
    requireDoubles(src);
    cv::Mat dst(src.size(), CV_MAKETYPE(CV_8U, src.channels()));
    const bool whole = src.isContinuous();
    const int rows = whole ? 1 : src.rows;
    const int length = static_cast<int>(whole ? src.total() * src.channels() : src.cols * src.channels());
    for (int y = 0; y < rows; ++y) convert(src.ptr<double>(y), dst.ptr<uchar>(y), length);
    return dst;
}

}  // namespace

cv::Mat roundedToBytes(const cv::Mat& src) {
    return convertedRows(src, [](const double* in, uchar* out, int length) {
        for (int x = 0; x < length; ++x) out[x] = roundToByte(in[x]);
    });
}

cv::Mat scaledToBytes(const cv::Mat& src, double scale) {
    const float factor = static_cast<float>(scale);
    return convertedRows(src, [factor](const double* in, uchar* out, int length) {
        if (length < kOpenCvScaleBlock) {
            for (int x = 0; x < length; ++x) out[x] = roundToByte(in[x] * double(factor) + 0.0);
            return;
        }
        for (int x = 0; x < length; ++x) out[x] = roundToByte(static_cast<float>(in[x]) * factor + 0.0f);
    });
}

}  // namespace nightdehaze::detail
