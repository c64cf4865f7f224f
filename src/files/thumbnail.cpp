#include "files/thumbnail.hpp"

#include "files/picture_job.hpp"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <stdexcept>
#include <string>

namespace nightdehaze::files {

namespace {

constexpr int kThumbnailQuality = 85;  // small files, no visible blocks at thumbnail size

// picture encoded by OpenCV in the format of extension; throws when it cannot be.
std::vector<uchar> encodedAs(const char* extension, const cv::Mat& picture, const std::vector<int>& parameters) {
    std::vector<uchar> bytes;
    if (!cv::imencode(extension, picture, bytes, parameters))
        throw std::runtime_error(std::string("cannot encode this picture as ") + extension);
    return bytes;
}

}  // namespace

cv::Mat shrunkToFit(const cv::Mat& picture, int maxSide) {
    if (maxSide < 1) throw std::invalid_argument("shrunkToFit: the side must be at least 1");
    const double scale = static_cast<double>(maxSide) / std::max(picture.cols, picture.rows);
    if (scale >= 1.0) return picture;
    const cv::Size size(std::max(1, cvRound(picture.cols * scale)), std::max(1, cvRound(picture.rows * scale)));
    cv::Mat shrunk;
    cv::resize(picture, shrunk, size, 0, 0, cv::INTER_AREA);
    return shrunk;
}

std::vector<uchar> jpegBytes(const cv::Mat& picture, int quality) {
    return encodedAs(".jpg", picture, {cv::IMWRITE_JPEG_QUALITY, quality});
}

std::vector<uchar> fastPngBytes(const cv::Mat& picture) {
    return encodedAs(".png", picture, {cv::IMWRITE_PNG_COMPRESSION, 1});
}

std::vector<uchar> thumbnailJpeg(const std::string& path, int maxSide) {
    return jpegBytes(shrunkToFit(readPictureFile(path), maxSide), kThumbnailQuality);
}

}  // namespace nightdehaze::files
