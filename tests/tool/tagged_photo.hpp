#pragma once
// A photograph with metadata for the tests of what the tool keeps: written
// with Exiv2, and read back with it.
#include <exiv2/exiv2.hpp>
#include <opencv2/core.hpp>

#include <filesystem>
#include <string>
#include <vector>

namespace tool_testing {

// A small but well-formed ICC profile: header (D50 illuminant) and one tag.
std::vector<Exiv2::byte> testProfile();

// A photograph of `size` stored sideways (EXIF orientation 6), with camera
// ("NightCam"), GPS, a thumbnail, XMP (title "harbour") and testProfile(),
// in the format of path's extension.
void writeTaggedPhoto(const std::filesystem::path& path, cv::Size size);

struct ReadBack {
    std::string make, latitude, title;
    long orientation = 0;
    bool thumbnail = false;
    std::vector<Exiv2::byte> profile;
    cv::Size size;   // as stored, without applying any orientation
};

// The metadata of the picture at path, and its size as stored.
ReadBack readBack(const std::filesystem::path& path);

}  // namespace tool_testing
