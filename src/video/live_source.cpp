#include "video/live_source.hpp"

#include "files/live_addresses.hpp"
#include "video/live_stop.hpp"

extern "C" {
#include <libavdevice/avdevice.h>
}

#include <cmath>
#include <mutex>
#include <sstream>
#include <stdexcept>

namespace nightdehaze::video {

namespace {

// Frames decoded and not yet taken; the oldest goes when a new one finds it
// full. Two: the run takes one at once, the other covers a slow moment.
constexpr size_t kQueuedFrames = 2;
// Pause between attempts to reach a source that does not answer.
constexpr std::chrono::milliseconds kRetryPause(250);

std::string seconds(double value) {
    std::ostringstream text;
    text.precision(1);
    text << std::fixed << value << " s";
    return text.str();
}

const AVInputFormat* demuxerOf(const std::string& url) {
    if (!files::isCaptureDevice(url)) return nullptr;
    static std::once_flag registered;
    std::call_once(registered, [] { avdevice_register_all(); });
    return av_find_input_format("video4linux2");
}

// A UDP socket buffer of 4 MiB (where the system allows it) holds a second
// or two of a 1080p stream while the enhancement keeps every core busy;
// the default few hundred KiB overflow within one key frame.
constexpr const char* kUdpReceiveBuffer = "4194304";

// RTSP over TCP: over UDP, packets lost on a real network tear the picture.
// UDP input keeps going when its buffer overruns instead of failing.
AVDictionary* openingOptions(const std::string& url) {
    AVDictionary* options = nullptr;
    const std::string scheme = files::urlScheme(url);
    if (scheme == "rtsp" || scheme == "rtsps") av_dict_set(&options, "rtsp_transport", "tcp", 0);
    if (scheme == "udp") {
        av_dict_set(&options, "overrun_nonfatal", "1", 0);
        av_dict_set(&options, "buffer_size", kUdpReceiveBuffer, 0);
    }
    return options;
}

// What HTTP serves ends where it ends: a live MPEG-TS whose server stops, an
// HLS playlist that says it is complete, or a finished file, which opened
// again would play again from its start. A camera's or a relay's connection
// (RTSP, RTMP, SRT, TCP) that closes is a lost source instead, reconnected.
bool endsAtItsEnd(const std::string& url) {
    const std::string scheme = files::urlScheme(url);
    return scheme == "http" || scheme == "https";
}

}  // namespace

struct LiveSource::Session {
    AVFormatContext* format = nullptr;
    int videoIndex = -1;
    CodecPtr decoder;
    PacketPtr packet{av_packet_alloc()};
    FramePtr frame{av_frame_alloc()};
    ~Session() { avformat_close_input(&format); }
};

LiveSource::LiveSource(const std::string& url, double patienceSeconds, Warn warn)
    : url_(url), patience_(patienceSeconds), warn_(std::move(warn)) {
    silenceLibav();
    const auto until = LiveClock::now() + std::chrono::duration_cast<LiveClock::duration>(patience_);
    std::string error;
    while (!open(until, error)) {
        if (const char* signal = StopOnSignals::signalName())
            throw std::runtime_error("the live source '" + url + "' was not open yet when " + signal +
                                     " stopped the run");
        if (LiveClock::now() + kRetryPause >= until)
            throw std::runtime_error("cannot open the live source '" + url + "': " + error + " (tried for " +
                                     seconds(patience_.count()) + ")");
        std::this_thread::sleep_for(kRetryPause);
    }
    const AVStream* stream = session_->format->streams[session_->videoIndex];
    size_ = cv::Size(stream->codecpar->width, stream->codecpar->height);
    const AVRational rate = av_guess_frame_rate(session_->format, const_cast<AVStream*>(stream), nullptr);
    if (rate.num > 0 && rate.den > 0) frameRate_ = rate;
    colorSpace_ = effectiveColorSpace(stream->codecpar->color_space, size_.height);
    lastPacketAt_ = LiveClock::now();
    reader_ = std::thread([this] { read(); });
}

LiveSource::~LiveSource() {
    stop();
    if (reader_.joinable()) reader_.join();
    closeSession();
}

int LiveSource::interrupted(void* self) {
    const LiveSource* source = static_cast<const LiveSource*>(self);
    return source->stopping_ || StopOnSignals::requested() || LiveClock::now() > source->deadline_;
}

bool LiveSource::open(LiveClock::time_point until, std::string& error) {
    closeSession();
    auto session = std::make_unique<Session>();
    if (!session->packet || !session->frame) throw std::bad_alloc();
    session->format = avformat_alloc_context();
    if (!session->format) throw std::bad_alloc();
    session->format->interrupt_callback = AVIOInterruptCB{&LiveSource::interrupted, this};
    deadline_ = until;
    AVDictionary* options = openingOptions(url_);
    int status = avformat_open_input(&session->format, url_.c_str(), demuxerOf(url_), &options);
    av_dict_free(&options);
    if (status >= 0) status = avformat_find_stream_info(session->format, nullptr);
    const bool timedOut = LiveClock::now() > until;
    if (status < 0) {
        error = timedOut ? "it did not answer" : libavError(status);
        return false;
    }
    session->videoIndex = firstVideoStream(session->format);
    const AVCodecParameters* found =
        session->videoIndex < 0 ? nullptr : session->format->streams[session->videoIndex]->codecpar;
    if (!found || found->width <= 0 || found->height <= 0) {
        error = "it holds no video stream that can be decoded";
        return false;
    }
    const AVStream* stream = session->format->streams[session->videoIndex];
    const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
    session->decoder.reset(avcodec_alloc_context3(codec));
    if (!session->decoder) throw std::bad_alloc();
    status = avcodec_parameters_to_context(session->decoder.get(), stream->codecpar);
    if (status >= 0) {
        session->decoder->pkt_timebase = stream->time_base;
        session->decoder->thread_count = 1;  // frames are enhanced on every core
        status = avcodec_open2(session->decoder.get(), codec, nullptr);
    }
    if (status < 0) {
        error = "cannot open its video decoder: " + libavError(status);
        return false;
    }
    session_ = session.release();
    basePts_ = AV_NOPTS_VALUE;
    return true;
}

void LiveSource::closeSession() {
    delete session_;
    session_ = nullptr;
}

void LiveSource::read() {
    try {
        for (;;) {
            const int status = readPacket();
            if (status >= 0) continue;
            if (stopping_ || StopOnSignals::requested()) return end("stopped");
            if (status == AVERROR_EOF && endsAtItsEnd(url_)) {
                drainDecoder();
                return end("the source ended");
            }
            if (!reconnect(lossOf(status))) return;
        }
    } catch (const std::exception& e) {
        end(std::string("reading the source failed: ") + e.what());
    }
}

std::string LiveSource::lossOf(int status) const {
    if (status == AVERROR_EXIT || LiveClock::now() > deadline_)
        return "the source sent nothing for " + seconds(patience_.count());
    if (status == AVERROR_EOF) return "the source ended";
    return "the source was lost (" + libavError(status) + ")";
}

// Reads one packet and decodes the frames it completes; returns
// av_read_frame's status.
int LiveSource::readPacket() {
    deadline_ = lastPacketAt_ + std::chrono::duration_cast<LiveClock::duration>(patience_);
    AVPacket* packet = session_->packet.get();
    const int status = av_read_frame(session_->format, packet);
    if (status < 0) return status;
    // What a demuxer hands out after the deadline is what it held back, not news from the source.
    const LiveClock::time_point now = LiveClock::now();
    if (now <= deadline_) lastPacketAt_ = now;
    if (packet->stream_index == session_->videoIndex) {
        avcodec_send_packet(session_->decoder.get(), packet);  // a damaged packet is skipped
        receiveFrames();
    }
    av_packet_unref(packet);
    return status;
}

void LiveSource::receiveFrames() {
    AVFrame* frame = session_->frame.get();
    while (avcodec_receive_frame(session_->decoder.get(), frame) >= 0) {
        const double seconds = runSeconds(frame->best_effort_timestamp);
        lastSeconds_ = seconds;
        lastFrameAt_ = LiveClock::now();
        const bool damaged = (frame->flags & AV_FRAME_FLAG_CORRUPT) || frame->decode_error_flags != 0;
        if (damaged) {
            std::lock_guard<std::mutex> lock(mutex_);
            ++damaged_;
        } else {
            deliver(frame, seconds);
        }
        av_frame_unref(frame);
    }
}

double LiveSource::runSeconds(std::int64_t pts) {
    const AVStream* stream = session_->format->streams[session_->videoIndex];
    const double frameSeconds = 1.0 / av_q2d(frameRate_);
    if (pts == AV_NOPTS_VALUE) return lastSeconds_ < 0.0 ? 0.0 : lastSeconds_ + frameSeconds;
    if (basePts_ == AV_NOPTS_VALUE) {
        basePts_ = pts;
        if (lastSeconds_ >= 0.0)  // a new session goes on after the time the source was away
            offset_ = lastSeconds_ + std::max(frameSeconds,
                                              std::chrono::duration<double>(LiveClock::now() - lastFrameAt_).count());
        return offset_;
    }
    double t = offset_ + static_cast<double>(pts - basePts_) * av_q2d(stream->time_base);
    // Timestamps that go back or leap further than a lost source is waited
    // for (a wrap, a reset clock) restart the clock one frame on.
    if (lastSeconds_ >= 0.0 && (t <= lastSeconds_ || t > lastSeconds_ + patience_.count() + frameSeconds)) {
        offset_ = lastSeconds_ + frameSeconds;
        basePts_ = pts;
        return offset_;
    }
    // A step of more than one frame and a half on a stream of fixed rate:
    // frames lost on the way, which never reached the decoder.
    if (lastSeconds_ >= 0.0 && t - lastSeconds_ > 1.5 * frameSeconds) {
        std::lock_guard<std::mutex> lock(mutex_);
        lost_ += std::llround((t - lastSeconds_) / frameSeconds) - 1;
    }
    return t;
}

void LiveSource::deliver(const AVFrame* frame, double seconds) {
    LiveFrame live;
    live.decoded.reset(av_frame_clone(frame));
    if (!live.decoded) throw std::bad_alloc();
    live.seconds = seconds;
    live.decodedAt = lastFrameAt_;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (queue_.size() >= kQueuedFrames) {
            queue_.pop_front();
            ++overrun_;
        }
        queue_.push_back(std::move(live));
    }
    arrived_.notify_one();
}

