#pragma once
#include <opencv2/core.hpp>

#include <optional>
#include <string>
#include <vector>

namespace nightdehaze::files {

// True when OpenCV lists an encoder for the extension of path, or for HEIC
// and AVIF when libheif has an encoder for it.
bool canEncodeFor(const std::string& path);

// True for the kinds of file (by the path's extension, any case) whose
// encoder takes a quality: JPEG, WebP, HEIC and AVIF.
bool takesQuality(const std::string& path);

// The encoder parameters for path: the quality (1..100) for JPEG and WebP
// when given, otherwise none (the encoders' defaults: JPEG 95, WebP
// lossless); for HEIC and AVIF always one, 90 when none is given.
std::vector<int> encoderParameters(const std::string& path, std::optional<int> quality);

// Encodes image in memory in the format of path's extension. Throws
// std::runtime_error naming the path when the encoder fails (running out of
// memory throws cv::Error::StsNoMem instead). OpenCV's scratch files are
// removed whatever happens.
std::vector<uchar> encodeImage(const std::string& path, const cv::Mat& image,
                               const std::vector<int>& parameters);

// Proves that the encoder for path really writes pictures of the given type
// (CV_8UC3 or CV_8UC1) by encoding a small one: OpenCV lists encoders it cannot
// use in some builds (OpenEXR). Throws std::runtime_error when it cannot.
void checkEncoderWorks(const std::string& path, int type, const std::vector<int>& parameters);

}  // namespace nightdehaze::files
