#include "video/video_input.hpp"

extern "C" {
#include <libavutil/imgutils.h>
}

#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <iterator>
#include <sstream>
#include <stdexcept>

namespace nightdehaze::video {

namespace {

// The rate assumed for a stream that states none (PAL's, the commonest).
constexpr AVRational kFallbackFrameRate{25, 1};

// Opens path through FFmpeg's file protocol whatever characters it holds.
std::string fileUrl(const std::string& path) { return "file:" + path; }

// The demuxer the file's first bytes name, without looking at its name;
// nullptr when none does.
const AVInputFormat* demuxerByContent(const std::string& path) {
    AVIOContext* io = nullptr;
    if (avio_open(&io, fileUrl(path).c_str(), AVIO_FLAG_READ) < 0) return nullptr;
    const AVInputFormat* format = nullptr;
    const int score = av_probe_input_buffer2(io, &format, "", nullptr, 0, 0);
    avio_closep(&io);
    return score < 0 ? nullptr : format;
}

// FFmpeg's demuxers of single pictures: "image2" and "png_pipe", "jpeg_pipe", ...
bool isPictureDemuxer(const AVInputFormat* format) {
    const std::string name = format->name;
    const std::string pipe = "_pipe";
    return name == "image2" ||
           (name.size() > pipe.size() && name.compare(name.size() - pipe.size(), pipe.size(), pipe) == 0);
}

bool isCorrupt(const AVFrame* frame) {
    return (frame->flags & AV_FRAME_FLAG_CORRUPT) || frame->decode_error_flags != 0;
}

// The longest run of lost frames filled in, in time and in frames; a longer
// jump of the timestamps is taken as a break in them.
constexpr double kMaxLostSeconds = 2.0;
constexpr std::int64_t kMaxLostFrames = 120;  // the same for a stream that claims a huge rate

// How much earlier than its declared duration a video may end without a
// warning: audio may run on a little past the last frame.
constexpr double kEndFrames = 2.0;
constexpr double kEndSeconds = 0.25;

std::string seconds(double value) {
    std::ostringstream text;
    text.precision(2);
    text << std::fixed << value << " s";
    return text.str();
}

}  // namespace

AVFormatContext* openVideoContainer(const std::string& path) {
    const AVInputFormat* demuxer = demuxerByContent(path);
    if (!demuxer || isPictureDemuxer(demuxer)) return nullptr;
    AVFormatContext* format = nullptr;
    if (avformat_open_input(&format, fileUrl(path).c_str(), demuxer, nullptr) < 0) return nullptr;
    if (avformat_find_stream_info(format, nullptr) < 0 || firstVideoStream(format) < 0) {
        avformat_close_input(&format);
        return nullptr;
    }
    return format;
}

bool isVideoFile(const std::string& path) {
    struct stat info {};
    // Only regular files: reading a FIFO or a device could block or never end.
    if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
    silenceLibav();
    AVFormatContext* format = openVideoContainer(path);
    if (!format) return false;
    avformat_close_input(&format);
    return true;
}

VideoInput::VideoInput(const std::string& path, Warn warn) : path_(path), warn_(std::move(warn)) {
    silenceLibav();
    format_ = openVideoContainer(path);
    if (!format_) throw std::runtime_error("cannot read '" + path + "': not a video that can be decoded");
    videoIndex_ = firstVideoStream(format_);
    AVStream* stream = format_->streams[videoIndex_];
    const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
    decoder_.reset(avcodec_alloc_context3(codec));
    packet_.reset(av_packet_alloc());
    frame_.reset(av_frame_alloc());
    if (!decoder_ || !packet_ || !frame_) throw std::bad_alloc();
    int status = avcodec_parameters_to_context(decoder_.get(), stream->codecpar);
    if (status >= 0) {
        decoder_->pkt_timebase = stream->time_base;
        decoder_->thread_count = 1;  // frames are enhanced on every core; decoding is a small share
        status = avcodec_open2(decoder_.get(), codec, nullptr);
    }
    if (status < 0) {
        avformat_close_input(&format_);
        throw std::runtime_error("cannot read '" + path + "': cannot open its video decoder: " + libavError(status));
    }
    colorSpace_ = effectiveColorSpace(stream->codecpar->color_space, stream->codecpar->height);
}

VideoInput::~VideoInput() { avformat_close_input(&format_); }

AVRational VideoInput::frameRate() const {
    const AVRational rate = av_guess_frame_rate(format_, format_->streams[videoIndex_], nullptr);
    return rate.num > 0 && rate.den > 0 ? rate : kFallbackFrameRate;
}

long long VideoInput::expectedFrames() const { return videoStream()->nb_frames; }

bool VideoInput::next(DecodedFrame& frame, const std::function<void(AVPacket*)>& otherPacket) {
    while (ready_.empty() && !finished_) pump(otherPacket);
    if (ready_.empty()) return false;
    frame = std::move(ready_.front());
    ready_.pop_front();
    return true;
}

void VideoInput::pump(const std::function<void(AVPacket*)>& otherPacket) {
    if (receive()) return;
    if (draining_) {
        finished_ = true;
        repeatMissingBefore(INT64_MAX);
        reportGaps();
        reportEnd();
        return;
    }
    const int status = av_read_frame(format_, packet_.get());
    if (status < 0) {
        if (status != AVERROR_EOF) {
            readFailed_ = true;
            readError_ = libavError(status);
        }
        avcodec_send_packet(decoder_.get(), nullptr);
        draining_ = true;
        return;
    }
    if (packet_->stream_index == videoIndex_)
        feed(packet_.get());
    else
        otherPacket(packet_.get());
    av_packet_unref(packet_.get());
}

// Takes the frames the decoder has ready; true once a good one was delivered.
bool VideoInput::receive() {
    for (;;) {
        const int status = avcodec_receive_frame(decoder_.get(), frame_.get());
        if (status == AVERROR(EAGAIN) || status == AVERROR_EOF) return false;
        if (status < 0) {
            noteCorrupt(AV_NOPTS_VALUE);
            continue;
        }
        const std::int64_t pts = frame_->best_effort_timestamp;
        if (isCorrupt(frame_.get())) {
            noteCorrupt(pts);
            av_frame_unref(frame_.get());
            continue;
        }
        cv::Mat bgr = toBgr(frame_.get());
        av_frame_unref(frame_.get());
        deliver(std::move(bgr), pts);
        return true;
    }
}

void VideoInput::feed(AVPacket* packet) {
    const int status = avcodec_send_packet(decoder_.get(), packet);
    if (status < 0 && status != AVERROR(EAGAIN))
        noteCorrupt(packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts);
}

std::int64_t VideoInput::frameTicks() const {
    return std::max<std::int64_t>(1, av_rescale_q(1, av_inv_q(frameRate()), videoStream()->time_base));
}

std::int64_t VideoInput::sameTimeTicks() const { return std::max<std::int64_t>(1, frameTicks() / 10); }

// On a stream whose frames have all come one nominal frame apart, a step of
// two frames or more means frames were lost (a damaged transport stream
// drops them without a word): they are noted as corrupt at the times they
// were due, to be replaced by the frame before. The first other step marks
// the stream as of variable rate, whose steps are its own.
void VideoInput::noteLostBefore(std::int64_t pts) {
    if (!regularSoFar_ || lastPts_ == AV_NOPTS_VALUE) return;
    const std::int64_t step = frameTicks(), slack = sameTimeTicks();
    const std::int64_t delta = pts - lastPts_;
    if (std::llabs(delta - step) <= slack) return;
    if (delta < 2 * step - slack) {
        regularSoFar_ = false;
        return;
    }
    // A longer jump is a break in the timestamps (a recording resumed, a
    // clock reset), not lost frames: nothing to fill.
    const double lostSeconds = static_cast<double>(delta - step) * av_q2d(videoStream()->time_base);
    if (lostSeconds > kMaxLostSeconds || delta / step > kMaxLostFrames) return;
    // A slot of the gap may be a frame noted already: corrupt at that time,
    // or corrupt without a time, which this slot now places.
    for (std::int64_t due = lastPts_ + step; due < pts - step / 2; due += step) {
        if (notedAt(due)) continue;
        takeUntimedNote();
        noteCorrupt(due);
    }
}

void VideoInput::deliver(cv::Mat bgr, std::int64_t pts) {
    if (pts == AV_NOPTS_VALUE || (lastPts_ != AV_NOPTS_VALUE && pts <= lastPts_))
        pts = lastPts_ == AV_NOPTS_VALUE ? 0 : lastPts_ + frameTicks();
    forgetNotesAt(pts);
    noteLostBefore(pts);
    repeatMissingBefore(pts);
    reportGaps();
    ready_.push_back({bgr, pts});
    lastGood_ = std::move(bgr);
    lastPts_ = lastGoodPts_ = pts;
    ++decoded_;
}

// Every corrupt frame timed before pts becomes a repeat of the last good
// frame, or is left out when there is none or its time has passed.
void VideoInput::repeatMissingBefore(std::int64_t pts) {
    std::sort(missing_.begin(), missing_.end());
    auto taken = missing_.begin();
    for (; taken != missing_.end() && *taken < pts; ++taken) {
        const bool placeable = !lastGood_.empty() && (lastPts_ == AV_NOPTS_VALUE || *taken > lastPts_);
        resolved_.push_back({decoded_, lastGoodPts_, placeable, true});
        if (!placeable) continue;
        ready_.push_back({lastGood_, *taken});
        lastPts_ = *taken;
    }
    missing_.erase(missing_.begin(), taken);
}

// Each frame counts once however often its damage shows (a packet refused,
// then its frame flagged, or its slot found empty); a time the output holds
// a frame for already is no frame lost.
void VideoInput::noteCorrupt(std::int64_t pts) {
    if (pts == AV_NOPTS_VALUE) {
        resolved_.push_back({decoded_, lastGoodPts_, false, false});
        return;
    }
    const bool delivered = lastPts_ != AV_NOPTS_VALUE && std::llabs(pts - lastPts_) <= sameTimeTicks();
    if (!delivered && !notedAt(pts)) missing_.push_back(pts);
}

bool VideoInput::notedAt(std::int64_t pts) const {
    const std::int64_t slack = sameTimeTicks();
    return std::any_of(missing_.begin(), missing_.end(),
                       [&](std::int64_t noted) { return std::llabs(noted - pts) <= slack; });
}

// A good frame for a time noted as corrupt (a packet the decoder refused and
// still decoded) is that frame, not a loss.
void VideoInput::forgetNotesAt(std::int64_t pts) {
    const std::int64_t slack = sameTimeTicks();
    missing_.erase(std::remove_if(missing_.begin(), missing_.end(),
                                  [&](std::int64_t noted) { return std::llabs(noted - pts) <= slack; }),
                   missing_.end());
}

// Removes one corrupt frame of the current gap that was noted without a time,
// when there is one.
void VideoInput::takeUntimedNote() {
    for (auto note = resolved_.rbegin(); note != resolved_.rend() && note->goodBefore == decoded_; ++note) {
        if (note->timed) continue;
        resolved_.erase(std::next(note).base());
        return;
    }
}

double VideoInput::secondsAt(std::int64_t pts) const {
    const AVStream* stream = videoStream();
    const std::int64_t start = stream->start_time == AV_NOPTS_VALUE ? 0 : stream->start_time;
    return pts == AV_NOPTS_VALUE ? 0.0 : static_cast<double>(pts - start) * av_q2d(stream->time_base);
}

// One line per gap, once every corrupt frame of every gap so far is placed
// or left out: a gap is the corrupt frames between the same two good ones.
void VideoInput::reportGaps() {
    if (!missing_.empty() || resolved_.empty()) return;
    for (auto first = resolved_.begin(); first != resolved_.end();) {
        auto last = first;
        long long repeated = 0;
        for (; last != resolved_.end() && last->goodBefore == first->goodBefore; ++last) repeated += last->repeated;
        const long long count = last - first;
        std::string what = "'" + path_ + "': " + std::to_string(count) + " corrupt frame(s) " +
                           (first->goodBefore == 0 ? std::string("at the start")
                                                   : "after " + seconds(secondsAt(first->after))) + ", ";
        if (repeated == count)
            what += "replaced by the frame before";
        else if (repeated == 0)
            what += "left out";
        else
            what += std::to_string(repeated) + " replaced by the frame before, the others left out";
        warn_(what);
        corruptTotal_ += count;
        first = last;
    }
    resolved_.clear();
}

double VideoInput::declaredSeconds() const {
    const AVStream* stream = videoStream();
    if (stream->duration > 0) return static_cast<double>(stream->duration) * av_q2d(stream->time_base);
    if (format_->duration > 0) return static_cast<double>(format_->duration) / AV_TIME_BASE;
    return 0.0;
}

// A container that counts no frames (Matroska, WebM) still declares its
// duration; the video ends early when its last frame is due well before it.
bool VideoInput::endsBeforeItsDuration() const {
    const double declared = declaredSeconds();
    if (declared <= 0.0 || lastPts_ == AV_NOPTS_VALUE) return false;
    const double frameSeconds = 1.0 / av_q2d(frameRate());
    const double tolerance = std::max(kEndFrames * frameSeconds, kEndSeconds);
    return secondsAt(lastPts_) + frameSeconds + tolerance < declared;
}

void VideoInput::reportEnd() {
    const long long expected = sought_ ? 0 : expectedFrames();
    const bool fewerFrames = expected > 0 && decoded_ + corruptTotal_ < expected;
    const bool shorter = !sought_ && expected <= 0 && endsBeforeItsDuration();
    if (!readFailed_ && !fewerFrames && !shorter) return;
    std::string where = "'" + path_ + "' ends early, after frame " + std::to_string(decoded_) + " at " +
                        seconds(secondsAt(lastPts_));
    if (expected > 0) where += " of the " + std::to_string(expected) + " frames it declares";
    if (shorter) where += " of the " + seconds(declaredSeconds()) + " it declares";
    if (readFailed_) where += " (" + readError_ + ")";
    warn_(where + "; every frame before was enhanced");
}

std::int64_t VideoInput::startTime() const {
    const AVStream* stream = videoStream();
    return stream->start_time == AV_NOPTS_VALUE ? 0 : stream->start_time;
}

void VideoInput::seekTo(std::int64_t pts) {
    const int status = av_seek_frame(format_, videoIndex_, pts, AVSEEK_FLAG_BACKWARD);
    if (status < 0) throw std::runtime_error("cannot read '" + path_ + "': cannot seek in it: " + libavError(status));
    avcodec_flush_buffers(decoder_.get());
    ready_.clear();
    missing_.clear();
    resolved_.clear();
    lastGood_.release();
    lastPts_ = lastGoodPts_ = AV_NOPTS_VALUE;
    regularSoFar_ = true;
    draining_ = finished_ = readFailed_ = false;
    decoded_ = corruptTotal_ = 0;
    sought_ = true;
}

std::int64_t VideoInput::keyFrameAtOrBefore(std::int64_t pts) {
    if (pts <= startTime() || av_seek_frame(format_, videoIndex_, pts, AVSEEK_FLAG_BACKWARD) < 0) return startTime();
    while (av_read_frame(format_, packet_.get()) >= 0) {
        const bool key = packet_->stream_index == videoIndex_ && (packet_->flags & AV_PKT_FLAG_KEY);
        const std::int64_t time = packet_->pts != AV_NOPTS_VALUE ? packet_->pts : packet_->dts;
        av_packet_unref(packet_.get());
        if (key && time != AV_NOPTS_VALUE) return time;
    }
    return startTime();
}

cv::Mat VideoInput::toBgr(const AVFrame* frame) {
    cv::Mat bgr = toBgr_.convert(frame, colorSpace_);
    if (bgr.empty()) throw std::runtime_error("cannot read '" + path_ + "': cannot convert its frames to BGR");
    return bgr;
}

}  // namespace nightdehaze::video
