#pragma once
// Decoded frames to the 8-bit BGR pictures the enhancement takes.
#include "video/video_libav.hpp"

#include <opencv2/core.hpp>

namespace nightdehaze::video {

// Converts frames of one stream, reusing its swscale context while the frame
// format stays the same.
class BgrConversion {
public:
    // Converts with the Y'CbCr matrix of space, from the frame's own range,
    // to a new CV_8UC3 picture of size (the frame's own size when empty;
    // else scaled bicubically). Returns an empty matrix when swscale cannot
    // convert the frame's format.
    cv::Mat convert(const AVFrame* frame, AVColorSpace space, cv::Size size = cv::Size());

private:
    ScalePtr scale_;
};

}  // namespace nightdehaze::video
