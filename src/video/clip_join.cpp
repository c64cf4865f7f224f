#include "video/clip_join.hpp"

#include "video/video_input.hpp"
#include "video/video_libav.hpp"
#include "video/video_output.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <deque>
#include <memory>
#include <stdexcept>

namespace nightdehaze::video {

namespace {

struct InputClose {
    void operator()(AVFormatContext* f) const { avformat_close_input(&f); }
};
using InputPtr = std::unique_ptr<AVFormatContext, InputClose>;

InputPtr openInput(const std::string& path) {
    InputPtr input(openVideoContainer(path));
    if (!input) throw std::runtime_error("cannot read '" + path + "': not a video that can be decoded");
    return input;
}

// The packets to copy, in the order they are written: the parts' video one
// part after the other, and the source's kept streams.
class JoinedPackets {
public:
    JoinedPackets(AVFormatContext* source, const std::vector<InputPtr>& parts, const std::vector<int>& keptOf)
        : source_(source), parts_(parts), keptOf_(keptOf), video_(av_packet_alloc()), other_(av_packet_alloc()) {
        if (!video_ || !other_) throw std::bad_alloc();
        haveVideo_ = readVideo();
        haveOther_ = readOther();
    }

    // Hands the next packet, the earlier of the two by decoding time, to
    // write with the time base it is in; false once both have ended.
    template <typename Write>
    bool writeNext(Write&& write) {
        if (!haveVideo_ && !haveOther_) return false;
        if (haveVideo_ && (!haveOther_ || videoFirst())) {
            write(video_.get(), partStream()->time_base, true);
            haveVideo_ = readVideo();
        } else {
            write(other_.get(), source_->streams[other_->stream_index]->time_base, false);
            haveOther_ = readOther();
        }
        return true;
    }

private:
    const AVStream* partStream() const { return parts_[part_]->streams[firstVideoStream(parts_[part_].get())]; }

    static std::int64_t timeOf(const AVPacket* p) { return p->dts != AV_NOPTS_VALUE ? p->dts : p->pts; }

    bool videoFirst() const {
        const std::int64_t v = timeOf(video_.get()), o = timeOf(other_.get());
        if (v == AV_NOPTS_VALUE || o == AV_NOPTS_VALUE) return v == AV_NOPTS_VALUE;
        return av_compare_ts(v, partStream()->time_base, o, source_->streams[other_->stream_index]->time_base) <= 0;
    }

    bool readVideo() {
        if (queued_.empty() && !queueVideo()) return false;
        av_packet_unref(video_.get());
        av_packet_move_ref(video_.get(), queued_.front().get());
        queued_.pop_front();
        return true;
    }

    // Queues the current part's next video packets up to one whose decoding
    // time is known. Containers that store none (Matroska) leave the first
    // packets of a stream with B-frames without one: they get the times one
    // frame apart before the first known, as the encoder gave them.
    bool queueVideo() {
        const size_t known = queued_.size();
        for (;;) {
            PacketPtr packet(av_packet_alloc());
            if (!packet) throw std::bad_alloc();
            AVFormatContext* part = parts_[part_].get();
            if (av_read_frame(part, packet.get()) < 0) {
                if (queued_.size() > known) break;
                if (part_ + 1 == parts_.size()) return false;
                ++part_;
                continue;
            }
            if (packet->stream_index != firstVideoStream(part)) continue;
            const bool timed = packet->dts != AV_NOPTS_VALUE;
            queued_.push_back(std::move(packet));
            if (timed) break;
        }
        const AVStream* stream = partStream();
        const std::int64_t step =
            std::max<std::int64_t>(1, av_rescale_q(1, av_inv_q(stream->avg_frame_rate), stream->time_base));
        std::int64_t next = queued_.back()->dts;
        if (next == AV_NOPTS_VALUE) {  // no packet says: no reordering
            for (size_t k = known; k < queued_.size(); ++k) queued_[k]->dts = queued_[k]->pts;
            return true;
        }
        for (size_t k = queued_.size() - 1; k-- > known;) queued_[k]->dts = next -= step;
        return true;
    }

    bool readOther() {
        while (av_read_frame(source_, other_.get()) >= 0) {
            if (keptOf_[other_->stream_index] >= 0) return true;
            av_packet_unref(other_.get());
        }
        return false;
    }