// Tries to reach the source again until its last packet is patience old;
// false, with the run ended, when it does not come back or a stop came.
void LiveSource::drainDecoder() {
    avcodec_send_packet(session_->decoder.get(), nullptr);
    receiveFrames();
}

bool LiveSource::reconnect(const std::string& reason) {
    drainDecoder();
    const auto until = lastPacketAt_ + std::chrono::duration_cast<LiveClock::duration>(patience_);
    const auto lostAt = LiveClock::now();
    std::string error = reason;
    for (;;) {
        if (stopping_ || StopOnSignals::requested()) {
            end("stopped");
            return false;
        }
        if (LiveClock::now() + kRetryPause >= until) {
            end(reason + (error == reason ? "" : "; reconnecting failed: " + error));
            return false;
        }
        std::this_thread::sleep_for(kRetryPause);
        if (open(until, error)) {
            lastPacketAt_ = LiveClock::now();
            warn_("live source '" + url_ + "': " + reason + "; reconnected after " +
                  seconds(std::chrono::duration<double>(LiveClock::now() - lostAt).count()));
            return true;
        }
    }
}

void LiveSource::end(const std::string& why) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ended_ = true;
        why_ = why;
    }
    arrived_.notify_all();
}

bool LiveSource::next(LiveFrame& frame, std::chrono::milliseconds wait) {
    std::unique_lock<std::mutex> lock(mutex_);
    arrived_.wait_for(lock, wait, [this] { return !queue_.empty() || ended_; });
    if (queue_.empty()) return false;
    frame = std::move(queue_.front());
    queue_.pop_front();
    return true;
}

bool LiveSource::ended() {
    std::lock_guard<std::mutex> lock(mutex_);
    return ended_ && queue_.empty();
}

std::string LiveSource::why() {
    std::lock_guard<std::mutex> lock(mutex_);
    return why_;
}

cv::Mat LiveSource::toBgr(const LiveFrame& frame) { return toBgr_.convert(frame.decoded.get(), colorSpace_, size_); }

long long LiveSource::overrun() {
    std::lock_guard<std::mutex> lock(mutex_);
    return overrun_;
}

long long LiveSource::damaged() {
    std::lock_guard<std::mutex> lock(mutex_);
    return damaged_;
}

long long LiveSource::lost() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lost_;
}

void LiveSource::stop() { stopping_ = true; }

}  // namespace nightdehaze::video
