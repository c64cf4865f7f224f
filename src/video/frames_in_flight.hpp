#pragma once
// The memory a video run holds for the frames it has in flight.
#include "video/video_input.hpp"

#include <string>

namespace nightdehaze::video {

// Refuses (std::runtime_error naming path) an input whose frames the
// machine could not hold `frames` at a time, each with the pipeline's memory.
void checkFramesFitMemory(const VideoInput& input, const std::string& path, int frames);

}  // namespace nightdehaze::video
