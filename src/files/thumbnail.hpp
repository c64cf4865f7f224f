#pragma once
// Small previews of pictures, for reports and the preview page.
#include <opencv2/core.hpp>

#include <string>
#include <vector>

namespace nightdehaze::files {

// picture shrunk (area averaging) so that its longer side is at most maxSide
// pixels; a picture that already fits comes back as it is (shared, no copy).
cv::Mat shrunkToFit(const cv::Mat& picture, int maxSide);

// picture (8-bit grey or BGR) encoded as a JPEG of the given quality (1..100).
std::vector<uchar> jpegBytes(const cv::Mat& picture, int quality);

// picture (8-bit grey or BGR) encoded as a PNG, compressed for speed
// rather than size.
std::vector<uchar> fastPngBytes(const cv::Mat& picture);

// The picture at path as readPictureFile reads it, shrunk to fit maxSide and
// encoded as a JPEG of quality 85. Throws FileError as readPictureFile does.
std::vector<uchar> thumbnailJpeg(const std::string& path, int maxSide);

}  // namespace nightdehaze::files
