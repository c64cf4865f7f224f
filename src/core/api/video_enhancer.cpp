#include "core/api/engine.hpp"
#include "core/api/enhance_with_limits.hpp"
#include "core/api/steady_limits.hpp"
#include "core/memory/buffer_reuse.hpp"
#include "core/runtime/run_report.hpp"

#include <opencv2/core/utility.hpp>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <limits>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>

namespace nightdehaze {

using namespace detail;

namespace {

struct Frame {
    long long index;
    double seconds;  // on the stream's clock, NaN when not given
    cv::Mat input;
    cv::Mat output;
    std::exception_ptr failure;
    bool done = false;
};

constexpr NumberRange kAboveZero{0.0, std::numeric_limits<double>::infinity(), false};
constexpr NumberRange kWholeFromZero{0.0, std::numeric_limits<double>::infinity(), true, true, true};

void checkOption(const char* name, const NumberRange& range, double value) {
    if (!range.holds(value))
        throw std::invalid_argument(std::string("VideoEnhancer: ") + outOfRangeMessage(name, range, value));
}

void checkOptions(const VideoOptions& options) {
    checkOption("framesPerSecond", kAboveZero, options.framesPerSecond);
    checkOption("smoothingSeconds", kAboveZero, options.smoothingSeconds);
    checkOption("parallelFrames", kWholeFromZero, options.parallelFrames);
}

// A frame given without its time.
constexpr double kNoTime = std::numeric_limits<double>::quiet_NaN();

void checkTime(const char* call, double seconds) {
    if (!NumberRange().holds(seconds))
        throw std::invalid_argument(std::string(call) + ": " + outOfRangeMessage("seconds", NumberRange(), seconds));
}

}  // namespace

// Frames wait in a queue for one of the workers. The two stretches of frame n
// take their limits only after frame n - 1 has taken its own, in turn, so the
// smoothing sees the frames in order while the filters of several frames run
// at once: a frame waits only for the short light-compensation and
// colour-correction steps of the one before.
struct VideoEnhancer::Pipeline {
    Pipeline(const DehazeContext& context, const VideoOptions& options, std::ostream* stageLines)
        : context(context), steady(options.steady), stageLines(stageLines),
          limits{SteadyLimits(options.framesPerSecond, options.smoothingSeconds),
                 SteadyLimits(options.framesPerSecond, options.smoothingSeconds)} {
        const int workerCount = options.parallelFrames > 0 ? options.parallelFrames
                                                           : std::max(1, cv::getNumThreads());
        capacity = workerCount + 1;
        for (int k = 0; k < workerCount; ++k) workers.emplace_back([this] { work(); });
    }

    ~Pipeline() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            closing = true;
        }
        changed.notify_all();
        for (std::thread& worker : workers) worker.join();
    }

    void work() {
        for (;;) {
            std::shared_ptr<Frame> frame;
            {
                std::unique_lock<std::mutex> lock(mutex);
                changed.wait(lock, [this] { return closing || !waiting.empty(); });
                if (closing) return;
                frame = waiting.front();
                waiting.pop_front();
            }
            enhanceFrame(*frame);
            {
                std::lock_guard<std::mutex> lock(mutex);
                frame->done = true;
                frame->input.release();
            }
            changed.notify_all();
        }
    }

    void enhanceFrame(Frame& frame);
    StretchLimits takeTurn(Stretch stretch, const Frame& frame, const StretchLimits* measured);

    // Queues a copy of frame for the workers.
    void take(const cv::Mat& frame, double seconds) {
        auto taken = std::make_shared<Frame>();
        taken->seconds = seconds;
        taken->input = frame.clone();
        {
            std::lock_guard<std::mutex> lock(mutex);
            taken->index = nextIndex++;
            inFlight.push_back(taken);
            waiting.push_back(taken);
        }
        changed.notify_all();
    }

    bool oldestDone() {
        std::lock_guard<std::mutex> lock(mutex);
        return !inFlight.empty() && inFlight.front()->done;
    }

    cv::Mat collectOldest() {
        std::shared_ptr<Frame> oldest;
        {
            std::unique_lock<std::mutex> lock(mutex);
            oldest = inFlight.front();
            changed.wait(lock, [&] { return oldest->done; });
            inFlight.pop_front();
        }
        if (oldest->failure) std::rethrow_exception(oldest->failure);
        return oldest->output;
    }

    const detail::BufferReuseDuringCall reuse;  // for the enhancer's whole life, between frames too
    const DehazeContext context;
    const bool steady;
    std::ostream* const stageLines;
    int capacity = 1;

    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::shared_ptr<Frame>> inFlight;  // oldest first: taken, not yet returned
    std::deque<std::shared_ptr<Frame>> waiting;   // taken, not yet started
    long long nextIndex = 0;
    std::array<SteadyLimits, kStretchCount> limits;
    std::array<long long, kStretchCount> turn{};  // the frame whose stretch takes its limits next
    bool closing = false;
    std::atomic<bool> stopping{false};
    std::vector<std::thread> workers;
};

