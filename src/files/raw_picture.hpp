#pragma once
// Camera raw files (NEF, CR2, CR3, ARW, RAF, ORF, RW2, DNG, ...) through
// LibRaw, developed to the picture the camera would have shown.
#include <opencv2/core.hpp>

#include <string>
#include <vector>

namespace nightdehaze::files {

// True when LibRaw recognises the bytes as a camera raw file it can develop
// (by their content: a TIFF that carries raw data is raw, an ordinary TIFF is
// not). Parses the headers only; never throws. A build without LibRaw goes
// by path's extension instead (.nef, .cr2, .dng, ...), to say what is missing.
bool isCameraRaw(const std::vector<uchar>& bytes, const std::string& path);

// True for a path whose extension is one of camera raw files', any case.
bool namesCameraRaw(const std::string& path);

// Develops the raw data (never an embedded preview) to 8-bit sRGB, CV_8UC3,
// turned upright by the file's orientation: the camera's white balance and
// colour matrix, no automatic brightening (it would undo the night),
// highlights clipped, the sRGB tone curve. Throws FileError naming path for
// a file LibRaw cannot develop (cut short, damaged) or a build without LibRaw.
cv::Mat developRaw(const std::vector<uchar>& bytes, const std::string& path);

}  // namespace nightdehaze::files
