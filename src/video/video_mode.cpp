#include "video/video_mode.hpp"

#include "files/output_name.hpp"
#include "files/same_file.hpp"
#include "video/frames_in_flight.hpp"
#include "video/video_input.hpp"
#include "video/video_output.hpp"
#include "video/video_progress.hpp"

#include <opencv2/core/utility.hpp>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <iostream>
#include <stdexcept>

namespace nightdehaze::video {

namespace {

std::string outputPathOf(const files::Options& job) {
    return job.outputPath ? *job.outputPath : files::derivedVideoOutputPath(job.inputPath);
}

}  // namespace

void runVideo(const files::Options& job) {
    if (job.writeMaps) throw files::UsageError("--maps writes pictures of one picture's maps; it does not apply to video");
    const std::string outputPath = outputPathOf(job);
    files::refuseOutputsOverInput(job.inputPath, {outputPath});
    if (!canWriteVideoTo(outputPath))
        throw files::UsageError("cannot write a video to '" + outputPath +
                         "': its format holds no H.264 or MPEG-4 video (name a .mp4, .mkv, .mov or .avi output with -o)");
    VideoProgress progress;
    const auto warn = [&progress](const std::string& text) { progress.warn(text); };
    VideoInput input(job.inputPath, warn);
    progress.expect(input.expectedFrames());

    nightdehaze::VideoOptions options;
    options.framesPerSecond = av_q2d(input.frameRate());
    options.steady = !job.perFrame;
    options.parallelFrames = std::max(1, cv::getNumThreads());
    checkFramesFitMemory(input, job.inputPath, options.parallelFrames + 1);

    VideoOutput output(outputPath, input, warn, job.context.fast ? EncoderPace::keepUp : EncoderPace::balanced);
    nightdehaze::VideoEnhancer enhancer(job.context, options, &std::cout);
    std::deque<std::int64_t> timestamps;  // of the frames in flight, oldest first
    const auto write = [&](const cv::Mat& enhanced) {
        output.writeFrame(enhanced, timestamps.front());
        timestamps.pop_front();
        progress.frameDone();
    };
    DecodedFrame frame;
    while (input.next(frame, [&output](AVPacket* packet) { output.copyPacket(packet); })) {
        timestamps.push_back(frame.pts);
        const cv::Mat enhanced = enhancer.push(frame.bgr);
        if (!enhanced.empty()) write(enhanced);
    }
    for (const cv::Mat& enhanced : enhancer.flush()) write(enhanced);
    progress.finish();
    if (progress.framesDone() == 0)
        throw std::runtime_error("cannot read '" + job.inputPath + "': no frame of its video could be decoded");
    output.finish();
}

}  // namespace nightdehaze::video
