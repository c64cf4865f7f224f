#pragma once
// A small DNG written from the definition of the format, as a camera would:
// a TIFF whose first image is an 8-bit RGB preview and whose SubIFD holds the
// raw data, a 16-bit RGGB Bayer mosaic of a picture's linear light.
#include <opencv2/core.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace testing_support {

struct DngContents {
    cv::Mat picture;          // CV_8UC3 sRGB, BGR order: mosaicked at full size (even sides)
    cv::Mat preview;          // CV_8UC3: stored as the first, small image
    uint16_t orientation = 1; // EXIF orientation of IFD0
    std::string make = "NightCam", model = "Test DNG";
};

// The file's bytes (little-endian). The colour matrix is sRGB's own, so that
// a faithful development gives the picture back, up to demosaicking.
std::vector<uint8_t> dngFile(const DngContents& contents);

}  // namespace testing_support
