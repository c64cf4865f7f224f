#pragma once
#include "files/output_files.hpp"
#include "files/photo_metadata.hpp"
#include "nightdehaze/nightdehaze.hpp"

#include <functional>
#include <optional>
#include <string>
#include <vector>

// What the tool does for one picture file, for the tool and for other callers
// (the Python package): plan the output files, check them before any work,
// read the picture, enhance it, and write every file all-or-nothing.

struct PictureJob {
    std::string inputPath;
    std::optional<std::string> outputPath;  // else derived from inputPath
    bool writeMaps = false;                 // also the airlight and the transmission
    std::optional<int> quality;             // JPEG and WebP only
    nightdehaze::DehazeContext context;
    // Receives one-line warnings (metadata that cannot be kept); by default
    // they go to standard error after "nightdehaze: warning: ".
    std::function<void(const std::string&)> warn;
};

// The files of one run: the result, then with maps the atmospheric light and
// the transmission, in the result's format.
struct OutputPlan {
    std::string result, airlight, transmission;
    std::vector<int> encoderParameters;
    std::vector<std::string> paths() const;
};

OutputPlan planOutputs(const PictureJob& job);

// Usage errors that the output names reveal (an unknown format, --quality for
// a format without one): throws UsageError.
void checkOutputKind(const PictureJob& job, const OutputPlan& plan);

// The encoders of the planned files really encode (std::runtime_error
// otherwise). With checkOutputTargets(plan.paths()) this is everything that
// can be known to fail before the picture is read.
void checkBeforeWork(const OutputPlan& plan);

// The decoded picture (CV_8UC3) and, when the result's format holds it, its
// metadata. Throws FileError naming the path when it cannot be read or
// decoded, or is too large for this machine's memory.
struct PictureInput {
    cv::Mat image;
    PhotoMetadata metadata;
};
PictureInput loadPicture(const PictureJob& job, const OutputPlan& plan);

// The encoded files of the run, ready for writeFilesAtomically.
std::vector<OutputFile> encodeOutputs(const PictureJob& job, const OutputPlan& plan,
                                      const cv::Mat& dehazed, const nightdehaze::HazeMaps& maps,
                                      const PhotoMetadata& metadata);

// The message for a picture the pipeline ran out of memory on.
std::string outOfMemoryMessage(const std::string& inputPath, cv::Size size);
