#pragma once
// JPEG streams for tests: the encoder's output, and a camera-like stream whose
// EXIF segment carries a thumbnail with an end-of-image marker of its own.
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <stdexcept>
#include <vector>

namespace testing_support {

inline std::vector<uchar> encodedJpeg(const cv::Mat& image, const std::vector<int>& params = {}) {
    std::vector<uchar> bytes;
    if (!cv::imencode(".jpg", image, bytes, params)) throw std::runtime_error("JPEG encoding failed");
    return bytes;
}

inline std::vector<uchar> jpegWithThumbnail(const cv::Mat& image) {
    const std::vector<uchar> main = encodedJpeg(image);
    cv::Mat small;
    cv::resize(image, small, cv::Size(2, 2));
    const std::vector<uchar> thumbnail = encodedJpeg(small);
    std::vector<uchar> exif = {'E', 'x', 'i', 'f', 0, 0, 'I', 'I', 42, 0, 8, 0, 0, 0,
                               0, 0, 0, 0, 0, 0};
    exif.insert(exif.end(), thumbnail.begin(), thumbnail.end());
    const size_t length = exif.size() + 2;
    std::vector<uchar> bytes = {main[0], main[1], 0xFF, 0xE1, static_cast<uchar>(length >> 8),
                                static_cast<uchar>(length & 0xFF)};
    bytes.reserve(bytes.size() + exif.size() + main.size());
    bytes.insert(bytes.end(), exif.begin(), exif.end());
    bytes.insert(bytes.end(), main.begin() + 2, main.end());
    return bytes;
}

// Offset just past the thumbnail's end-of-image marker.
inline size_t thumbnailEndOffset(const std::vector<uchar>& withThumbnail) {
    const size_t segmentEnd = 4 + ((static_cast<size_t>(withThumbnail[4]) << 8) | withThumbnail[5]);
    return segmentEnd;
}

}  // namespace testing_support
