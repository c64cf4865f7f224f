#include "files/thumbnail.hpp"

#include "files/picture_job.hpp"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <stdexcept>

namespace {

constexpr int kThumbnailQuality = 85;  // small files, no visible blocks at thumbnail size

}  // namespace

std::vector<uchar> thumbnailJpeg(const std::string& path, int maxSide) {
    if (maxSide < 1) throw std::invalid_argument("thumbnailJpeg: the side must be at least 1");
    cv::Mat picture = readPictureFile(path);
    const double scale = static_cast<double>(maxSide) / std::max(picture.cols, picture.rows);
    if (scale < 1.0) {
        const cv::Size size(std::max(1, cvRound(picture.cols * scale)), std::max(1, cvRound(picture.rows * scale)));
        cv::resize(picture, picture, size, 0, 0, cv::INTER_AREA);
    }
    std::vector<uchar> bytes;
    if (!cv::imencode(".jpg", picture, bytes, {cv::IMWRITE_JPEG_QUALITY, kThumbnailQuality}))
        throw std::runtime_error("cannot make a thumbnail of '" + path + "'");
    return bytes;
}
