#pragma once
#include "nightdehaze/nightdehaze.hpp"

#include <chrono>
#include <mutex>
#include <string>

namespace nightdehaze::cli {

// The tool's feedback on an enhance call: the stage lines on standard output,
// exactly as the library writes them, and, when standard error is a terminal,
// a progress bar there with the stage and the share done, redrawn in place at
// most a few times a second. Nothing else goes to either stream.
class StageProgress : public nightdehaze::ProgressMonitor {
public:
    StageProgress();
    ~StageProgress() override;
    StageProgress(const StageProgress&) = delete;
    StageProgress& operator=(const StageProgress&) = delete;

    void stageBegins(const char* stage) override;
    void advanced(double share) override;

    // Removes the bar, so that what follows on the terminal starts on a clean
    // line. Called by the destructor too.
    void clear();

private:
    void draw();   // callers hold mutex_

    const bool showBar_;
    std::mutex mutex_;
    std::string stage_;
    double share_ = 0;
    bool drawn_ = false;
    std::chrono::steady_clock::time_point lastDraw_;
};

}  // namespace nightdehaze::cli
