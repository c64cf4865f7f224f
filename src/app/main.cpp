// nightdehaze: enhances one night-time hazy photograph and writes the result.
#include "memory/buffer_reuse.hpp"
#include "app/command_line.hpp"
#include "app/input_image.hpp"
#include "app/memory_budget.hpp"
#include "app/output_files.hpp"
#include "app/output_name.hpp"
#include "app/video_input.hpp"
#include "app/video_mode.hpp"
#include "app/video_output.hpp"
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

std::vector<OutputImage> outputsOf(const CommandLine& line, const cv::Mat& dehazed,
                                   const nightdehaze::HazeMaps& maps) {
    const std::string output = line.outputPath ? *line.outputPath : derivedOutputPath(line.inputPath);
    std::vector<OutputImage> outputs{{output, dehazed}};
    if (line.writeMaps) {
        cv::Mat transmission;
        maps.transmission.convertTo(transmission, CV_8U, 255.0);
        const std::string base = line.outputPath ? *line.outputPath : line.inputPath;
        outputs.push_back({derivedOutputPath(base, "_A.bmp"), maps.airlight});
        outputs.push_back({derivedOutputPath(base, "_T.bmp"), transmission});
    }
    return outputs;
}

int reportOutOfMemory(const std::string& inputPath, const cv::Mat& image) {
    return report(kExitFailure, "not enough memory to process '" + inputPath + "' (" +
                                    std::to_string(image.cols) + "x" + std::to_string(image.rows) +
                                    " pixels)");
}

int run(const CommandLine& line) {
    nightdehaze::DehazeContext context;
    context.useNonLocalFilter = line.nonLocal ? 1 : 0;
    if (line.gamma) context.gamma = *line.gamma;
    if (line.threads) cv::setNumThreads(*line.threads);
    if (isVideoFile(line.inputPath)) return runVideo(line, context);

    const cv::Mat image = readColorImage(line.inputPath);
    if (exceedsMachineMemory(image.size())) return reportOutOfMemory(line.inputPath, image);
    try {
        nightdehaze::HazeMaps maps;
        const cv::Mat dehazed = nightdehaze::enhance(image, context, line.writeMaps ? &maps : nullptr, &std::cout);
        writeImagesAtomically(outputsOf(line, dehazed, maps));
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
    try {
        line = parseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
        if (line.outputPath && !canEncodeFor(*line.outputPath) && !canWriteVideoTo(*line.outputPath))
            throw UsageError("cannot write images of the kind named by '" + *line.outputPath + "'");
    } catch (const UsageError& e) {
        return report(kExitUsage, std::string(e.what()) + " (see nightdehaze --help)");
    }
    if (line.showHelp) {
        std::cout << usageText();
        return 0;
    }
    if (line.showVersion) {
        std::cout << "nightdehaze " << nightdehaze::nightdehazeVersion() << std::endl;
        return 0;
    }
    try {
        return run(line);
    } catch (const UsageError& e) {
        return report(kExitUsage, std::string(e.what()) + " (see nightdehaze --help)");
    } catch (const std::bad_alloc&) {
        return report(kExitFailure, "not enough memory to process '" + line.inputPath + "'");
    } catch (const std::exception& e) {
        return report(kExitFailure, e.what());
    }
}
