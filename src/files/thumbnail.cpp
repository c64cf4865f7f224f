#include "files/thumbnail.hpp"

#include "files/picture_job.hpp"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <stdexcept>

namespace {

constexpr int kThumbnailQuality = 85;  // small files, no visible blocks at thumbnail size

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
    std::vector<uchar> bytes;
    if (!cv::imencode(".jpg", picture, bytes, {cv::IMWRITE_JPEG_QUALITY, quality}))
        throw std::runtime_error("cannot encode a JPEG of this picture");
    return bytes;
}

std::vector<uchar> fastPngBytes(const cv::Mat& picture) {
    std::vector<uchar> bytes;
    if (!cv::imencode(".png", picture, bytes, {cv::IMWRITE_PNG_COMPRESSION, 1}))
        throw std::runtime_error("cannot encode a PNG of this picture");
    return bytes;
}

std::vector<uchar> thumbnailJpeg(const std::string& path, int maxSide) {
    return jpegBytes(shrunkToFit(readPictureFile(path), maxSide), kThumbnailQuality);
}