    AVFormatContext* source_;
    const std::vector<InputPtr>& parts_;
    const std::vector<int>& keptOf_;
    size_t part_ = 0;
    PacketPtr video_, other_;
    std::deque<PacketPtr> queued_;  // video packets read ahead, their decoding times filled in
    bool haveVideo_ = false, haveOther_ = false;
};

class JoinedFile {
public:
    explicit JoinedFile(const std::string& path) : path_(path) {
        const AVOutputFormat* muxer = av_guess_format(nullptr, path.c_str(), nullptr);
        if (!muxer) throw std::runtime_error("cannot write a video to '" + path + "': its extension names no container");
        check(avformat_alloc_output_context2(&format_, muxer, nullptr, nullptr), "cannot set up the container");
    }
    ~JoinedFile() {
        if (format_ && format_->pb) avio_closep(&format_->pb);
        avformat_free_context(format_);
        if (opened_ && !finished_) unlink(path_.c_str());
    }
    JoinedFile(const JoinedFile&) = delete;
    JoinedFile& operator=(const JoinedFile&) = delete;

    AVFormatContext* format() { return format_; }

    AVStream* addStream(const AVCodecParameters* parameters, AVRational timeBase, const AVStream* description) {
        AVStream* to = avformat_new_stream(format_, nullptr);
        if (!to || avcodec_parameters_copy(to->codecpar, parameters) < 0) throw std::bad_alloc();
        to->codecpar->codec_tag = 0;
        to->time_base = timeBase;
        to->disposition = description->disposition;
        copyMetadata(&to->metadata, description->metadata);
        return to;
    }

    void open() {
        opened_ = true;
        check(avio_open(&format_->pb, ("file:" + path_).c_str(), AVIO_FLAG_WRITE), "cannot open it");
        check(avformat_write_header(format_, nullptr), "cannot write the container's header");
    }

    void write(AVPacket* packet, AVRational from, int stream) {
        av_packet_rescale_ts(packet, from, format_->streams[stream]->time_base);
        packet->stream_index = stream;
        packet->pos = -1;
        check(av_interleaved_write_frame(format_, packet), "write failed");
    }

    void finish() {
        check(av_write_trailer(format_), "cannot complete the container");
        check(avio_closep(&format_->pb), "write failed");
        const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
        const int status = fd < 0 || fsync(fd) != 0 ? AVERROR(errno) : 0;
        if (fd >= 0) close(fd);
        check(status, "cannot flush to disk");
        finished_ = true;
    }

private:
    void check(int status, const std::string& what) const {
        if (status < 0) throw std::runtime_error("cannot write '" + path_ + "': " + what + ": " + libavError(status));
    }

    std::string path_;
    AVFormatContext* format_ = nullptr;
    bool opened_ = false;
    bool finished_ = false;
};

}  // namespace

void joinClipParts(const std::string& sourcePath, const std::vector<std::string>& partPaths,
                   const std::string& joinedPath) {
    silenceLibav();
    if (partPaths.empty()) throw std::invalid_argument("a clip is joined from one part or more");
    const InputPtr source = openInput(sourcePath);
    std::vector<InputPtr> parts;
    for (const std::string& path : partPaths) parts.push_back(openInput(path));
    const AVStream* sourceVideo = source->streams[firstVideoStream(source.get())];
    const AVStream* partVideo = parts[0]->streams[firstVideoStream(parts[0].get())];

    JoinedFile joined(joinedPath);
    copyMetadata(&joined.format()->metadata, source->metadata);
    AVStream* video = joined.addStream(partVideo->codecpar, partVideo->time_base, sourceVideo);
    video->avg_frame_rate = partVideo->avg_frame_rate;
    copyDisplayMatrix(sourceVideo, video);
    std::vector<int> keptOf(source->nb_streams, -1);
    for (unsigned k = 0; k < source->nb_streams; ++k) {
        const AVStream* from = source->streams[k];
        std::string why;
        if (from == sourceVideo || !keepsStream(joined.format()->oformat, from, why)) continue;
        keptOf[k] = joined.addStream(from->codecpar, from->time_base, from)->index;
    }
    joined.open();
    JoinedPackets packets(source.get(), parts, keptOf);
    while (packets.writeNext([&](AVPacket* packet, AVRational timeBase, bool isVideo) {
        joined.write(packet, timeBase, isVideo ? video->index : keptOf[packet->stream_index]);
    })) {
    }
    joined.finish();
}

}  // namespace nightdehaze::video
