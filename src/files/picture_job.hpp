#pragma once
// One picture or clip from path to path, as the tool does it, for the tool
// and the Python package: each makes one call.
#include "files/options.hpp"
#include "nightdehaze/nightdehaze.hpp"

#include <functional>
#include <string>

namespace nightdehaze::files {

// How the caller of a job hears from it.
struct JobHooks {
    // One-line warnings (metadata that cannot be kept, ignored arguments);
    // by default to standard error after "nightdehaze: warning: ".
    std::function<void(const std::string&)> warn;
    // Follows and may stop the enhancement; nullptr: neither.
    nightdehaze::ProgressMonitor* monitor = nullptr;
    // Called once every check that can fail before the work has passed,
    // before the input is read.
    std::function<void()> checksPassed;
    // Appended to the message of an input that cannot be read.
    std::string readFailureHint;
    // SIGINT and SIGTERM wait while the outputs are written (for callers
    // with handlers of their own); otherwise they remove the temporaries
    // and end the process.
    bool signalsWaitForTheWrite = false;
};

// Plans and checks the outputs (UsageError for a request no file can satisfy),
// reads the picture, enhances it with options.context and writes the result
// (and with writeMaps the airlight and transmission) all-or-nothing, with the
// input's metadata where the format holds it. Returns the result's path.
// Throws FileError naming the path and the reason when the input cannot be
// read or an output written, with errno ENOMEM when memory runs out;
// nightdehaze::Cancelled when the monitor stopped it. Reading and writing
// take turns between threads; enhancing runs at once.
std::string enhancePictureFile(const Options& options, const JobHooks& hooks = {});

// The picture enhancePictureFile would enhance for path: decoded as 8-bit BGR
// (CV_8UC3), turned upright, refused as it refuses a picture (FileError).
cv::Mat readPictureFile(const std::string& path);

// enhancePictureFile, or for a video (recognised by its content) or a live
// source (isLiveSource) the video module's run, which writes its own stage
// lines and progress. Throws
// UsageError (exit status 2) or another std::exception (exit status 1).
void enhanceFile(const Options& options, const JobHooks& hooks = {});

}  // namespace nightdehaze::files
