#pragma once
#include <opencv2/core.hpp>

#include <string>
#include <vector>

namespace nightdehaze::files {

// Reads and decodes the image file at path as 8-bit BGR (any format OpenCV
// decodes; grey, 16-bit and alpha inputs are converted). Throws FileError (a
// std::runtime_error) naming the path and the reason when the file cannot be
// opened, is not a regular file, is empty, or does not decode.
cv::Mat readColorImage(const std::string& path);

// The bytes of the image file at path, refused as readColorImage refuses a
// file that cannot be opened, is not a regular file or is empty.
std::vector<uchar> readImageFile(const std::string& path);

// A decoded picture and where its metadata is to be read from.
struct DecodedPicture {
    enum class Source { opencv, heif, cameraRaw };
    cv::Mat image;                // CV_8UC3, upright
    Source source = Source::opencv;
    std::vector<uchar> exif, icc; // HEIF only: its Exif (from the TIFF header) and ICC profile
};

// Decodes the bytes of an image file as 8-bit BGR, recognised by content:
// HEIF and AVIF through libheif, camera raw files through LibRaw (a raw file
// in a TIFF container is developed, not read as its embedded preview),
// everything else through OpenCV. Throws as decodeColorImage does.
DecodedPicture decodeColorPicture(const std::vector<uchar>& bytes, const std::string& path);

// Decodes the bytes of an image file as 8-bit BGR, as readColorImage does;
// path only names the file in messages. A JPEG stream whose data ends before
// its picture does (cut off, or ended early by a marker) is refused rather
// than decoded with a grey remainder.
// When the decoder runs out of memory the message says so. The decoder's own
// diagnostics are kept off standard error.
cv::Mat decodeColorImage(const std::vector<uchar>& bytes, const std::string& path);

}  // namespace nightdehaze::files
