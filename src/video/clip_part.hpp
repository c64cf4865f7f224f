#pragma once
// One part of a clip, for a batch that shares a long clip among workers: the
// frames of a span of timestamps enhanced as the whole run would enhance them
// and written to a file of their own, which a join puts back together.
#include "files/options.hpp"
#include "video/video_input.hpp"

#include <opencv2/core.hpp>

#include <cstdint>
#include <functional>
#include <limits>
#include <string>

namespace nightdehaze::video {

// A span of the video stream's timestamps (its time base). Frames in
// [from, to) are written; in steady mode the frames from warmFrom on (a key
// frame at or before from) are enhanced first so that the smoothing reaches
// from in the state the whole run has there, and dropped.
struct ClipSpan {
    std::int64_t from = std::numeric_limits<std::int64_t>::min();
    std::int64_t to = std::numeric_limits<std::int64_t>::max();
    std::int64_t warmFrom = std::numeric_limits<std::int64_t>::min();
    bool wholeClip() const {
        return from == std::numeric_limits<std::int64_t>::min() && to == std::numeric_limits<std::int64_t>::max();
    }
};

// Enhances the frames of span of input (opened, not yet read), seeking to the
// key frame span starts from, with job's options and as many frames at a time
// as the library has threads; hands each frame of the span, enhanced, to
// write with its timestamp, in order, and every packet of the other streams
// met to otherPacket. Returns the frames written.
long long enhanceSpan(VideoInput& input, const files::Options& job, const ClipSpan& span,
                      const std::function<void(AVPacket*)>& otherPacket,
                      const std::function<void(const cv::Mat&, std::int64_t)>& write);

// Enhances span of job.inputPath with job's options into partPath, written
// in place and synced (no temporary: the caller removes it when it is no
// longer needed; a failed run removes it itself). A whole clip's part is the
// tool's own output, audio and subtitles included; any other part holds the
// video alone. Prints nothing. Returns the frames written. Throws
// files::UsageError or std::runtime_error with the tool's message.
long long runClipPart(const files::Options& job, const std::string& partPath, const ClipSpan& span);

}  // namespace nightdehaze::video
