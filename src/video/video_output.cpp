#include "video/video_output.hpp"

#include "files/file_error.hpp"
#include "files/live_addresses.hpp"
#include "files/signals_held.hpp"

extern "C" {
#include <libavutil/display.h>
#include <libavutil/opt.h>
}

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstring>
#include <stdexcept>
#include <string>

namespace nightdehaze::video {

namespace {

// x264's constant rate factor: FFmpeg's H.264 guide calls 17 or 18 visually
// lossless or nearly so for 8-bit video, at a fraction of the size of a
// lossless encode.
constexpr const char* kH264Quality = "18";
// x264's preset: its default balance of speed and size; encoding stays a small
// share of the time next to the enhancement.
constexpr const char* kH264Preset = "medium";
// With the fast engine (and live) a frame's enhancement takes a fraction of
// the exact engine's time and "medium" on one thread becomes a large share
// of it. "ultrafast" keeps up; at a lower constant rate factor it stays
// closer to the frames it encodes than a slower preset at 18, paying with a
// larger file (docs/performance.md has the measures).
constexpr const char* kH264KeepUpPreset = "ultrafast";
constexpr const char* kH264KeepUpQuality = "16";
// A live run cannot wait for frames to come: "zerolatency" turns off x264's
// look-ahead and B-frames, so each frame leaves the encoder as it goes in.
constexpr const char* kH264LiveTune = "zerolatency";
// A live stream starts a new group of pictures every two seconds, so a
// viewer that joins, or a recording cut after a loss, shows a picture soon.
constexpr double kLiveKeyframeSeconds = 2.0;
// MPEG-TS over UDP in datagrams of seven 188-byte packets: they fit an
// Ethernet frame whole.
constexpr const char* kUdpPacketSize = "1316";
// MPEG-4 part 2 quantiser of the fallback: 2, the finest in normal use.
constexpr int kMpeg4Quantiser = 2;

// The instruction sets x264 may use: what this CPU has, without AVX-512.
// x264's AVX-512 kernels let what a buffer held before reach its
// decisions, so a process that encodes a second clip wrote other bytes than
// one that encodes it first; without them the same frames give the same file
// in any process. x264 takes the list as given, so it names only sets the
// CPU reports.
std::string x264InstructionSets() {
    __builtin_cpu_init();
    std::string sets = "MMX2";  // every x86-64 CPU
    const auto add = [&sets](bool supported, const char* name) {
        if (supported) sets += std::string(",") + name;
    };
    // The builtin takes its feature names as literals only.
    add(__builtin_cpu_supports("sse"), "SSE");
    add(__builtin_cpu_supports("sse2"), "SSE2");
    add(__builtin_cpu_supports("sse3"), "SSE3");
    add(__builtin_cpu_supports("ssse3"), "SSSE3");
    add(__builtin_cpu_supports("sse4.1"), "SSE4.1");
    add(__builtin_cpu_supports("sse4.2"), "SSE4.2");
    add(__builtin_cpu_supports("avx"), "AVX");
    add(__builtin_cpu_supports("avx2"), "AVX2");
    add(__builtin_cpu_supports("fma"), "FMA3");
    add(__builtin_cpu_supports("bmi"), "BMI1");
    add(__builtin_cpu_supports("bmi2"), "BMI2");
    return sets;
}

bool isPictureMuxer(const AVOutputFormat* format) {
    const std::string name = format->name;
    return name.rfind("image2", 0) == 0 || name.find("_pipe") != std::string::npos;
}

// 1: the container holds the codec; 0: it does not; below 0: it does not say.
int holds(const AVOutputFormat* format, AVCodecID codec) {
    return avformat_query_codec(format, codec, FF_COMPLIANCE_NORMAL);
}

const AVCodec* videoEncoderFor(const AVOutputFormat* format) {
    const AVCodec* h264 = avcodec_find_encoder_by_name("libx264");
    if (h264 && holds(format, AV_CODEC_ID_H264) != 0) return h264;
    const AVCodec* mpeg4 = avcodec_find_encoder(AV_CODEC_ID_MPEG4);
    if (mpeg4 && holds(format, AV_CODEC_ID_MPEG4) != 0) return mpeg4;
    return nullptr;
}

const AVOutputFormat* videoMuxerFor(const std::string& path) {
    const AVOutputFormat* format = av_guess_format(nullptr, path.c_str(), nullptr);
    if (!format || isPictureMuxer(format) || (format->flags & AVFMT_NOFILE)) return nullptr;
    return format;
}

// The muxer of a stream URL by its scheme, or nullptr.
const AVOutputFormat* streamMuxerFor(const std::string& url) {
    const std::string scheme = files::urlScheme(url);
    if (scheme == "udp" || scheme == "srt" || scheme == "tcp") return av_guess_format("mpegts", nullptr, nullptr);
    if (scheme == "rtmp" || scheme == "rtmps") return av_guess_format("flv", nullptr, nullptr);
    return nullptr;
}

// Primaries and transfer to tag frames converted with this matrix by, when
// the input states none.
AVColorPrimaries primariesOf(AVColorSpace space) {
    return space == AVCOL_SPC_BT709 ? AVCOL_PRI_BT709 : AVCOL_PRI_SMPTE170M;
}
AVColorTransferCharacteristic transferOf(AVColorSpace space) {
    return space == AVCOL_SPC_BT709 ? AVCOL_TRC_BT709 : AVCOL_TRC_SMPTE170M;
}

// Side and rate of the clip the probe below writes: small enough to take
// microseconds, even for 4:2:0.
constexpr int kProbeSide = 16;
constexpr int kProbeRate = 25;

// Writes the header and trailer of a tiny clip of codec into memory: the
// muxer's own answer to whether it holds that video (GIF, MP3 and Ogg say no
// only there).
bool muxerWritesVideo(const AVOutputFormat* muxer, const AVCodec* codec) {
    AVFormatContext* format = nullptr;
    if (avformat_alloc_output_context2(&format, muxer, nullptr, nullptr) < 0) return false;
    const std::unique_ptr<AVFormatContext, void (*)(AVFormatContext*)> owner(
        format, [](AVFormatContext* f) { avformat_free_context(f); });
    CodecPtr encoder(avcodec_alloc_context3(codec));
    if (!encoder) throw std::bad_alloc();
    AVCodecContext* e = encoder.get();
    e->width = e->height = kProbeSide;
    e->pix_fmt = AV_PIX_FMT_YUV420P;
    e->time_base = AVRational{1, kProbeRate};
    e->framerate = AVRational{kProbeRate, 1};
    if (muxer->flags & AVFMT_GLOBALHEADER) e->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    AVStream* stream = avformat_new_stream(format, nullptr);
    if (!stream || avcodec_open2(e, codec, nullptr) < 0) return false;
    avcodec_parameters_from_context(stream->codecpar, e);
    stream->time_base = e->time_base;
    if (avio_open_dyn_buf(&format->pb) < 0) throw std::bad_alloc();
    const bool written = avformat_write_header(format, nullptr) >= 0 && av_write_trailer(format) >= 0;
    uint8_t* bytes = nullptr;
    avio_close_dyn_buf(format->pb, &bytes);
    av_free(bytes);
    format->pb = nullptr;
    return written;
}

VideoShape shapeOf(const VideoInput& input) {
    const AVStream* in = input.videoStream();
    const AVCodecParameters* p = in->codecpar;
    VideoShape shape;
    shape.width = p->width;
    shape.height = p->height;
    shape.sampleAspect = p->sample_aspect_ratio;
    shape.timeBase = in->time_base;
    shape.frameRate = input.frameRate();
    shape.colorSpace = input.colorSpace();
    shape.primaries = p->color_primaries;
    shape.transfer = p->color_trc;
    return shape;
}

}  // namespace

void copyMetadata(AVDictionary** to, const AVDictionary* from) {
    const AVDictionaryEntry* entry = nullptr;
    while ((entry = av_dict_get(from, "", entry, AV_DICT_IGNORE_SUFFIX))) {
        const std::string key = entry->key;
        // Written anew by the muxer and encoder, or no longer true.
        if (key == "encoder" || key == "major_brand" || key == "minor_version" || key == "compatible_brands")
            continue;
        av_dict_set(to, entry->key, entry->value, 0);
    }
}

void copyDisplayMatrix(const AVStream* from, AVStream* to) {
    size_t size = 0;
    const uint8_t* matrix = av_stream_get_side_data(from, AV_PKT_DATA_DISPLAYMATRIX, &size);
    if (!matrix) return;
    uint8_t* copy = av_stream_new_side_data(to, AV_PKT_DATA_DISPLAYMATRIX, size);
    if (!copy) throw std::bad_alloc();
    std::memcpy(copy, matrix, size);
}

bool keepsStream(const AVOutputFormat* format, const AVStream* from, std::string& why) {
    const AVMediaType type = from->codecpar->codec_type;
    const bool copyable = type == AVMEDIA_TYPE_AUDIO || type == AVMEDIA_TYPE_SUBTITLE;
    if (copyable && holds(format, from->codecpar->codec_id) != 0) return true;
    why = copyable ? "its container cannot hold it" : "only audio and subtitles are copied";
    return false;
}

bool canStreamVideoTo(const std::string& url) {
    silenceLibav();
    const AVOutputFormat* format = streamMuxerFor(url);
    return format && videoEncoderFor(format);
}

bool canWriteVideoTo(const std::string& path) {
    silenceLibav();
    const AVOutputFormat* format = videoMuxerFor(path);
    const AVCodec* codec = format ? videoEncoderFor(format) : nullptr;
    return codec && muxerWritesVideo(format, codec);
}

VideoOutput::VideoOutput(const std::string& path, const VideoInput& input, const VideoInput::Warn& warn,
                         EncoderPace pace, OutputPlacement placement)
    : path_(path), inPlace_(placement.inPlace) {
    silenceLibav();
    if (!inPlace_) temporaries_.emplace();
    const AVOutputFormat* muxer = videoMuxerFor(path);
    if (!muxer || !videoEncoderFor(muxer))
        throw std::runtime_error("cannot write a video to '" + path +
                                 "': its extension names no video container (use .mp4, .mkv, .mov or .avi)");
    const int status = avformat_alloc_output_context2(&format_, muxer, nullptr, nullptr);
    if (status < 0) fail("cannot set up the container", status);
    try {
        openStreams(input, warn, pace, placement.otherStreams);
    } catch (...) {
        closeContainer();  // no destructor runs for an object whose constructor threw
        throw;
    }
}

VideoOutput::VideoOutput(const std::string& destination, const VideoShape& shape)
    : path_(destination), stream_(files::isStreamOutput(destination)) {
    silenceLibav();
    const AVOutputFormat* muxer = stream_ ? streamMuxerFor(destination) : videoMuxerFor(destination);
    if (!muxer || !videoEncoderFor(muxer))
        throw std::runtime_error("cannot write a video to '" + destination +
                                 "': name a .mkv, .mp4 or .ts file, or a udp://, srt://, tcp:// or rtmp:// stream");
    const int status = avformat_alloc_output_context2(&format_, muxer, nullptr, nullptr);
    if (status < 0) fail("cannot set up the container", status);
    try {
        frame_.reset(av_frame_alloc());
        packet_.reset(av_packet_alloc());
        if (!frame_ || !packet_) throw std::bad_alloc();
        openEncoder(shape, EncoderPace::live);
        if (stream_)
            openStream();
        else
            openFile();
    } catch (...) {
        closeContainer();
        throw;
    }
}

void VideoOutput::openStreams(const VideoInput& input, const VideoInput::Warn& warn, EncoderPace pace,
                              bool otherStreams) {
    frame_.reset(av_frame_alloc());
    packet_.reset(av_packet_alloc());
    if (!frame_ || !packet_) throw std::bad_alloc();
    copyMetadata(&format_->metadata, input.container()->metadata);
    openEncoder(shapeOf(input), pace);
    keepInputDescription(input);
    if (otherStreams)
        addCopiedStreams(input, warn);
    else
        copiedStreamOf_.assign(input.container()->nb_streams, -1);
    openFile();
}

void VideoOutput::openFile() {
    createTemporary();
    int status = avio_open(&format_->pb, ("file:" + temporary_).c_str(), AVIO_FLAG_WRITE);
    if (status < 0) fail("cannot open its temporary file", status);
    status = avformat_write_header(format_, nullptr);
    if (status < 0) fail("cannot write the container's header", status);
}

void VideoOutput::openStream() {
    AVDictionary* options = nullptr;
    if (files::urlScheme(path_) == "udp") av_dict_set(&options, "pkt_size", kUdpPacketSize, 0);
    int status = avio_open2(&format_->pb, path_.c_str(), AVIO_FLAG_WRITE, nullptr, &options);
    av_dict_free(&options);
    if (status < 0) fail("cannot open the stream", status);
    status = avformat_write_header(format_, nullptr);
    if (status < 0) fail("cannot write the stream's header", status);
}

void VideoOutput::closeContainer() noexcept {
    if (!format_) return;
    if (format_->pb) avio_closep(&format_->pb);
    avformat_free_context(format_);
    format_ = nullptr;
}

VideoOutput::~VideoOutput() {
    closeContainer();
    if (!finished_ && !temporaries_ && !temporary_.empty()) unlink(temporary_.c_str());
}

const char* VideoOutput::encoderName() const { return encoder_->codec->name; }

void VideoOutput::openEncoder(const VideoShape& shape, EncoderPace pace) {
    const AVCodec* codec = videoEncoderFor(format_->oformat);
    encoder_.reset(avcodec_alloc_context3(codec));
    if (!encoder_) throw std::bad_alloc();
    AVCodecContext* e = encoder_.get();
    const bool h264 = codec->id == AV_CODEC_ID_H264;
    // 4:2:0 halves the colour planes, which needs even sides; x264 keeps an
    // odd-sized frame whole in 4:4:4 instead (MPEG-4 pads internally).
    const bool evenSides = shape.width % 2 == 0 && shape.height % 2 == 0;
    e->width = shape.width;
    e->height = shape.height;
    e->pix_fmt = h264 && !evenSides ? AV_PIX_FMT_YUV444P : AV_PIX_FMT_YUV420P;
    e->sample_aspect_ratio = shape.sampleAspect;
    e->time_base = shape.timeBase;
    e->framerate = shape.frameRate;
    colorSpace_ = shape.colorSpace;
    e->colorspace = colorSpace_;
    e->color_range = AVCOL_RANGE_MPEG;
    e->color_primaries = shape.primaries != AVCOL_PRI_UNSPECIFIED ? shape.primaries : primariesOf(colorSpace_);
    e->color_trc = shape.transfer != AVCOL_TRC_UNSPECIFIED ? shape.transfer : transferOf(colorSpace_);
    e->thread_count = 1;  // the enhancement keeps every core busy
    if (pace == EncoderPace::live)
        e->gop_size = std::max(1, static_cast<int>(std::lround(kLiveKeyframeSeconds * av_q2d(shape.frameRate))));
    if (format_->oformat->flags & AVFMT_GLOBALHEADER) e->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    AVDictionary* options = nullptr;
    if (h264) {
        av_dict_set(&options, "crf", pace == EncoderPace::balanced ? kH264Quality : kH264KeepUpQuality, 0);
        av_dict_set(&options, "preset", pace == EncoderPace::balanced ? kH264Preset : kH264KeepUpPreset, 0);
        if (pace == EncoderPace::live) av_dict_set(&options, "tune", kH264LiveTune, 0);
        av_dict_set(&options, "x264-params", ("asm=" + x264InstructionSets()).c_str(), 0);
    } else {
        e->flags |= AV_CODEC_FLAG_QSCALE;
        e->global_quality = FF_QP2LAMBDA * kMpeg4Quantiser;
        if (pace == EncoderPace::live) e->max_b_frames = 0;
    }
    const int status = avcodec_open2(e, codec, &options);
    av_dict_free(&options);
    if (status < 0) fail(std::string("cannot open the ") + codec->name + " encoder", status);

    videoStream_ = avformat_new_stream(format_, nullptr);
    if (!videoStream_) throw std::bad_alloc();
    avcodec_parameters_from_context(videoStream_->codecpar, e);
    videoStream_->time_base = e->time_base;
    videoStream_->avg_frame_rate = e->framerate;
}

void VideoOutput::keepInputDescription(const VideoInput& input) {
    const AVStream* in = input.videoStream();
    videoStream_->disposition = in->disposition;
    copyMetadata(&videoStream_->metadata, in->metadata);
    copyDisplayMatrix(in, videoStream_);
}

void VideoOutput::addCopiedStreams(const VideoInput& input, const VideoInput::Warn& warn) {
    const AVFormatContext* in = input.container();
    copiedStreamOf_.assign(in->nb_streams, -1);
    for (unsigned k = 0; k < in->nb_streams; ++k) {
        const AVStream* from = in->streams[k];
        inputTimeBases_.push_back(from->time_base);
        if (from == input.videoStream()) continue;
        std::string why;
        if (!keepsStream(format_->oformat, from, why)) {
            const char* kind = av_get_media_type_string(from->codecpar->codec_type);
            warn("'" + path_ + "' leaves out input stream " + std::to_string(k) + " (" + (kind ? kind : "unknown") +
                 ", " + avcodec_get_name(from->codecpar->codec_id) + "): " + why);
            continue;
        }
        AVStream* to = avformat_new_stream(format_, nullptr);
        if (!to || avcodec_parameters_copy(to->codecpar, from->codecpar) < 0) throw std::bad_alloc();
        to->codecpar->codec_tag = 0;
        to->time_base = from->time_base;
        to->disposition = from->disposition;
        copyMetadata(&to->metadata, from->metadata);
        copiedStreamOf_[k] = to->index;
    }
}

void VideoOutput::createTemporary() {
    if (inPlace_) {
        temporary_ = path_;
        return;
    }
    int fd = -1;
    try {
        temporary_ = temporaries_ ? temporaries_->create(path_, fd) : files::createTemporaryBeside(path_, fd);
    } catch (const files::FileError& e) {
        throw std::runtime_error(e.what());
    }
    close(fd);
}

void VideoOutput::writeFrame(const cv::Mat& bgr, std::int64_t pts) {
    AVCodecContext* e = encoder_.get();
    if (bgr.cols != e->width || bgr.rows != e->height || bgr.type() != CV_8UC3)
        fail("a frame of " + std::to_string(bgr.cols) + "x" + std::to_string(bgr.rows) +
                 " pixels differs from the stream's size (size changes are not supported)",
             AVERROR(EINVAL));
    SwsContext* scale = sws_getCachedContext(scale_.release(), e->width, e->height, AV_PIX_FMT_BGR24, e->width,
                                             e->height, e->pix_fmt, SWS_BICUBIC | SWS_ACCURATE_RND, nullptr, nullptr,
                                             nullptr);
    scale_.reset(scale);
    if (!scale) throw std::bad_alloc();
    const int* coefficients = scaleCoefficients(colorSpace_);
    constexpr int kUnit = 1 << 16;  // swscale's fixed-point 1.0
    sws_setColorspaceDetails(scale, coefficients, 1, coefficients, 0, 0, kUnit, kUnit);
    AVFrame* f = frame_.get();
    av_frame_unref(f);
    f->format = e->pix_fmt;
    f->width = e->width;
    f->height = e->height;
    if (av_frame_get_buffer(f, 0) < 0) throw std::bad_alloc();
    const uint8_t* source[4] = {bgr.data, nullptr, nullptr, nullptr};
    const int strides[4] = {static_cast<int>(bgr.step), 0, 0, 0};
    sws_scale(scale, source, strides, 0, bgr.rows, f->data, f->linesize);
    f->pts = pts;
    f->color_range = AVCOL_RANGE_MPEG;
    f->colorspace = colorSpace_;
    encode(f);
}

void VideoOutput::encode(const AVFrame* frame) {
    int status = avcodec_send_frame(encoder_.get(), frame);
    if (status < 0) fail("cannot encode a frame", status);
    for (;;) {
        status = avcodec_receive_packet(encoder_.get(), packet_.get());
        if (status == AVERROR(EAGAIN) || status == AVERROR_EOF) return;
        if (status < 0) fail("cannot encode a frame", status);
        av_packet_rescale_ts(packet_.get(), encoder_->time_base, videoStream_->time_base);
        packet_->stream_index = videoStream_->index;
        status = av_interleaved_write_frame(format_, packet_.get());
        if (status < 0) fail("write failed", status);
    }
}

void VideoOutput::copyPacket(AVPacket* packet) {
    const int input = packet->stream_index;
    if (input < 0 || input >= static_cast<int>(copiedStreamOf_.size()) || copiedStreamOf_[input] < 0) return;
    AVStream* to = format_->streams[copiedStreamOf_[input]];
    av_packet_rescale_ts(packet, inputTimeBases_[input], to->time_base);
    packet->stream_index = to->index;
    packet->pos = -1;
    const int status = av_interleaved_write_frame(format_, packet);
    if (status < 0) fail("write failed", status);
}

void VideoOutput::finish() {
    encode(nullptr);
    int status = av_write_trailer(format_);
    if (status < 0) fail("cannot complete the container", status);
    status = avio_closep(&format_->pb);
    if (status < 0) fail("write failed", status);
    if (!stream_) writeToDisk();
    finished_ = true;
}

void VideoOutput::writeToDisk() {
    const int fd = open(temporary_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || fsync(fd) != 0) {
        const int error = errno;
        if (fd >= 0) close(fd);
        fail("cannot flush to disk", AVERROR(error));
    }
    close(fd);
    if (inPlace_) return;
    files::SignalsHeld blocked;
    if (std::rename(temporary_.c_str(), path_.c_str()) != 0)
        fail("cannot move the finished file into place", AVERROR(errno));
    if (temporaries_) temporaries_->keepAll();
}

void VideoOutput::fail(const std::string& what, int code) const {
    throw std::runtime_error("cannot write '" + path_ + "': " + what + ": " + libavError(code));
}

}  // namespace nightdehaze::video
