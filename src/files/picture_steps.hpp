#pragma once
#include "files/output_files.hpp"
#include "files/photo_metadata.hpp"
#include "files/options.hpp"
#include "nightdehaze/nightdehaze.hpp"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace nightdehaze::files {

// The steps of one picture's job (picture_job.hpp), in their order: plan the
// output files, check them before any work, read the picture, and encode
// the results for writeFilesAtomically.

using Warn = std::function<void(const std::string&)>;

// The files of one run: the result, then with maps the atmospheric light and
// the transmission, in the result's format.
struct OutputPlan {
    std::string result, airlight, transmission;
    std::vector<int> encoderParameters;
    std::vector<std::string> paths() const;
};

OutputPlan planOutputs(const Options& options);

// Usage errors that the output names reveal (an unknown format, --quality for
// a format without one): throws UsageError.
void checkOutputKind(const Options& options, const OutputPlan& plan);

// The encoders of the planned files really encode (std::runtime_error
// otherwise). With checkOutputTargets(plan.paths()) this is everything that
// can be known to fail before the picture is read.
void checkBeforeWork(const OutputPlan& plan);

// The decoded picture (CV_8UC3) and, when the result's format holds it, its
// metadata (warnings of metadata it cannot read go to warn). Throws FileError
// naming the path when it cannot be read or decoded, or is too large for
// this machine's memory.
struct PictureInput {
    cv::Mat image;
    PhotoMetadata metadata;
};
PictureInput loadPicture(const Options& options, const OutputPlan& plan, const Warn& warn);

// The picture alone, decoded from the file's bytes and checked against this
// machine's memory as loadPicture does; path names the file in messages.
cv::Mat decodePicture(const std::vector<uchar>& fileBytes, const std::string& path);

// The encoded files of the run, ready for writeFilesAtomically.
std::vector<OutputFile> encodeOutputs(const OutputPlan& plan, const cv::Mat& dehazed,
                                      const nightdehaze::HazeMaps& maps, const PhotoMetadata& metadata,
                                      const Warn& warn);

// The message for a picture the pipeline ran out of memory on.
std::string outOfMemoryMessage(const std::string& inputPath, cv::Size size);

}  // namespace nightdehaze::files
