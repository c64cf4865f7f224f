#pragma once
#include <opencv2/core.hpp>

namespace nightdehaze::files {

// Peak memory of the pipeline per pixel of the picture, in bytes: the
// double-precision planes of the stages, with a margin over the peak that
// docs/performance.md measures.
constexpr double kPipelineBytesPerPixel = 125.0;

// True when the pipeline's estimated peak memory for a picture of this size
// exceeds what the machine has at all (physical memory plus swap), so that a
// few bytes declaring a gigapixel picture are refused at once instead of
// running for many minutes towards the out-of-memory killer.
bool exceedsMachineMemory(cv::Size pictureSize);

}  // namespace nightdehaze::files
