#pragma once
// The video path's report on standard error: a progress line rewritten in
// place while it is a terminal, and warnings on lines of their own.
#include <chrono>
#include <string>

namespace nightdehaze::video {

class VideoProgress {
public:
    // Shows the progress line only when standard error is a terminal.
    VideoProgress();

    // Frames the clip is expected to hold; 0 when unknown.
    void expect(long long frames) { total_ = frames; }

    // One more frame written.
    void frameDone();

    // One more frame of a live source left out before enhancing.
    void frameDropped() { ++dropped_; }

    // "nightdehaze: warning: <text>" on a line of its own.
    void warn(const std::string& text);

    // Clears the progress line.
    void finish();

    long long framesDone() const { return done_; }

private:
    void clearLine();

    bool shown_;
    bool lineShowing_ = false;
    long long total_ = 0;
    long long done_ = 0;
    long long dropped_ = 0;
    std::chrono::steady_clock::time_point start_, lastShown_;
};

}  // namespace nightdehaze::video
