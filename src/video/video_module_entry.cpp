// The entry of the video module: the C boundary of src/files/video_module.hpp
// over the C++ video path. No exception crosses it.
#include "files/video_module.hpp"

#include "files/exit_status.hpp"
#include "files/live_addresses.hpp"
#include "files/options.hpp"
#include "files/usage_error.hpp"
#include "video/video_input.hpp"
#include "video/live_mode.hpp"
#include "video/video_mode.hpp"
#include "nightdehaze/nightdehaze.hpp"

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

int run(const NightdehazeVideoJob* job, NightdehazeVideoFailure fail, void* receiver) noexcept {
    const auto failed = [&](int status, const std::string& message) {
        fail(receiver, message.c_str());
        return status;
    };
    try {
        // The module holds its own copy of the library: its matrices take its
        // own reusing allocator, for the whole run, as the tool's do.
        nightdehaze::installBufferReuse();
        const files::Options options = optionsOf(*job);
        if (files::isLiveSource(options.inputPath))
            runLive(options);
        else
            runVideo(options);
        return files::kExitSuccess;
    } catch (const files::UsageError& e) {
        return failed(files::kExitUsage, e.what());
    } catch (const std::bad_alloc&) {
        return failed(files::kExitFailure, "not enough memory to process '" + std::string(job->inputPath) + "'");
    } catch (const std::exception& e) {
        return failed(files::kExitFailure, e.what());
    } catch (...) {
        return failed(files::kExitFailure, "the video module failed on '" + std::string(job->inputPath) + "'");
    }
}

}  // namespace

}  // namespace nightdehaze::video

extern "C" __attribute__((visibility("default"))) const NightdehazeVideoModule* nightdehaze_video_module_4(void) {
    static const NightdehazeVideoModule module{nightdehaze::nightdehazeVersion(), nightdehaze::video::isVideo,
                                               nightdehaze::video::run};
    return &module;
}
