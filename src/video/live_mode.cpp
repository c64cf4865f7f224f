#include "video/live_mode.hpp"

#include "files/live_source.hpp"
#include "files/memory_budget.hpp"
#include "files/same_file.hpp"
#include "files/usage_error.hpp"
#include "video/live_recording.hpp"
#include "video/live_report.hpp"
#include "video/live_source.hpp"
#include "video/live_stop.hpp"
#include "video/video_output.hpp"
#include "video/video_progress.hpp"

#include <opencv2/core/utility.hpp>

#include <algorithm>
#include <deque>
#include <iostream>
#include <stdexcept>

namespace {

// How long the run waits for a frame before it looks at the enhancer again.
constexpr std::chrono::milliseconds kFrameWait(5);
// The run's clock in MPEG's 90 kHz ticks: every container takes it.
constexpr AVRational kLiveTimeBase{1, 90000};

void checkOutput(const Options& job) {
    if (job.writeMaps) throw UsageError("--maps writes pictures of one picture's maps; it does not apply to video");
    const std::string& output = *job.outputPath;
    if (!isStreamOutput(output)) refuseOutputsOverInput(job.inputPath, {output});
    if (isStreamOutput(output) ? canStreamVideoTo(output) : canWriteVideoTo(output)) return;
    throw UsageError("cannot write a live video to '" + output +
                     "': name a .mkv, .mp4 or .ts file, or a udp://, srt://, tcp:// or rtmp:// stream");
}

VideoShape shapeOf(LiveSource& source) {
    VideoShape shape;
    shape.width = source.size().width;
    shape.height = source.size().height;
    shape.timeBase = kLiveTimeBase;
    shape.frameRate = source.frameRate();
    shape.colorSpace = source.colorSpace();
    return shape;
}

nightdehaze::VideoOptions videoOptions(const Options& job, const LiveSource& source) {
    nightdehaze::VideoOptions options;
    options.framesPerSecond = av_q2d(source.frameRate());
    options.steady = !job.perFrame;
    options.parallelFrames = std::max(1, cv::getNumThreads());
    if (exceedsMachineMemory(cv::Size(source.size().width, source.size().height * (options.parallelFrames + 1))))
        throw std::runtime_error("not enough memory to enhance '" + job.inputPath + "' (" +
                                 std::to_string(source.size().width) + "x" + std::to_string(source.size().height) +
                                 " pixels)");
    return options;
}

// A frame taken by the enhancer, until its enhanced frame is written.
struct InFlight {
    double seconds;
    LiveClock::time_point decodedAt;
};

class LiveRun {
public:
    LiveRun(const Options& job, LiveSource& source, VideoProgress& progress)
        : source_(source), progress_(progress), recording_(*job.outputPath, shapeOf(source), job.segmentSeconds),
          options_(videoOptions(job, source)), workers_(options_.parallelFrames),
          enhancer_(job.context, options_, &std::cout) {}

    // Takes frames until the source ends or a stop is asked for.
    void follow() {
        while (!StopOnSignals::requested() && !source_.ended()) {
            LiveFrame frame;
            if (source_.next(frame, kFrameWait)) take(frame);
            for (const cv::Mat& enhanced : enhancer_.takeReady()) write(enhanced);
        }
        source_.stop();
    }

    // Writes what is in flight and finishes the output.
    void finish() {
        for (const cv::Mat& enhanced : enhancer_.flush()) write(enhanced);
        report_.framesDropped(source_.overrun() + source_.damaged());
        report_.framesLost(source_.lost());
        if (recording_.framesWritten() == 0) throw std::runtime_error("no frame of it could be enhanced");
        recording_.finish();
    }

    const LiveReport& report() const { return report_; }

private:
    // Only a frame that a worker starts on at once: one that waited behind
    // the others would leave later than the next frame from the source.
    void take(const LiveFrame& frame) {
        if (enhancer_.framesInFlight() < workers_) {
            const cv::Mat bgr = source_.toBgr(frame);
            if (!bgr.empty() && enhancer_.offer(bgr, frame.seconds)) {
                inFlight_.push_back({frame.seconds, frame.decodedAt});
                return;
            }
        }
        report_.framesDropped();
        progress_.frameDropped();
    }

    void write(const cv::Mat& enhanced) {
        const InFlight done = inFlight_.front();
        inFlight_.pop_front();
        if (!recording_.write(enhanced, done.seconds)) return report_.framesDropped();
        report_.frameWritten(done.seconds, std::chrono::duration<double>(LiveClock::now() - done.decodedAt).count());
        progress_.frameDone();
    }

    LiveSource& source_;
    VideoProgress& progress_;
    LiveRecording recording_;
    const nightdehaze::VideoOptions options_;
    const int workers_;
    nightdehaze::VideoEnhancer enhancer_;
    std::deque<InFlight> inFlight_;
    LiveReport report_;
};

std::string whyItEnded(LiveSource& source) {
    if (const char* signal = StopOnSignals::signalName()) return std::string("stopped by ") + signal;
    return source.why();
}

}  // namespace

int runLive(const Options& job) {
    checkOutput(job);
    const StopOnSignals stop;
    VideoProgress progress;
    LiveSource source(job.inputPath, *job.reconnectSeconds,
                      [&progress](const std::string& text) { progress.warn(text); });
    LiveRun run(job, source, progress);
    run.follow();
    try {
        run.finish();
    } catch (const std::runtime_error& e) {
        throw std::runtime_error("live source '" + job.inputPath + "' (" + whyItEnded(source) + "): " + e.what());
    }
    progress.finish();
    std::cerr << "nightdehaze: live: " << run.report().summary(whyItEnded(source)) << std::endl;
    return 0;
}
