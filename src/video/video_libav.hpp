#pragma once
// Small owners and helpers for the FFmpeg objects of the video path.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswscale/swscale.h>
}

#include <memory>
#include <string>

namespace nightdehaze::video {

struct PacketFree {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct FrameFree {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct CodecFree {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct ScaleFree {
    void operator()(SwsContext* s) const { sws_freeContext(s); }
};
using PacketPtr = std::unique_ptr<AVPacket, PacketFree>;
using FramePtr = std::unique_ptr<AVFrame, FrameFree>;
using CodecPtr = std::unique_ptr<AVCodecContext, CodecFree>;
using ScalePtr = std::unique_ptr<SwsContext, ScaleFree>;

// The first video stream with a decoder that is a stream of frames, not a
// cover picture; -1 when there is none.
int firstVideoStream(const AVFormatContext* format);

// FFmpeg's text for an error code.
std::string libavError(int code);

// The matrix the tool converts between Y'CbCr and BGR with for a stream of
// this colour space and height: its own when stated, else what players assume
// (BT.709 from 720 lines up, BT.601 below).
AVColorSpace effectiveColorSpace(AVColorSpace declared, int height);

// swscale's coefficient table for such a colour space.
const int* scaleCoefficients(AVColorSpace space);

// Keeps FFmpeg's own diagnostics off standard error: the tool reports in
// lines of its own. Call once, before opening anything.
void silenceLibav();

}  // namespace nightdehaze::video
