// nightdehaze: enhances one night-time hazy photograph and writes the result.
#include "core/memory/buffer_reuse.hpp"
#include "core/memory/heap_retention.hpp"
#include "cli/command_line.hpp"
#include "files/one_line.hpp"
#include "files/file_error.hpp"
#include "files/output_files.hpp"
#include "files/photo_metadata.hpp"
#include "files/picture_job.hpp"
#include "cli/stage_progress.hpp"
#include "files/video_module_loader.hpp"
#include "nightdehaze/nightdehaze.hpp"

#include <opencv2/core/utility.hpp>
#include <opencv2/core/utils/logger.hpp>

#include <iostream>
#include <new>
#include <string>
#include <vector>

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

int report(int status, const std::string& message) {
    std::cerr << "nightdehaze: " << oneLine(message) << std::endl;
    return status;
}

void warn(const std::string& message) { std::cerr << "nightdehaze: warning: " << oneLine(message) << std::endl; }

PictureJob jobOf(const CommandLine& line) {
    PictureJob job;
    job.inputPath = line.inputPath;
    job.outputPath = line.outputPath;
    job.writeMaps = line.writeMaps;
    job.quality = line.quality;
    job.context.useNonLocalFilter = line.nonLocal ? 1 : 0;
    job.context.clean = line.clean;
    if (line.gamma) job.context.gamma = *line.gamma;
    job.warn = warn;
    return job;
}

PictureInput loadInput(const CommandLine& line, const PictureJob& job, const OutputPlan& plan) {
    try {
        return loadPicture(job, plan);
    } catch (const FileError& e) {
        if (line.inputGiven) throw;
        throw std::runtime_error(std::string(e.what()) + " (no INPUT was given; see nightdehaze --help)");
    }
}

int run(const CommandLine& line, const PictureJob& job, const OutputPlan& plan) {
    if (line.threads) cv::setNumThreads(*line.threads);
    checkOutputTargets(plan.paths());
    const PictureInput input = loadInput(line, job, plan);
    const cv::Mat& image = input.image;
    try {
        nightdehaze::HazeMaps maps;
        cv::Mat dehazed;
        {
            StageProgress progress;
            dehazed = nightdehaze::enhance(image, job.context, job.writeMaps ? &maps : nullptr, progress);
        }
        writeFilesAtomically(encodeOutputs(job, plan, dehazed, maps, input.metadata));
    } catch (const std::bad_alloc&) {
        return report(kExitFailure, outOfMemoryMessage(line.inputPath, image.size()));
    } catch (const cv::Exception& e) {
        if (e.code != cv::Error::StsNoMem) throw;
        return report(kExitFailure, outOfMemoryMessage(line.inputPath, image.size()));
    }
    return 0;
}

// The tool on a video input: the pipeline frame by frame in the video module.
int runOnVideo(const NightdehazeVideoModule& video, const CommandLine& line) {
    if (line.threads) cv::setNumThreads(*line.threads);
    const nightdehaze::DehazeContext context = jobOf(line).context;
    NightdehazeVideoJob job{};
    job.inputPath = line.inputPath.c_str();
    job.outputPath = line.outputPath ? line.outputPath->c_str() : nullptr;
    job.gamma = context.gamma;
    job.nonLocal = context.useNonLocalFilter != 0;
    job.clean = context.clean;
    job.perFrame = line.perFrame;
    job.writeMaps = line.writeMaps;
    std::string failure;
    const auto keep = [](void* receiver, const char* message) { *static_cast<std::string*>(receiver) = message; };
    const int status = video.run(&job, keep, &failure);
    if (status == kExitUsage) return report(kExitUsage, failure + " (see nightdehaze --help)");
    if (status != 0) return report(kExitFailure, failure);
    return 0;
}

// The video module for an input that may be a video, or nullptr when the
// input is a picture or something else the picture path reports on. Throws
// std::runtime_error when the input is no picture and the module cannot load.
const NightdehazeVideoModule* videoModuleFor(const std::string& inputPath) {
    if (!mayBeVideo(inputPath)) return nullptr;
    const NightdehazeVideoModule* video = nullptr;
    try {
        video = &loadVideoModule();
    } catch (const std::runtime_error& e) {
        throw std::runtime_error("cannot read '" + inputPath + "': no picture decoder reads it, and videos cannot be read: " +
                                 e.what());
    }
    return video->isVideo(inputPath.c_str()) ? video : nullptr;
}

void warnOfIgnoredArguments(const CommandLine& line) {
    if (line.ignored.empty()) return;
    warn("ignoring '" + line.ignored.front() + "'" + (line.ignored.size() > 1 ? " and what follows" : "") +
         ": only INPUT and GAMMA are read (for several pictures, run nightdehaze-batch or a shell loop)");
}

}  // namespace

int main(int argc, char** argv) {
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    nightdehaze::detail::installBufferReuse();
    nightdehaze::detail::retainFreedHeapMemory();
    CommandLine line;
    PictureJob job;
    OutputPlan plan;
    try {
        line = parseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
        if (line.showHelp || line.showVersion) {
            std::cout << (line.showHelp ? usageText()
                                        : "nightdehaze " + std::string(nightdehaze::nightdehazeVersion()) + "\n");
            return 0;
        }
        const NightdehazeVideoModule* video = nullptr;
        try {
            video = videoModuleFor(line.inputPath);
        } catch (const std::runtime_error& e) {
            return report(kExitFailure, e.what());
        }
        if (video) {
            warnOfIgnoredArguments(line);
            return runOnVideo(*video, line);
        }
        job = jobOf(line);
        plan = planOutputs(job);
        checkOutputKind(job, plan);
        checkBeforeWork(plan);
    } catch (const UsageError& e) {
        return report(kExitUsage, std::string(e.what()) + " (see nightdehaze --help)");
    } catch (const std::runtime_error& e) {
        return report(kExitUsage, e.what());
    }
    warnOfIgnoredArguments(line);
    initializeMetadataLibrary();
    try {
        return run(line, job, plan);
    } catch (const std::bad_alloc&) {
        return report(kExitFailure, "not enough memory to process '" + line.inputPath + "'");
    } catch (const std::exception& e) {
        return report(kExitFailure, e.what());
    }
}
