#include "video/live_recording.hpp"

#include <cmath>
#include <cstdio>

namespace nightdehaze::video {

std::string segmentPath(const std::string& destination, long long index) {
    const size_t slash = destination.find_last_of('/');
    const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    size_t dot = destination.find_last_of('.');
    if (dot == std::string::npos || dot <= nameStart) dot = destination.size();
    char number[24];
    std::snprintf(number, sizeof number, "_%03lld", index);
    return destination.substr(0, dot) + number + destination.substr(dot);
}

LiveRecording::LiveRecording(std::string destination, const VideoShape& shape,
                             std::optional<double> segmentSeconds)
    : destination_(std::move(destination)), shape_(shape), segmentSeconds_(segmentSeconds) {}

long long LiveRecording::segmentOf(double seconds) const {
    return segmentSeconds_ ? static_cast<long long>(std::floor(seconds / *segmentSeconds_)) : 0;
}

bool LiveRecording::write(const cv::Mat& bgr, double seconds) {
    const std::int64_t pts = std::llround(seconds / av_q2d(shape_.timeBase));
    if (pts <= lastPts_) return false;  // two frames closer than one tick of the clock
    const long long segment = segmentOf(seconds);
    if (!output_ || segment > segment_) {
        if (output_) {
            output_->finish();
            output_.reset();
        }
        const std::string path = segmentSeconds_ ? segmentPath(destination_, files_) : destination_;
        output_ = std::make_unique<VideoOutput>(path, shape_);
        segment_ = segment;
        ++files_;
    }
    output_->writeFrame(bgr, pts);
    lastPts_ = pts;
    ++frames_;
    return true;
}

void LiveRecording::finish() {
    if (output_) output_->finish();
    output_.reset();
}

}  // namespace nightdehaze::video
