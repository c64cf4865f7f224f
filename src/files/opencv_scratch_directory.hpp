#pragma once
#include <string>

namespace nightdehaze::files {

// OpenCV decodes and encodes some formats (JPEG 2000, Radiance HDR, PFM)
// through temporary files of its own in OPENCV_TEMP_PATH (default /tmp) and
// leaves them behind when encoding fails. While an instance lives, those files
// go to a private directory under TMPDIR, removed with whatever is left in it;
// the previous setting is restored. Not for use by two threads at once.
class OpenCvScratchDirectory {
public:
    OpenCvScratchDirectory();
    ~OpenCvScratchDirectory();
    OpenCvScratchDirectory(const OpenCvScratchDirectory&) = delete;
    OpenCvScratchDirectory& operator=(const OpenCvScratchDirectory&) = delete;

private:
    std::string path_;       // empty when no directory could be made
    std::string previous_;
    bool hadPrevious_ = false;
};

}  // namespace nightdehaze::files
