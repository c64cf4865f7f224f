#pragma once
// Finding and loading the video module at run time.
#include "files/video_module.hpp"

#include <string>

namespace nightdehaze::files {

// True when path is a non-empty regular file that no picture decoder of
// OpenCV claims by its first bytes and that is no HEIF or AVIF picture:
// only such a file may be a video, and only for such a file is the video
// module worth loading. Never throws.
bool mayBeVideo(const std::string& path);

// The video module beside the executable (a build tree) or in the library
// directory of the installation the executable belongs to, found from
// /proc/self/exe. Loads it once per process. Throws std::runtime_error
// naming the path and the reason when it is missing, cannot be loaded or
// belongs to another version of the tool.
const NightdehazeVideoModule& loadVideoModule();

}  // namespace nightdehaze::files
