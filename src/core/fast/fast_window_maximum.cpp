#include "core/fast/fast_window_maximum.hpp"

#include "core/runtime/vector_kernels.hpp"

#include <opencv2/core/utility.hpp>

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <vector>

namespace nightdehaze::detail {

namespace {

// Columns' maxima over rows [top, bottom), then the row's maxima over 2h + 1
// of them (the padding at -inf stands for the clipped border): spans of 1,
// 2, 4, ... columns doubled in place up to the largest power of two P within
// the window, whose maximum is that of the two spans of P at its ends.
NIGHTDEHAZE_KERNEL_INLINE void maximumRow(const cv::Mat& src, int top, int bottom, int h, float* __restrict padded,
                                          float* __restrict out) {
    const int n = src.cols, width = 2 * h + 1;
    for (int x = 0; x < h; ++x) padded[x] = -std::numeric_limits<float>::infinity();  // the last row doubled over it
    float* column = padded + h;
    const float* first = src.ptr<float>(top);
    for (int x = 0; x < n; ++x) column[x] = first[x];
    for (int y = top + 1; y < bottom; ++y) {
        const float* row = src.ptr<float>(y);
        for (int x = 0; x < n; ++x) column[x] = column[x] > row[x] ? column[x] : row[x];
    }
    int span = 1;
    for (; 2 * span <= width; span *= 2) {
        const int count = n + width - 2 * span;  // the spans that stay inside the padded row
        for (int x = 0; x < count; ++x) padded[x] = padded[x] > padded[x + span] ? padded[x] : padded[x + span];
    }
    const float* __restrict spans = padded;
    for (int x = 0; x < n; ++x)
        out[x] = spans[x] > spans[x + width - span] ? spans[x] : spans[x + width - span];
}

void maximumRowBaseline(const cv::Mat& src, int top, int bottom, int h, float* padded, float* out) {
    maximumRow(src, top, bottom, h, padded, out);
}

NIGHTDEHAZE_AVX2_TARGET void maximumRowAvx2(const cv::Mat& src, int top, int bottom, int h, float* padded,
                                            float* out) {
    maximumRow(src, top, bottom, h, padded, out);
}

}  // namespace

void fastWindowMaximum(int h, const cv::Mat& src, cv::Mat& dst) {
    if (h < 0 || src.type() != CV_32FC1)
        throw std::invalid_argument("fastWindowMaximum: expected a CV_32FC1 plane and h >= 0");
    cv::Mat result(src.size(), CV_32FC1);
    cv::parallel_for_(cv::Range(0, src.rows), [&](const cv::Range& range) {
        std::vector<float> padded(src.cols + 2 * static_cast<size_t>(h), -std::numeric_limits<float>::infinity());
        const auto maximum = avx2Kernels() ? maximumRowAvx2 : maximumRowBaseline;
        for (int y = range.start; y < range.end; ++y)
            maximum(src, std::max(0, y - h), std::min(src.rows, y + h + 1), h, padded.data(), result.ptr<float>(y));
    });
    dst = result;
}

}  // namespace nightdehaze::detail
