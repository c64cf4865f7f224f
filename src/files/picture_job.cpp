#include "files/picture_job.hpp"

#include "files/file_error.hpp"
#include "files/input_image.hpp"
#include "files/output_files.hpp"
#include "files/photo_metadata.hpp"
#include "files/picture_steps.hpp"
#include "files/same_file.hpp"
#include "files/signals_held.hpp"
#include "files/usage_error.hpp"
#include "files/live_source.hpp"
#include "files/video_module_loader.hpp"

#include "core/memory/buffer_reuse.hpp"

#include <cerrno>
#include <iostream>
#include <mutex>
#include <new>
#include <optional>
#include <utility>

namespace {

// Decoding and writing redirect standard error, point OpenCV's scratch
// directory elsewhere and install signal handlers: one thread at a time.
std::mutex fileAccess;

void warnOnStderr(const std::string& message) {
    std::cerr << "nightdehaze: warning: " << message << std::endl;
}

// The plan, once every check that needs no input has passed: a request no
// file can satisfy (an unknown format, an encoder that does not work) is a
// usage error.
OutputPlan checkedPlan(const Options& options) {
    const OutputPlan plan = planOutputs(options);
    refuseOutputsOverInput(options.inputPath, plan.paths());
    checkOutputKind(options, plan);
    try {
        checkBeforeWork(plan);
    } catch (const std::runtime_error& e) {
        throw UsageError(e.what());
    }
    return plan;
}

PictureInput readInput(const Options& options, const OutputPlan& plan, const JobHooks& hooks, const Warn& warn) {
    static const bool metadataReady = (initializeMetadataLibrary(), true);
    (void)metadataReady;
    const std::lock_guard<std::mutex> lock(fileAccess);
    checkOutputTargets(plan.paths());
    try {
        return loadPicture(options, plan, warn);
    } catch (const FileError& e) {
        if (hooks.readFailureHint.empty()) throw;
        throw FileError(e.what() + hooks.readFailureHint, e.systemError());
    }
}

// The picture is given up to the enhancement, which frees it as soon as it
// has read it.
cv::Mat enhanced(const Options& options, cv::Mat&& picture, nightdehaze::HazeMaps& maps, const JobHooks& hooks) {
    nightdehaze::ProgressMonitor silent;
    nightdehaze::ProgressMonitor& monitor = hooks.monitor ? *hooks.monitor : silent;
    const cv::Size size = picture.size();
    const auto outOfMemory = [&] { return FileError(outOfMemoryMessage(options.inputPath, size), ENOMEM); };
    try {
        return nightdehaze::enhance(std::move(picture), options.context, options.writeMaps ? &maps : nullptr,
                                    monitor);
    } catch (const std::bad_alloc&) {
        throw outOfMemory();
    } catch (const cv::Exception& e) {
        if (e.code != cv::Error::StsNoMem) throw;
        throw outOfMemory();
    }
}

void write(const std::vector<OutputFile>& outputs, const JobHooks& hooks) {
    const std::lock_guard<std::mutex> lock(fileAccess);
    std::optional<SignalsHeld> held;
    if (hooks.signalsWaitForTheWrite) held.emplace();
    writeFilesAtomically(outputs);
}

// The video module for an input that may be a video, or nullptr when the
// input is a picture or something else the picture path reports on.
const NightdehazeVideoModule* videoModuleFor(const std::string& inputPath) {
    if (!mayBeVideo(inputPath)) return nullptr;
    const NightdehazeVideoModule* video = nullptr;
    try {
        video = &loadVideoModule();
    } catch (const std::runtime_error& e) {
        throw std::runtime_error("cannot read '" + inputPath +
                                 "': no picture decoder reads it, and videos cannot be read: " + e.what());
    }
    return video->isVideo(inputPath.c_str()) ? video : nullptr;
}

// How long a live run waits for its source when the user does not say.
constexpr double kDefaultReconnectSeconds = 30.0;

void runVideoModule(const NightdehazeVideoModule& video, const Options& options, bool live) {
    NightdehazeVideoJob job{};
    job.live = live;
    job.segmentSeconds = options.segmentSeconds.value_or(0.0);
    job.reconnectSeconds = options.reconnectSeconds.value_or(kDefaultReconnectSeconds);
    job.inputPath = options.inputPath.c_str();
    job.outputPath = options.outputPath ? options.outputPath->c_str() : nullptr;
    job.gamma = options.context.gamma;
    job.nonLocal = options.context.useNonLocalFilter != 0;
    job.clean = options.context.clean;
    job.fast = options.context.fast;
    job.perFrame = options.perFrame;
    job.writeMaps = options.writeMaps;
    std::string failure;
    const auto keep = [](void* receiver, const char* message) { *static_cast<std::string*>(receiver) = message; };
    const int status = video.run(&job, keep, &failure);
    if (status == 2) throw UsageError(failure);
    if (status != 0) throw std::runtime_error(failure);
}

}  // namespace

std::string enhancePictureFile(const Options& options, const JobHooks& hooks) {
    const Warn warn = hooks.warn ? hooks.warn : Warn(warnOnStderr);
    const OutputPlan plan = checkedPlan(options);
    if (hooks.checksPassed) hooks.checksPassed();
    PictureInput input = readInput(options, plan, hooks, warn);
    nightdehaze::HazeMaps maps;
    const cv::Mat dehazed = enhanced(options, std::move(input.image), maps, hooks);
    nightdehaze::detail::releaseKeptBuffers();
    write(encodeOutputs(plan, dehazed, maps, input.metadata, warn), hooks);
    return plan.result;
}

cv::Mat readPictureFile(const std::string& path) {
    const std::lock_guard<std::mutex> lock(fileAccess);
    return decodePicture(readImageFile(path), path);
}

void enhanceFile(const Options& options, const JobHooks& hooks) {
    checkLiveOptions(options);
    if (isLiveSource(options.inputPath)) {
        const NightdehazeVideoModule& video = loadVideoModule();
        if (hooks.checksPassed) hooks.checksPassed();
        runVideoModule(video, options, true);
        return;
    }
    if (const NightdehazeVideoModule* video = videoModuleFor(options.inputPath)) {
        if (hooks.checksPassed) hooks.checksPassed();
        runVideoModule(*video, options, false);
        return;
    }
    enhancePictureFile(options, hooks);
}
