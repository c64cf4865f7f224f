#pragma once
// Reading a video file: its first video stream decoded to BGR frames, the
// packets of its other streams handed on unchanged.
#include "video/bgr_conversion.hpp"
#include "video/video_libav.hpp"

#include <opencv2/core.hpp>

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace nightdehaze::video {

// True when path is a regular file whose content (not its name) is a
// container or stream that FFmpeg can demultiplex, other than a single
// picture, holding a video stream with a decoder. Reads only the first bytes
// of the file; never throws.
bool isVideoFile(const std::string& path);

// The container path's content names (whatever its name says), opened and
// probed, or nullptr unless it holds a video stream with a decoder. The
// caller closes it with avformat_close_input.
AVFormatContext* openVideoContainer(const std::string& path);

struct DecodedFrame {
    cv::Mat bgr;          // CV_8UC3, the coded size, not rotated
    std::int64_t pts = 0; // presentation time in the video stream's time base
};

class VideoInput {
public:
    using Warn = std::function<void(const std::string&)>;

    // Opens path and the decoder of its first video stream. Throws
    // std::runtime_error naming the path and the reason. warn receives one
    // line per gap of corrupt frames and one when the input ends early.
    VideoInput(const std::string& path, Warn warn);
    ~VideoInput();
    VideoInput(const VideoInput&) = delete;
    VideoInput& operator=(const VideoInput&) = delete;

    const AVFormatContext* container() const { return format_; }
    const AVStream* videoStream() const { return format_->streams[videoIndex_]; }
    AVRational frameRate() const;         // nominal rate, for the encoder and the smoothing
    long long expectedFrames() const;     // from the container's header, or 0 when unknown
    AVColorSpace colorSpace() const { return colorSpace_; }

    // Reads on to the next frame, handing the packets of every other stream
    // met on the way to otherPacket (in the stream's own time base). A corrupt
    // frame whose timestamp is known comes back as a repeat of the good frame
    // before it at that timestamp, so the clip keeps its length and frame
    // count; others (no timestamp, or no good frame yet) are left out. False
    // once no frame is left.
    bool next(DecodedFrame& frame, const std::function<void(AVPacket*)>& otherPacket);

    // Moves to the last key frame of the video stream at or before pts (its
    // time base) and forgets every frame before: next() goes on from there,
    // and the end of the input is no longer checked against the frames it
    // declares. Throws std::runtime_error when the container cannot seek.
    void seekTo(std::int64_t pts);

    // The timestamp of the last key frame at or before pts, from the
    // container's index or by reading packets (never decoding); the
    // stream's first timestamp when none comes before. Leaves the input
    // positioned there: call seekTo before reading frames again.
    std::int64_t keyFrameAtOrBefore(std::int64_t pts);

    std::int64_t startTime() const;         // of the video stream's first frame, in its time base
    double declaredSeconds() const;         // of the video stream, else the container; 0 when unknown

private:
    void pump(const std::function<void(AVPacket*)>& otherPacket);
    bool receive();
    void feed(AVPacket* packet);
    void deliver(cv::Mat bgr, std::int64_t pts);
    void repeatMissingBefore(std::int64_t pts);
    void noteCorrupt(std::int64_t pts);
    void noteLostBefore(std::int64_t pts);
    bool notedAt(std::int64_t pts) const;
    void forgetNotesAt(std::int64_t pts);
    void takeUntimedNote();
    std::int64_t frameTicks() const;      // one nominal frame in the stream's time base
    std::int64_t sameTimeTicks() const;   // timestamps this close are one frame's
    void reportGaps();
    void reportEnd();
    bool endsBeforeItsDuration() const;
    cv::Mat toBgr(const AVFrame* frame);
    double secondsAt(std::int64_t pts) const;

    std::string path_;
    Warn warn_;
    AVFormatContext* format_ = nullptr;
    int videoIndex_ = -1;
    CodecPtr decoder_;
    PacketPtr packet_;
    FramePtr frame_;
    BgrConversion toBgr_;
    AVColorSpace colorSpace_ = AVCOL_SPC_UNSPECIFIED;
    bool draining_ = false;
    bool finished_ = false;
    bool readFailed_ = false;
    std::string readError_;
    long long decoded_ = 0;
    long long corruptTotal_ = 0;
    std::vector<std::int64_t> missing_;   // timestamps of corrupt frames not yet placed
    // A corrupt frame placed as a repeat or left out, not yet reported.
    struct Resolved {
        long long goodBefore;   // good frames delivered before it: its gap
        std::int64_t after;     // time of the last good frame before it
        bool repeated;
        bool timed;             // noted with a timestamp
    };
    std::vector<Resolved> resolved_;
    std::deque<DecodedFrame> ready_;
    cv::Mat lastGood_;
    std::int64_t lastPts_ = AV_NOPTS_VALUE;   // of the last frame delivered
    std::int64_t lastGoodPts_ = AV_NOPTS_VALUE;  // of the last decoded (not repeated) frame
    bool regularSoFar_ = true;                // every step so far one nominal frame
    bool sought_ = false;                     // read from a key frame on, not from the start
};

}  // namespace nightdehaze::video