namespace {

// The limits and reports of one frame's enhance call.
class FrameRun : public StretchLimitChooser, public ProgressMonitor {
public:
    using TakeTurn = std::function<StretchLimits(Stretch, const StretchLimits*)>;
    FrameRun(TakeTurn takeTurn, std::ostream* stageLines, const std::atomic<bool>& stopping)
        : takeTurn_(std::move(takeTurn)), stageLines_(stageLines), stopping_(stopping) {}

    // A frame that failed before its stretches still passes their turns on.
    ~FrameRun() override {
        for (int k = 0; k < kStretchCount; ++k)
            if (!taken_[k]) takeTurn_(static_cast<Stretch>(k), nullptr);
    }

    StretchLimits choose(Stretch stretch, const StretchLimits& measured) override {
        taken_[static_cast<int>(stretch)] = true;
        return takeTurn_(stretch, &measured);
    }

    void stageBegins(const char* stage) override {
        if (stageLines_) writeStageLine(*stageLines_, stage);
    }

    bool stopRequested() override { return stopping_.load(std::memory_order_relaxed); }

private:
    TakeTurn takeTurn_;
    std::ostream* stageLines_;
    const std::atomic<bool>& stopping_;
    std::array<bool, kStretchCount> taken_{};
};

}  // namespace

StretchLimits VideoEnhancer::Pipeline::takeTurn(Stretch stretch, const Frame& frame,
                                                const StretchLimits* measured) {
    const int k = static_cast<int>(stretch);
    StretchLimits chosen;
    {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return turn[k] == frame.index; });
        if (measured) chosen = steady ? limits[k].next(*measured, frame.seconds) : *measured;
        ++turn[k];
    }
    changed.notify_all();
    return chosen;
}

void VideoEnhancer::Pipeline::enhanceFrame(Frame& frame) {
    try {
        FrameRun run([this, &frame](Stretch s, const StretchLimits* m) { return takeTurn(s, frame, m); },
                     frame.index == 0 ? stageLines : nullptr, stopping);
        frame.output = enhanceChoosingLimits(frame.input, context, nullptr, run, run);
    } catch (...) {
        frame.failure = std::current_exception();
    }
}

VideoEnhancer::VideoEnhancer(const DehazeContext& context, const VideoOptions& options,
                             std::ostream* stageLines) {
    checkOptions(options);
    checkGamma("VideoEnhancer", context.gamma);
    checkEngine("VideoEnhancer", context);
    pipeline_ = std::make_unique<Pipeline>(context, options, stageLines);
}

VideoEnhancer::~VideoEnhancer() {
    pipeline_->stopping = true;
}

cv::Mat VideoEnhancer::push(const cv::Mat& frame) {
    checkPicture("VideoEnhancer::push", "frame", frame);
    return pushTimed(frame, kNoTime);
}

cv::Mat VideoEnhancer::push(const cv::Mat& frame, double seconds) {
    checkPicture("VideoEnhancer::push", "frame", frame);
    checkTime("VideoEnhancer::push", seconds);
    return pushTimed(frame, seconds);
}

bool VideoEnhancer::offer(const cv::Mat& frame) {
    checkPicture("VideoEnhancer::offer", "frame", frame);
    return offerTimed(frame, kNoTime);
}

bool VideoEnhancer::offer(const cv::Mat& frame, double seconds) {
    checkPicture("VideoEnhancer::offer", "frame", frame);
    checkTime("VideoEnhancer::offer", seconds);
    return offerTimed(frame, seconds);
}

cv::Mat VideoEnhancer::pushTimed(const cv::Mat& frame, double seconds) {
    pipeline_->take(frame, seconds);
    if (framesInFlight() < pipeline_->capacity) return cv::Mat();
    return pipeline_->collectOldest();
}

bool VideoEnhancer::offerTimed(const cv::Mat& frame, double seconds) {
    if (framesInFlight() >= pipeline_->capacity) return false;
    pipeline_->take(frame, seconds);
    return true;
}

std::vector<cv::Mat> VideoEnhancer::takeReady() {
    std::vector<cv::Mat> frames;
    while (pipeline_->oldestDone()) frames.push_back(pipeline_->collectOldest());
    return frames;
}

std::vector<cv::Mat> VideoEnhancer::flush() {
    std::vector<cv::Mat> frames;
    while (!pipeline_->inFlight.empty()) frames.push_back(pipeline_->collectOldest());
    return frames;
}

int VideoEnhancer::framesInFlight() const { return static_cast<int>(pipeline_->inFlight.size()); }

}  // namespace nightdehaze
