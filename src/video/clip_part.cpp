#include "video/clip_part.hpp"

#include "files/usage_error.hpp"
#include "video/frames_in_flight.hpp"
#include "video/video_input.hpp"
#include "video/video_output.hpp"

#include <opencv2/core/utility.hpp>

#include <algorithm>
#include <deque>
#include <stdexcept>

namespace nightdehaze::video {

namespace {

// A frame in flight: its timestamp, and whether it is written or only warms
// the smoothing up.
struct InFlight {
    std::int64_t pts;
    bool written;
};

}  // namespace

long long enhanceSpan(VideoInput& input, const files::Options& job, const ClipSpan& span,
                      const std::function<void(AVPacket*)>& otherPacket,
                      const std::function<void(const cv::Mat&, std::int64_t)>& write) {
    // Per frame, a frame depends on nothing before it: no warm-up.
    const std::int64_t firstRead = job.perFrame ? span.from : std::min(span.warmFrom, span.from);
    if (!span.wholeClip() && firstRead > input.startTime()) input.seekTo(firstRead);
    nightdehaze::VideoOptions options;
    options.framesPerSecond = av_q2d(input.frameRate());
    options.steady = !job.perFrame;
    options.parallelFrames = std::max(1, cv::getNumThreads());
    checkFramesFitMemory(input, job.inputPath, options.parallelFrames + 1);

    nightdehaze::VideoEnhancer enhancer(job.context, options);
    std::deque<InFlight> inFlight;  // oldest first
    long long written = 0;
    const auto take = [&](const cv::Mat& enhanced) {
        const InFlight frame = inFlight.front();
        inFlight.pop_front();
        if (!frame.written) return;
        write(enhanced, frame.pts);
        ++written;
    };
    DecodedFrame frame;
    // The decoder hands frames on in presentation order: the first at or past
    // the span's end closes it.
    while (input.next(frame, otherPacket) && frame.pts < span.to) {
        if (frame.pts < firstRead) continue;  // decoded from the key frame before, not part of the span
        inFlight.push_back({frame.pts, frame.pts >= span.from});
        const cv::Mat enhanced = enhancer.push(frame.bgr);
        if (!enhanced.empty()) take(enhanced);
    }
    for (const cv::Mat& enhanced : enhancer.flush()) take(enhanced);
    return written;
}

long long runClipPart(const files::Options& job, const std::string& partPath, const ClipSpan& span) {
    if (job.writeMaps) throw files::UsageError("--maps writes pictures of one picture's maps; it does not apply to video");
    const bool whole = span.wholeClip();
    VideoInput input(job.inputPath, [](const std::string&) {});
    OutputPlacement placement;
    placement.inPlace = true;
    placement.otherStreams = whole;
    VideoOutput output(partPath, input, [](const std::string&) {},
                       job.context.fast ? EncoderPace::keepUp : EncoderPace::balanced, placement);
    const long long written = enhanceSpan(
        input, job, span, [&output, whole](AVPacket* packet) { if (whole) output.copyPacket(packet); },
        [&output](const cv::Mat& enhanced, std::int64_t pts) { output.writeFrame(enhanced, pts); });
    if (written == 0)
        throw std::runtime_error("cannot read '" + job.inputPath + "': no frame of its video could be decoded" +
                                 (whole ? "" : " in the part asked for"));
    output.finish();
    return written;
}

}  // namespace nightdehaze::video
