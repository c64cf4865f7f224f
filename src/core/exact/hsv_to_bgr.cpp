#include "core/exact/hsv_to_bgr.hpp"

#include "core/exact/exact_arithmetic.hpp"
#include "core/runtime/vector_kernels.hpp"

#include <opencv2/core/utility.hpp>

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace nightdehaze::detail {

namespace {

constexpr float kHueScale = 6.0f / 180;          // sectors per unit of 8-bit hue
constexpr float kInverseByte = 1.0f / 255.0f;
constexpr float kByte = 255.0f;
constexpr int kVectorBlock = 16;                 // pixels per block of OpenCV's baseline loop

// Which of v, p = v(1-s), q = v(1-sh) and t = v(1-s(1-h)) each of b, g, r
// takes in sector 0..5, as selects (so that a loop of them vectorises).
NIGHTDEHAZE_KERNEL_INLINE void bySector(int sector, float v, float p, float q, float t, float& b, float& g,
                                        float& r) {
    b = sector < 2 ? p : (sector == 2 ? t : (sector < 5 ? v : q));
    g = sector == 0 ? t : (sector < 3 ? v : (sector == 3 ? q : p));
    r = sector == 0 || sector == 5 ? v : (sector == 1 ? q : (sector < 4 ? p : t));
}

// The vector formula along n <= kPiece pixels of a row: sector from the
// truncated hue, 8 bits by truncation; the loop runs in vector registers
// (the same IEEE operations lane by lane).
constexpr int kPiece = 256;
NIGHTDEHAZE_KERNEL_INLINE void vectorPixels(const uchar* __restrict hsv, int n, uchar* __restrict bgr) {
    float b[kPiece], g[kPiece], r[kPiece];
    for (int x = 0; x < n; ++x) {
        const float s = static_cast<float>(hsv[3 * x + 1]) * kInverseByte;
        const float v = static_cast<float>(hsv[3 * x + 2]) * kInverseByte;
        float h = static_cast<float>(hsv[3 * x]) * kHueScale;
        const float whole = static_cast<float>(static_cast<int>(h));
        h = h - whole;
        const float p = v * (1.0f - s), q = v * (1.0f - s * h), t = v * (1.0f - s * (1.0f - h));
        const float turns = static_cast<float>(static_cast<int>(whole * (1.0f / 6.0f)));
        const int sector = static_cast<int>(whole - turns * 6.0f);
        bySector(sector, v, p, q, t, b[x], g[x], r[x]);
    }
    for (int x = 0; x < n; ++x) {
        bgr[3 * x] = static_cast<uchar>(static_cast<int>(b[x] * kByte));  // 0 <= value <= 255
        bgr[3 * x + 1] = static_cast<uchar>(static_cast<int>(g[x] * kByte));
        bgr[3 * x + 2] = static_cast<uchar>(static_cast<int>(r[x] * kByte));
    }
}

// The scalar formula: hue reduced below 6 by repeated subtraction, 8 bits by
// rounding.
void scalarPixel(const uchar* hsv, uchar* bgr) {
    const float s = static_cast<float>(hsv[1]) * kInverseByte;
    const float v = static_cast<float>(hsv[2]) * kInverseByte;
    float out[3] = {v, v, v};
    if (s != 0) {
        float h = static_cast<float>(hsv[0]) * kHueScale;
        while (h >= 6) h -= 6;
        int sector = static_cast<int>(std::floor(h));
        h -= static_cast<float>(sector);
        if (sector >= 6) sector = 0, h = 0.0f;
        bySector(sector, v, v * (1.0f - s), v * (1.0f - s * h), v * (1.0f - s * (1.0f - h)), out[0], out[1], out[2]);
    }
    for (int c = 0; c < 3; ++c) bgr[c] = roundToByte(out[c] * kByte);
}

}  // namespace

cv::Mat hsvToBgr(const cv::Mat& hsv) {
    if (hsv.type() != CV_8UC3) throw std::invalid_argument("hsvToBgr: expected a CV_8UC3 image");
    cv::Mat bgr(hsv.size(), CV_8UC3);
    cv::parallel_for_(cv::Range(0, hsv.rows), [&](const cv::Range& range) {
        for (int i = range.start; i < range.end; ++i) {
            const uchar* in = hsv.ptr<uchar>(i);
            uchar* out = bgr.ptr<uchar>(i);
            const int blocked = hsv.cols / kVectorBlock * kVectorBlock;
            withVectorKernels([&]() NIGHTDEHAZE_LAMBDA_INLINE {
                for (int j = 0; j < blocked; j += kPiece)
                    vectorPixels(in + 3 * j, std::min(kPiece, blocked - j), out + 3 * j);
            });
            for (int j = blocked; j < hsv.cols; ++j) scalarPixel(in + 3 * j, out + 3 * j);
        }
    });
    return bgr;
}

}  // namespace nightdehaze::detail
