#include "files/picture_steps.hpp"

#include "files/usage_error.hpp"
#include "files/file_error.hpp"
#include "files/image_encoding.hpp"
#include "files/input_image.hpp"
#include "files/memory_budget.hpp"
#include "files/output_name.hpp"

#include <stdexcept>

namespace nightdehaze::files {

namespace {

PhotoMetadata metadataOf(const std::vector<uchar>& fileBytes, const DecodedPicture& picture) {
    switch (picture.source) {
        case DecodedPicture::Source::heif: return photoMetadataOfBlocks(picture.exif, picture.icc, picture.image.size());
        case DecodedPicture::Source::cameraRaw: return readPhotoMetadataOfUpright(fileBytes, picture.image.size());
        case DecodedPicture::Source::opencv: break;
    }
    return readPhotoMetadata(fileBytes, picture.image);
}

PhotoMetadata metadataFor(const Options& options, const std::string& outputPath,
                          const std::vector<uchar>& fileBytes, const DecodedPicture& picture, const Warn& warn) {
    if (!holdsMetadata(outputPath)) return PhotoMetadata();
    try {
        return metadataOf(fileBytes, picture);
    } catch (const std::runtime_error& e) {
        warn("'" + options.inputPath + "': " + e.what() + "; the result gets none");
        return PhotoMetadata();
    }
}

}  // namespace

std::vector<std::string> OutputPlan::paths() const {
    if (airlight.empty()) return {result};
    return {result, airlight, transmission};
}

OutputPlan planOutputs(const Options& options) {
    OutputPlan plan;
    plan.result = options.outputPath ? *options.outputPath : derivedOutputPath(options.inputPath);
    if (options.writeMaps) {
        const std::string stem = options.outputPath ? *options.outputPath : options.inputPath;
        const std::string extension = extensionOf(plan.result);
        plan.airlight = derivedOutputPath(stem, "_A" + extension);
        plan.transmission = derivedOutputPath(stem, "_T" + extension);
    }
    plan.encoderParameters = encoderParameters(plan.result, options.quality);
    return plan;
}

void checkOutputKind(const Options& options, const OutputPlan& plan) {
    if (!canEncodeFor(plan.result))
        throw UsageError("cannot write images of the kind named by '" + plan.result + "'");
    if (options.quality && !takesQuality(plan.result))
        throw UsageError("--quality applies to JPEG and WebP outputs, not to '" + plan.result + "'");
}

void checkBeforeWork(const OutputPlan& plan) {
    checkEncoderWorks(plan.result, CV_8UC3, plan.encoderParameters);
    if (!plan.transmission.empty()) checkEncoderWorks(plan.transmission, CV_8UC1, plan.encoderParameters);
}

namespace {

DecodedPicture decodeWithinMemory(const std::vector<uchar>& fileBytes, const std::string& path) {
    DecodedPicture picture = decodeColorPicture(fileBytes, path);
    if (exceedsMachineMemory(picture.image.size()))
        throw FileError(outOfMemoryMessage(path, picture.image.size()), 0);
    return picture;
}

}  // namespace

cv::Mat decodePicture(const std::vector<uchar>& fileBytes, const std::string& path) {
    return decodeWithinMemory(fileBytes, path).image;
}

PictureInput loadPicture(const Options& options, const OutputPlan& plan, const Warn& warn) {
    const std::vector<uchar> fileBytes = readImageFile(options.inputPath);
    const DecodedPicture picture = decodeWithinMemory(fileBytes, options.inputPath);
    PictureInput input;
    input.image = picture.image;
    input.metadata = metadataFor(options, plan.result, fileBytes, picture, warn);
    return input;
}

std::vector<OutputFile> encodeOutputs(const OutputPlan& plan, const cv::Mat& dehazed,
                                      const nightdehaze::HazeMaps& maps, const PhotoMetadata& metadata,
                                      const Warn& warn) {
    std::vector<uchar> result = encodeImage(plan.result, dehazed, plan.encoderParameters);
    try {
        result = withMetadata(result, plan.result, metadata, dehazed.size());
    } catch (const std::runtime_error& e) {
        warn("cannot add the metadata to '" + plan.result + "' (" + e.what() + "); it is written without");
    }
    std::vector<OutputFile> files{{plan.result, std::move(result)}};
    if (!plan.airlight.empty()) {
        const cv::Mat transmission = nightdehaze::transmissionBytes(maps.transmission);
        files.push_back({plan.airlight, encodeImage(plan.airlight, maps.airlight, plan.encoderParameters)});
        files.push_back({plan.transmission, encodeImage(plan.transmission, transmission, plan.encoderParameters)});
    }
    return files;
}

std::string outOfMemoryMessage(const std::string& inputPath, cv::Size size) {
    return "not enough memory to process '" + inputPath + "' (" + std::to_string(size.width) + "x" +
           std::to_string(size.height) + " pixels)";
}

}  // namespace nightdehaze::files
