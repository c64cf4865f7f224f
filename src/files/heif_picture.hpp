#pragma once
// HEIF (HEIC from phones) and AVIF pictures through libheif: the primary
// image with the container's rotation and mirroring applied, its Exif and
// ICC profile; and HEIC and AVIF results.
#include <opencv2/core.hpp>

#include <string>
#include <vector>

namespace nightdehaze::files {

// True when the bytes begin with an ISO base media "ftyp" box that names a
// HEIF or AVIF brand (heic, heix, hevc, mif1, avif, ...). Looks at the first
// bytes only; never throws.
bool looksLikeHeif(const std::vector<uchar>& bytes);

struct HeifPicture {
    cv::Mat bgr;               // CV_8UC3, upright
    std::vector<uchar> exif;   // from the TIFF header on; empty when none
    std::vector<uchar> icc;    // empty when none
};

// Decodes the primary image of a HEIF or AVIF file (depth maps, thumbnails
// and the other images of a burst are ignored). Deeper samples (10, 12 bits)
// keep their top 8 bits, as 16-bit pictures do. Throws FileError naming
// path: a file libheif cannot decode, or a build without libheif.
HeifPicture decodeHeif(const std::vector<uchar>& bytes, const std::string& path);

// True for a path whose extension names HEIC (.heic, .heif) or AVIF
// (.avif), any case.
bool namesHeif(const std::string& path);

// True when this build can write the HEIF kind path names (its encoder is there).
bool canEncodeHeif(const std::string& path);

// A CV_8UC3 picture encoded as HEIC (HEVC) or AVIF (AV1) by path's extension,
// at quality 1..100 (0: libheif's default). Throws std::runtime_error.
std::vector<uchar> encodeHeif(const std::string& path, const cv::Mat& bgr, int quality);

}  // namespace nightdehaze::files
