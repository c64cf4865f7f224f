#pragma once
#include <opencv2/core.hpp>

#include <string>
#include <vector>

namespace nightdehaze::files {

// Metadata blocks in the standard chunks of PNG and WebP files, added to the
// bytes of a file just written by OpenCV. exif is a TIFF-structured EXIF block
// ("II*" or "MM*"), xmp an XMP packet, icc an ICC profile; empty ones are left
// out. Throws std::runtime_error for a file whose layout is not the one
// expected (an encoder that already wrote such chunks).

// PNG: iCCP and eXIf right after IHDR, XMP in an iTXt chunk before IEND.
std::vector<uchar> pngWithMetadata(const std::vector<uchar>& png, const std::vector<uchar>& exif,
                                   const std::string& xmp, const std::vector<uchar>& icc);

// WebP: a simple file becomes an extended one (VP8X) with ICCP before the
// image data and EXIF and XMP after it.
std::vector<uchar> webpWithMetadata(const std::vector<uchar>& webp, const std::vector<uchar>& exif,
                                    const std::string& xmp, const std::vector<uchar>& icc,
                                    cv::Size size);

}  // namespace nightdehaze::files
