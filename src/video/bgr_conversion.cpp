#include "video/bgr_conversion.hpp"

namespace nightdehaze::video {

cv::Mat BgrConversion::convert(const AVFrame* frame, AVColorSpace space, cv::Size size) {
    if (size.empty()) size = cv::Size(frame->width, frame->height);
    const auto format = static_cast<AVPixelFormat>(frame->format);
    SwsContext* scale = sws_getCachedContext(scale_.release(), frame->width, frame->height, format, size.width,
                                             size.height, AV_PIX_FMT_BGR24,
                                             SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT, nullptr, nullptr,
                                             nullptr);
    scale_.reset(scale);
    if (!scale) return cv::Mat();
    const int* coefficients = scaleCoefficients(space);
    const int fullRange = frame->color_range == AVCOL_RANGE_JPEG ? 1 : 0;
    constexpr int kUnit = 1 << 16;  // swscale's fixed-point 1.0
    sws_setColorspaceDetails(scale, coefficients, fullRange, coefficients, 1, 0, kUnit, kUnit);
    cv::Mat bgr(size, CV_8UC3);
    uint8_t* planes[4] = {bgr.data, nullptr, nullptr, nullptr};
    int strides[4] = {static_cast<int>(bgr.step), 0, 0, 0};
    sws_scale(scale, frame->data, frame->linesize, 0, frame->height, planes, strides);
    return bgr;
}

}  // namespace nightdehaze::video
