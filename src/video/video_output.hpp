#pragma once
// Writing the enhanced video: its frames encoded, the other streams of the
// input copied, all into a temporary beside the target that replaces it only
// once complete.
#include "files/temporary_files.hpp"
#include "video/video_input.hpp"

#include <opencv2/core.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace nightdehaze::video {

// True when the extension of path names a container FFmpeg writes that can
// hold H.264 or MPEG-4 video (.mp4, .mkv, .mov, .avi, ...), not a picture format.
bool canWriteVideoTo(const std::string& path);

// True when url names a stream the tool can send video to: udp://, srt://
// and tcp:// as MPEG-TS, rtmp:// and rtmps:// as FLV.
bool canStreamVideoTo(const std::string& url);

// Copies a container's or a stream's metadata, less what a muxer or an
// encoder writes anew or what is no longer true of an encoded copy.
void copyMetadata(AVDictionary** to, const AVDictionary* from);

// Copies a stream's display matrix (its rotation), when it has one.
void copyDisplayMatrix(const AVStream* from, AVStream* to);

// True when an output in format keeps the input stream from (audio and
// subtitles, in a codec the container holds); else why not, in why.
bool keepsStream(const AVOutputFormat* format, const AVStream* from, std::string& why);

// How hard x264 works per frame: its default balance, a preset that keeps
// up with the fast engine, or that preset without delay for a live run.
enum class EncoderPace { balanced, keepUp, live };

// Where a file output is written, and which input streams it holds: the
// tool's file appears only when complete (a temporary renamed into place)
// with every copyable stream; a part of a clip that the batch joins later is
// written at its own path, video only, by a caller that removes it.
struct OutputPlacement {
    bool inPlace = false;           // write path itself; remove it when not finished
    bool otherStreams = true;       // copy the input's audio and subtitles
};

// The video stream an output encodes.
struct VideoShape {
    int width = 0;
    int height = 0;
    AVRational sampleAspect{0, 1};
    AVRational timeBase{1, 90000};
    AVRational frameRate{25, 1};
    AVColorSpace colorSpace = AVCOL_SPC_UNSPECIFIED;  // the matrix the frames were converted with
    AVColorPrimaries primaries = AVCOL_PRI_UNSPECIFIED;
    AVColorTransferCharacteristic transfer = AVCOL_TRC_UNSPECIFIED;
};

class VideoOutput {
public:
    // Sets up the container named by path's extension, with a video stream of
    // the input's frame size, rate, time base and display matrix, and a copy of
    // each audio and subtitle stream the container can hold (warn names each
    // stream left out), and creates its temporary file. While the object
    // lives, SIGINT and SIGTERM remove the temporary before the process ends.
    // Throws std::runtime_error naming the path and the reason.
    VideoOutput(const std::string& path, const VideoInput& input, const VideoInput::Warn& warn,
                EncoderPace pace = EncoderPace::balanced, OutputPlacement placement = {});
    // A live run's output, its video only, encoded without delay: a file
    // written to a temporary beside it that finish moves into place (no
    // signal removes it: a live run finishes its file on SIGINT and SIGTERM),
    // or a stream (canStreamVideoTo) sent as it is encoded. Throws
    // std::runtime_error naming the destination and the reason.
    VideoOutput(const std::string& destination, const VideoShape& shape);
    // Removes the temporary unless finish succeeded.
    ~VideoOutput();
    VideoOutput(const VideoOutput&) = delete;
    VideoOutput& operator=(const VideoOutput&) = delete;

    // Encodes a CV_8UC3 frame of the input's size; pts in the input video
    // stream's time base (a live output's shape.timeBase), rising.
    void writeFrame(const cv::Mat& bgr, std::int64_t pts);

    // Copies a packet of another input stream (its index and time base) when
    // that stream is kept. Takes the packet's data.
    void copyPacket(AVPacket* packet);

    // Flushes the encoder, completes the container, syncs a file to disk and
    // moves it into place (an in-place file is only synced). Throws std::runtime_error on failure.
    void finish();

    // H.264 through libx264, or MPEG-4 part 2 when that is missing.
    const char* encoderName() const;

private:
    void openStreams(const VideoInput& input, const VideoInput::Warn& warn, EncoderPace pace, bool otherStreams);
    void closeContainer() noexcept;
    void openEncoder(const VideoShape& shape, EncoderPace pace);
    void keepInputDescription(const VideoInput& input);
    void addCopiedStreams(const VideoInput& input, const VideoInput::Warn& warn);
    void createTemporary();
    void openFile();
    void openStream();
    void writeToDisk();
    void encode(const AVFrame* frame);
    [[noreturn]] void fail(const std::string& what, int code) const;

    std::string path_;
    bool stream_ = false;                // path_ is a URL written as it goes
    bool inPlace_ = false;               // path_ written directly, left unrenamed
    // Removes the temporary on a signal unless finish moved it into place;
    // none for a live file, whose temporary the destructor removes.
    std::optional<files::SignalSafeTemporaries> temporaries_;
    std::string temporary_;
    bool finished_ = false;
    AVFormatContext* format_ = nullptr;
    CodecPtr encoder_;
    AVStream* videoStream_ = nullptr;
    std::vector<int> copiedStreamOf_;           // input stream -> output stream, or -1
    std::vector<AVRational> inputTimeBases_;
    FramePtr frame_;
    PacketPtr packet_;
    ScalePtr scale_;
    AVColorSpace colorSpace_ = AVCOL_SPC_UNSPECIFIED;
};

}  // namespace nightdehaze::video
