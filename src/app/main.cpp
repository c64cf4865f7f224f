// nightdehaze: enhances one night-time hazy photograph and writes the result.
#include "memory/buffer_reuse.hpp"
#include "app/command_line.hpp"
#include "app/image_encoding.hpp"
#include "app/input_image.hpp"
#include "app/memory_budget.hpp"
#include "app/output_files.hpp"
#include "app/output_name.hpp"
#include "app/photo_metadata.hpp"
#include "app/stage_progress.hpp"
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

// Library messages may span lines; the tool reports each failure on one line.
std::string oneLine(std::string text) {
    for (char& c : text) {
        if (c == '\n' || c == '\r') c = ' ';
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

int report(int status, const std::string& message) {
    std::cerr << "nightdehaze: " << oneLine(message) << std::endl;
    return status;
}

void warn(const std::string& message) { std::cerr << "nightdehaze: warning: " << oneLine(message) << std::endl; }

std::string extensionOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    const size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
    return path.substr(dot);
}

// The files of one run: the result, then with --maps the atmospheric light
// and the transmission, in the result's format.
struct OutputPlan {
    std::string result, airlight, transmission;
    std::vector<int> encoderParameters;
    std::vector<std::string> paths() const {
        if (airlight.empty()) return {result};
        return {result, airlight, transmission};
    }
};

OutputPlan planOutputs(const CommandLine& line) {
    OutputPlan plan;
    plan.result = line.outputPath ? *line.outputPath : derivedOutputPath(line.inputPath);
    if (line.writeMaps) {
        const std::string stem = line.outputPath ? *line.outputPath : line.inputPath;
        const std::string extension = extensionOf(plan.result);
        plan.airlight = derivedOutputPath(stem, "_A" + extension);
        plan.transmission = derivedOutputPath(stem, "_T" + extension);
    }
    plan.encoderParameters = encoderParameters(plan.result, line.quality);
    return plan;
}

// Usage errors that only the output names reveal.
void checkOutputKind(const CommandLine& line, const OutputPlan& plan) {
    if (!canEncodeFor(plan.result))
        throw UsageError("cannot write images of the kind named by '" + plan.result + "'");
    if (line.quality && !takesQuality(plan.result))
        throw UsageError("--quality applies to JPEG and WebP outputs, not to '" + plan.result + "'");
}

// Everything that can be known to fail before the picture is read.
void checkBeforeWork(const OutputPlan& plan) {
    checkEncoderWorks(plan.result, CV_8UC3, plan.encoderParameters);
    if (!plan.transmission.empty()) checkEncoderWorks(plan.transmission, CV_8UC1, plan.encoderParameters);
}

PhotoMetadata metadataFor(const std::string& inputPath, const std::string& outputPath,
                          const std::vector<uchar>& fileBytes, const cv::Mat& image) {
    if (!holdsMetadata(outputPath)) return PhotoMetadata();
    try {
        return readPhotoMetadata(fileBytes, image);
    } catch (const std::runtime_error& e) {
        warn("'" + inputPath + "': " + e.what() + "; the result gets none");
        return PhotoMetadata();
    }
}

std::vector<OutputFile> encodeOutputs(const OutputPlan& plan, const cv::Mat& dehazed,
                                      const nightdehaze::HazeMaps& maps, const PhotoMetadata& metadata) {
    std::vector<uchar> result = encodeImage(plan.result, dehazed, plan.encoderParameters);
    try {
        result = withMetadata(result, plan.result, metadata, dehazed.size());
    } catch (const std::runtime_error& e) {
        warn("cannot add the metadata to '" + plan.result + "' (" + e.what() + "); it is written without");
    }
    std::vector<OutputFile> files{{plan.result, std::move(result)}};
    if (!plan.airlight.empty()) {
        cv::Mat transmission;
        maps.transmission.convertTo(transmission, CV_8U, 255.0);
        files.push_back({plan.airlight, encodeImage(plan.airlight, maps.airlight, plan.encoderParameters)});
        files.push_back({plan.transmission, encodeImage(plan.transmission, transmission, plan.encoderParameters)});
    }
    return files;
}

int reportOutOfMemory(const std::string& inputPath, const cv::Mat& image) {
    return report(kExitFailure, "not enough memory to process '" + inputPath + "' (" +
                                    std::to_string(image.cols) + "x" + std::to_string(image.rows) +
                                    " pixels)");
}

std::vector<uchar> readInput(const CommandLine& line) {
    try {
        return readImageFile(line.inputPath);
    } catch (const std::runtime_error& e) {
        if (line.inputGiven) throw;
        throw std::runtime_error(std::string(e.what()) + " (no INPUT was given; see nightdehaze --help)");
    }
}

// The decoded picture and, when the result's format holds it, its metadata.
// The file's bytes are let go before the work starts.
struct Input {
    cv::Mat image;
    PhotoMetadata metadata;
};

Input loadInput(const CommandLine& line, const OutputPlan& plan) {
    const std::vector<uchar> fileBytes = readInput(line);
    Input input;
    input.image = decodeColorImage(fileBytes, line.inputPath);
    if (!exceedsMachineMemory(input.image.size()))
        input.metadata = metadataFor(line.inputPath, plan.result, fileBytes, input.image);
    return input;
}

int run(const CommandLine& line, const OutputPlan& plan) {
    nightdehaze::DehazeContext context;
    context.useNonLocalFilter = line.nonLocal ? 1 : 0;
    if (line.gamma) context.gamma = *line.gamma;
    if (line.threads) cv::setNumThreads(*line.threads);

    checkOutputTargets(plan.paths());
    const Input input = loadInput(line, plan);
    const cv::Mat& image = input.image;
    if (exceedsMachineMemory(image.size())) return reportOutOfMemory(line.inputPath, image);
    try {
        nightdehaze::HazeMaps maps;
        cv::Mat dehazed;
        {
            StageProgress progress;
            dehazed = nightdehaze::enhance(image, context, line.writeMaps ? &maps : nullptr, progress);
        }
        writeFilesAtomically(encodeOutputs(plan, dehazed, maps, input.metadata));
    } catch (const std::bad_alloc&) {
        return reportOutOfMemory(line.inputPath, image);
    } catch (const cv::Exception& e) {
        if (e.code != cv::Error::StsNoMem) throw;
        return reportOutOfMemory(line.inputPath, image);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    nightdehaze::detail::installBufferReuse();
    CommandLine line;
    OutputPlan plan;
    try {
        line = parseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
        if (line.showHelp || line.showVersion) {
            std::cout << (line.showHelp ? usageText()
                                        : "nightdehaze " + std::string(nightdehaze::nightdehazeVersion()) + "\n");
            return 0;
        }
        plan = planOutputs(line);
        checkOutputKind(line, plan);
        checkBeforeWork(plan);
    } catch (const UsageError& e) {
        return report(kExitUsage, std::string(e.what()) + " (see nightdehaze --help)");
    } catch (const std::runtime_error& e) {
        return report(kExitUsage, e.what());
    }
    if (!line.ignored.empty())
        warn("ignoring '" + line.ignored.front() + "'" + (line.ignored.size() > 1 ? " and what follows" : "") +
             ": only INPUT and GAMMA are read (for several pictures, run nightdehaze-batch or a shell loop)");
    initializeMetadataLibrary();
    try {
        return run(line, plan);
    } catch (const std::bad_alloc&) {
        return report(kExitFailure, "not enough memory to process '" + line.inputPath + "'");
    } catch (const std::exception& e) {
        return report(kExitFailure, e.what());
    }
}
