#include "video/video_progress.hpp"

#include <unistd.h>

#include <cstdio>
#include <iostream>

namespace nightdehaze::video {

namespace {

// Redraws at most this often, so the line stays readable and cheap.
constexpr std::chrono::milliseconds kRedrawInterval(250);

std::string duration(double seconds) {
    const long long s = static_cast<long long>(seconds + 0.5);
    char text[32];
    if (s >= 3600)
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
    else
        std::snprintf(text, sizeof text, "%lld:%02lld", s / 60, s % 60);
    return text;
}

}  // namespace

VideoProgress::VideoProgress()
    : shown_(isatty(STDERR_FILENO) == 1), start_(std::chrono::steady_clock::now()), lastShown_(start_) {}

void VideoProgress::frameDone() {
    ++done_;
    if (!shown_) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - lastShown_ < kRedrawInterval) return;
    lastShown_ = now;
    const double elapsed = std::chrono::duration<double>(now - start_).count();
    const double rate = elapsed > 0.0 ? static_cast<double>(done_) / elapsed : 0.0;
    std::string line = "\rframe " + std::to_string(done_);
    if (total_ > 0) line += " of " + std::to_string(total_);
    if (dropped_ > 0) line += ", " + std::to_string(dropped_) + " dropped";
    char speed[32];
    std::snprintf(speed, sizeof speed, ", %.2f frames/s", rate);
    line += speed;
    if (total_ > done_ && rate > 0.0)
        line += ", " + duration(static_cast<double>(total_ - done_) / rate) + " left";
    std::cerr << line << "\033[K" << std::flush;
    lineShowing_ = true;
}

void VideoProgress::warn(const std::string& text) {
    clearLine();
    std::cerr << "nightdehaze: warning: " << text << std::endl;
}

void VideoProgress::finish() { clearLine(); }

void VideoProgress::clearLine() {
    if (!lineShowing_) return;
    std::cerr << "\r\033[K" << std::flush;
    lineShowing_ = false;
}

}  // namespace nightdehaze::video
