#pragma once
// Reading a live source (a camera, a stream URL, a capture device) on a
// thread of its own, so that it never waits for the enhancement: decoded
// frames wait in a short queue and the oldest give way when it is full. Only
// the frames taken are converted to BGR, by the taker: the reader's share of
// the cores stays small, and it keeps up with the network.
#include "video/bgr_conversion.hpp"
#include "video/video_libav.hpp"

#include <opencv2/core.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace nightdehaze::video {

using LiveClock = std::chrono::steady_clock;

struct LiveFrame {
    FramePtr decoded;         // as the decoder gave it
    double seconds = 0.0;     // on the run's clock: 0 at the first frame, rising
    LiveClock::time_point decodedAt;
};

class LiveSource {
public:
    using Warn = std::function<void(const std::string&)>;

    // Opens url (RTSP over TCP; /dev/video* through video4linux2), trying
    // again for up to patienceSeconds while it does not answer, and starts
    // reading it. A source lost later (an error, a closed connection, or
    // silence for patienceSeconds) is reconnected for as long, measured from
    // its last packet; warn hears of each reconnection. What HTTP serves ends
    // at its end. Throws std::runtime_error naming url when it does not
    // answer in time.
    LiveSource(const std::string& url, double patienceSeconds, Warn warn);
    // Stops reading and joins the reader.
    ~LiveSource();
    LiveSource(const LiveSource&) = delete;
    LiveSource& operator=(const LiveSource&) = delete;

    cv::Size size() const { return size_; }
    AVRational frameRate() const { return frameRate_; }
    AVColorSpace colorSpace() const { return colorSpace_; }

    // Waits at most wait for the next frame; false when none came.
    bool next(LiveFrame& frame, std::chrono::milliseconds wait);
    // The frame as a new CV_8UC3 picture of size(), scaled when a source that
    // came back sends another size; empty when it cannot be converted.
    // From the taker's thread only.
    cv::Mat toBgr(const LiveFrame& frame);
    // True once no frame will come any more; why() then says why.
    bool ended();
    std::string why();
    // Frames the queue let go because the run did not take them in time, and
    // frames that came damaged (lost packets) and were left out.
    long long overrun();
    long long damaged();
    // Frames missing between two frames of a session, by their timestamps:
    // lost on the way (a fixed-rate source assumed), never decoded.
    long long lost();
    // Ends the reading soon; frames already queued are still handed out.
    void stop();

private:
    struct Session;
    static int interrupted(void* self);
    bool open(LiveClock::time_point until, std::string& error);
    void closeSession();
    void read();
    int readPacket();
    std::string lossOf(int status) const;
    void receiveFrames();
    void deliver(const AVFrame* frame, double seconds);
    double runSeconds(std::int64_t pts);
    void drainDecoder();
    bool reconnect(const std::string& reason);
    void end(const std::string& why);

    std::string url_;
    std::chrono::duration<double> patience_;
    Warn warn_;
    std::atomic<bool> stopping_{false};
    LiveClock::time_point deadline_;        // the interrupt callback's, for the reader thread
    Session* session_ = nullptr;
    BgrConversion toBgr_;
    cv::Size size_;
    AVRational frameRate_{25, 1};
    AVColorSpace colorSpace_ = AVCOL_SPC_UNSPECIFIED;

    // The run's clock: a session's timestamps from its first frame on, after
    // the time the runs before it covered.
    double offset_ = 0.0;
    std::int64_t basePts_ = AV_NOPTS_VALUE;
    double lastSeconds_ = -1.0;
    LiveClock::time_point lastFrameAt_;
    LiveClock::time_point lastPacketAt_;

    std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<LiveFrame> queue_;
    long long overrun_ = 0;
    long long damaged_ = 0;
    long long lost_ = 0;
    bool ended_ = false;
    std::string why_;
    std::thread reader_;
};

}  // namespace nightdehaze::video
