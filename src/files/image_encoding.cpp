#include "files/image_encoding.hpp"
#include "files/heif_picture.hpp"
#include "files/output_name.hpp"

#include "files/opencv_scratch_directory.hpp"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <stdexcept>

namespace nightdehaze::files {

namespace {

// Side of the test picture: small enough to take microseconds, large enough
// for every encoder (JPEG 2000 refuses pictures under 32 pixels a side).
constexpr int kTestSide = 64;

// HEIC and AVIF go through libheif, not OpenCV: their one parameter, the
// quality, travels in encoderParameters' list under an id of our own.
constexpr int kHeifQuality = 0x48454946;  // "HEIF"
// x265's and aom's quality when none is given: libheif's own default (50)
// visibly smears the detail the enhancement brings out.
constexpr int kDefaultHeifQuality = 90;

bool isJpeg(const std::string& extension) {
    return extension == ".jpg" || extension == ".jpeg" || extension == ".jpe";
}

std::vector<uchar> encodedAsHeif(const std::string& path, const cv::Mat& image, const std::vector<int>& parameters) {
    const int quality = parameters.size() == 2 && parameters[0] == kHeifQuality ? parameters[1] : kDefaultHeifQuality;
    if (image.channels() == 3) return encodeHeif(path, image, quality);
    cv::Mat colour;
    cv::cvtColor(image, colour, cv::COLOR_GRAY2BGR);
    return encodeHeif(path, colour, quality);
}

}  // namespace

bool canEncodeFor(const std::string& path) {
    if (namesHeif(path)) return canEncodeHeif(path);
    try {
        return !extensionOf(path).empty() && cv::haveImageWriter(path);
    } catch (const cv::Exception&) {
        return false;
    }
}

bool takesQuality(const std::string& path) {
    const std::string extension = lowerExtensionOf(path);
    return isJpeg(extension) || extension == ".webp" || namesHeif(path);
}

std::vector<int> encoderParameters(const std::string& path, std::optional<int> quality) {
    if (namesHeif(path)) return {kHeifQuality, quality.value_or(kDefaultHeifQuality)};
    if (!quality || !takesQuality(path)) return {};
    const bool jpeg = isJpeg(lowerExtensionOf(path));
    return {jpeg ? cv::IMWRITE_JPEG_QUALITY : cv::IMWRITE_WEBP_QUALITY, *quality};
}

std::vector<uchar> encodeImage(const std::string& path, const cv::Mat& image,
                               const std::vector<int>& parameters) {
    if (namesHeif(path)) return encodedAsHeif(path, image, parameters);
    std::vector<uchar> bytes;
    bool ok = false;
    try {
        OpenCvScratchDirectory scratch;
        ok = cv::imencode(extensionOf(path), image, bytes, parameters);
    } catch (const cv::Exception& e) {
        if (e.code == cv::Error::StsNoMem) throw;
        ok = false;
    }
    if (!ok) throw std::runtime_error("cannot encode an image for '" + path + "'");
    return bytes;
}

void checkEncoderWorks(const std::string& path, int type, const std::vector<int>& parameters) {
    cv::Mat picture(kTestSide, kTestSide, type);
    cv::randu(picture, 0, 256);
    try {
        encodeImage(path, picture, parameters);
    } catch (const std::runtime_error&) {
        throw std::runtime_error("cannot write images of the kind named by '" + path +
                                 "': its encoder does not work in this build");
    }
}

}  // namespace nightdehaze::files
