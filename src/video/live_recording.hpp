#pragma once
// Where a live run's enhanced frames go: one file or stream, or a file per
// segment of the source's time.
#include "video/video_output.hpp"

#include <memory>
#include <optional>
#include <string>

namespace nightdehaze::video {

// The name of segment index of destination: "night.mkv", 3 -> "night_003.mkv".
std::string segmentPath(const std::string& destination, long long index);

class LiveRecording {
public:
    // Nothing is created before the first frame. With segmentSeconds, frame
    // times from k * segmentSeconds on go to segment k's own file.
    LiveRecording(std::string destination, const VideoShape& shape, std::optional<double> segmentSeconds);

    // Encodes a frame of the shape's size at seconds on the run's clock
    // (rising); finishes the segment before when seconds starts a new one.
    // False, writing nothing, for a frame less than one tick after the last.
    bool write(const cv::Mat& bgr, double seconds);

    // Finishes the file or stream written last, so that every one plays.
    void finish();

    long long framesWritten() const { return frames_; }

private:
    long long segmentOf(double seconds) const;

    std::string destination_;
    VideoShape shape_;
    std::optional<double> segmentSeconds_;
    std::unique_ptr<VideoOutput> output_;
    long long segment_ = -1;        // the segment output_ writes
    std::int64_t lastPts_ = -1;
    long long frames_ = 0;
    long long files_ = 0;           // started so far, the number of the next segment
};

}  // namespace nightdehaze::video
