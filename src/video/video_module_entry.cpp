// The entry of the video module: the C boundary of src/files/video_module.hpp
// over the C++ video path. No exception crosses it.
#include "files/video_module.hpp"

#include "files/exit_status.hpp"
#include "files/live_addresses.hpp"
#include "files/options.hpp"
#include "files/usage_error.hpp"
#include "video/clip_join.hpp"
#include "video/clip_part.hpp"
#include "video/clip_plan.hpp"
#include "video/video_input.hpp"
#include "video/live_mode.hpp"
#include "video/video_mode.hpp"
#include "nightdehaze/nightdehaze.hpp"

#include <cstdio>
#include <exception>
#include <new>
#include <string>
#include <vector>

namespace nightdehaze::video {

namespace {

int isVideo(const char* path) noexcept {
    try {
        return path && isVideoFile(path) ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

files::Options optionsOf(const NightdehazeVideoJob& job) {
    std::vector<files::OptionText> texts;
    for (int k = 0; k < job.optionCount; ++k) texts.push_back({job.options[k].keyword, job.options[k].text});
    return files::optionsFromTexts(job.inputPath, texts);
}

// Runs work, turning what it throws into an exit status and one call of fail.
template <typename Work>
int guarded(const char* path, NightdehazeVideoFailure fail, void* receiver, Work&& work) noexcept {
    const auto failed = [&](int status, const std::string& message) {
        fail(receiver, message.c_str());
        return status;
    };
    try {
        // The module holds its own copy of the library: its matrices take its
        // own reusing allocator, for the whole run, as the tool's do.
        nightdehaze::installBufferReuse();
        work();
        return files::kExitSuccess;
    } catch (const files::UsageError& e) {
        return failed(files::kExitUsage, e.what());
    } catch (const std::bad_alloc&) {
        return failed(files::kExitFailure, "not enough memory to process '" + std::string(path) + "'");
    } catch (const std::exception& e) {
        return failed(files::kExitFailure, e.what());
    } catch (...) {
        return failed(files::kExitFailure, "the video module failed on '" + std::string(path) + "'");
    }
}

int run(const NightdehazeVideoJob* job, NightdehazeVideoFailure fail, void* receiver) noexcept {
    return guarded(job->inputPath, fail, receiver, [&] {
        const files::Options options = optionsOf(*job);
        if (files::isLiveSource(options.inputPath))
            runLive(options);
        else
            runVideo(options);
    });
}

std::string jsonList(const std::vector<std::int64_t>& values) {
    std::string text = "[";
    for (size_t k = 0; k < values.size(); ++k) text += (k ? ", " : "") + std::to_string(values[k]);
    return text + "]";
}

std::string jsonNumber(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

int plan(const char* path, double partSeconds, double warmSeconds, NightdehazeVideoReply reply,
         NightdehazeVideoFailure fail, void* receiver) noexcept {
    return guarded(path, fail, receiver, [&] {
        const ClipPlan p = planClip(path, partSeconds, warmSeconds);
        const std::string json = "{\"frames\": " + std::to_string(p.frames) + ", \"seconds\": " +
                                 jsonNumber(p.seconds) + ", \"frames_per_second\": " +
                                 jsonNumber(p.framesPerSecond) + ", \"cuts\": " + jsonList(p.cuts) +
                                 ", \"warm_from\": " + jsonList(p.warmFrom) + "}";
        reply(receiver, json.c_str());
    });
}

int runPart(const NightdehazeVideoJob* job, const NightdehazeVideoPart* part, NightdehazeVideoReply reply,
            NightdehazeVideoFailure fail, void* receiver) noexcept {
    return guarded(job->inputPath, fail, receiver, [&] {
        ClipSpan span;
        if (!part->wholeClip) {
            span.from = part->from;
            span.to = part->to;
            span.warmFrom = part->warmFrom;
        }
        const long long frames = runClipPart(optionsOf(*job), part->partPath, span);
        reply(receiver, std::to_string(frames).c_str());
    });
}

int join(const char* sourcePath, const char* const* partPaths, int partCount, const char* joinedPath,
         NightdehazeVideoFailure fail, void* receiver) noexcept {
    return guarded(sourcePath, fail, receiver, [&] {
        joinClipParts(sourcePath, std::vector<std::string>(partPaths, partPaths + partCount), joinedPath);
    });
}

}  // namespace

}  // namespace nightdehaze::video

extern "C" __attribute__((visibility("default"))) const NightdehazeVideoModule* nightdehaze_video_module_5(void) {
    static const NightdehazeVideoModule module{nightdehaze::nightdehazeVersion(), nightdehaze::video::isVideo,
                                               nightdehaze::video::run,   nightdehaze::video::plan,
                                               nightdehaze::video::runPart, nightdehaze::video::join};
    return &module;
}
