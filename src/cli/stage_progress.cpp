#include "cli/stage_progress.hpp"

#include <unistd.h>

#include <cmath>
#include <iostream>

namespace nightdehaze::cli {

namespace {

constexpr int kBarWidth = 30;                                   // characters between the brackets
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);  // smooth, yet cheap over ssh
constexpr const char* kClearLine = "\r\033[K";

void writeToStderr(const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(STDERR_FILENO, text.data() + done, text.size() - done);
        if (n <= 0) return;   // a terminal that went away: the bar is not worth an error
        done += static_cast<size_t>(n);
    }
}

}  // namespace

StageProgress::StageProgress() : showBar_(isatty(STDERR_FILENO) == 1) {}

StageProgress::~StageProgress() { clear(); }

void StageProgress::stageBegins(const char* stage) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (drawn_) writeToStderr(kClearLine);   // the stage line must not land inside the bar
    nightdehaze::writeStageLine(std::cout, stage);
    stage_ = stage;
    if (showBar_) draw();
}

void StageProgress::advanced(double share) {
    std::lock_guard<std::mutex> lock(mutex_);
    share_ = share;
    if (showBar_ && std::chrono::steady_clock::now() - lastDraw_ >= kRedrawInterval) draw();
}

void StageProgress::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (drawn_) writeToStderr(kClearLine);
    drawn_ = false;
}

void StageProgress::draw() {
    const int filled = static_cast<int>(std::floor(share_ * kBarWidth));
    const int percent = static_cast<int>(std::floor(share_ * 100));
    std::string bar = std::string(kClearLine) + "[" + std::string(filled, '#') +
                      std::string(kBarWidth - filled, '-') + "] " + std::to_string(percent) + "%  " + stage_;
    writeToStderr(bar);
    drawn_ = true;
    lastDraw_ = std::chrono::steady_clock::now();
}

}  // namespace nightdehaze::cli
