#pragma once
// The tool on a video: decode, enhance frame by frame with temporal
// steadiness, encode, copy the other streams.
#include "files/options.hpp"
#include "files/usage_error.hpp"

namespace nightdehaze::video {

// Enhances the video at job.inputPath with job.context and writes it, all or
// nothing, to job.outputPath or files::derivedVideoOutputPath(job.inputPath).
// Prints the stage lines once, progress on a terminal, one warning line per
// gap of corrupt frames and one when the input ends early. Throws UsageError
// for options that do not apply to video and std::runtime_error naming the
// problem on failure.
void runVideo(const files::Options& job);

}  // namespace nightdehaze::video
