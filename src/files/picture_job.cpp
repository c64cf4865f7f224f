#include "files/picture_job.hpp"

#include "files/usage_error.hpp"
#include "files/file_error.hpp"
#include "files/image_encoding.hpp"
#include "files/input_image.hpp"
#include "files/memory_budget.hpp"
#include "files/output_name.hpp"
#include "core/exact/rounded_to_bytes.hpp"

#include <iostream>
#include <stdexcept>

namespace {

std::string extensionOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    const size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
    return path.substr(dot);
}

void warnOf(const PictureJob& job, const std::string& message) {
    if (job.warn) job.warn(message);
    else std::cerr << "nightdehaze: warning: " << message << std::endl;
}

PhotoMetadata metadataFor(const PictureJob& job, const std::string& outputPath,
                          const std::vector<uchar>& fileBytes, const cv::Mat& image) {
    if (!holdsMetadata(outputPath)) return PhotoMetadata();
    try {
        return readPhotoMetadata(fileBytes, image);
    } catch (const std::runtime_error& e) {
        warnOf(job, "'" + job.inputPath + "': " + e.what() + "; the result gets none");
        return PhotoMetadata();
    }
}

}  // namespace

std::vector<std::string> OutputPlan::paths() const {
    if (airlight.empty()) return {result};
    return {result, airlight, transmission};
}

OutputPlan planOutputs(const PictureJob& job) {
    OutputPlan plan;
    plan.result = job.outputPath ? *job.outputPath : derivedOutputPath(job.inputPath);
    if (job.writeMaps) {
        const std::string stem = job.outputPath ? *job.outputPath : job.inputPath;
        const std::string extension = extensionOf(plan.result);
        plan.airlight = derivedOutputPath(stem, "_A" + extension);
        plan.transmission = derivedOutputPath(stem, "_T" + extension);
    }
    plan.encoderParameters = encoderParameters(plan.result, job.quality);
    return plan;
}

void checkOutputKind(const PictureJob& job, const OutputPlan& plan) {
    if (!canEncodeFor(plan.result))
        throw UsageError("cannot write images of the kind named by '" + plan.result + "'");
    if (job.quality && !takesQuality(plan.result))
        throw UsageError("--quality applies to JPEG and WebP outputs, not to '" + plan.result + "'");
}

void checkBeforeWork(const OutputPlan& plan) {
    checkEncoderWorks(plan.result, CV_8UC3, plan.encoderParameters);
    if (!plan.transmission.empty()) checkEncoderWorks(plan.transmission, CV_8UC1, plan.encoderParameters);
}

PictureInput loadPicture(const PictureJob& job, const OutputPlan& plan) {
    const std::vector<uchar> fileBytes = readImageFile(job.inputPath);
    PictureInput input;
    input.image = decodeColorImage(fileBytes, job.inputPath);
    if (exceedsMachineMemory(input.image.size()))
        throw FileError(outOfMemoryMessage(job.inputPath, input.image.size()), 0);
    input.metadata = metadataFor(job, plan.result, fileBytes, input.image);
    return input;
}

std::vector<OutputFile> encodeOutputs(const PictureJob& job, const OutputPlan& plan,
                                      const cv::Mat& dehazed, const nightdehaze::HazeMaps& maps,
                                      const PhotoMetadata& metadata) {
    std::vector<uchar> result = encodeImage(plan.result, dehazed, plan.encoderParameters);
    try {
        result = withMetadata(result, plan.result, metadata, dehazed.size());
    } catch (const std::runtime_error& e) {
        warnOf(job, "cannot add the metadata to '" + plan.result + "' (" + e.what() + "); it is written without");
    }
    std::vector<OutputFile> files{{plan.result, std::move(result)}};
    if (!plan.airlight.empty()) {
        const cv::Mat transmission = nightdehaze::detail::scaledToBytes(maps.transmission, 255.0);
        files.push_back({plan.airlight, encodeImage(plan.airlight, maps.airlight, plan.encoderParameters)});
        files.push_back({plan.transmission, encodeImage(plan.transmission, transmission, plan.encoderParameters)});
    }
    return files;
}

std::string outOfMemoryMessage(const std::string& inputPath, cv::Size size) {
    return "not enough memory to process '" + inputPath + "' (" + std::to_string(size.width) + "x" +
           std::to_string(size.height) + " pixels)";
}
