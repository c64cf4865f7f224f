#include "files/input_image.hpp"

#include "files/file_error.hpp"
#include "files/heif_picture.hpp"
#include "files/jpeg_completeness.hpp"
#include "files/opencv_scratch_directory.hpp"
#include "files/quiet_stderr.hpp"
#include "files/raw_picture.hpp"

#include <opencv2/imgcodecs.hpp>

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <new>
#include <stdexcept>

namespace nightdehaze::files {

namespace {

[[noreturn]] void cannotRead(const std::string& path, const std::string& reason, int error = 0) {
    throw FileError("cannot read '" + path + "': " + reason, error);
}

[[noreturn]] void outOfMemory(const std::string& path) {
    throw FileError("not enough memory to decode '" + path + "'", ENOMEM);
}

bool looksLikeTiff(const std::vector<uchar>& bytes) {
    return bytes.size() >= 4 && ((bytes[0] == 'I' && bytes[1] == 'I' && bytes[2] == 42 && bytes[3] == 0) ||
                                 (bytes[0] == 'M' && bytes[1] == 'M' && bytes[2] == 0 && bytes[3] == 42));
}

DecodedPicture fromHeif(const std::vector<uchar>& bytes, const std::string& path) {
    HeifPicture heif = decodeHeif(bytes, path);
    DecodedPicture picture;
    picture.image = std::move(heif.bgr);
    picture.source = DecodedPicture::Source::heif;
    picture.exif = std::move(heif.exif);
    picture.icc = std::move(heif.icc);
    return picture;
}

DecodedPicture fromRaw(const std::vector<uchar>& bytes, const std::string& path) {
    DecodedPicture picture;
    picture.image = developRaw(bytes, path);
    picture.source = DecodedPicture::Source::cameraRaw;
    return picture;
}

}  // namespace

DecodedPicture decodeColorPicture(const std::vector<uchar>& bytes, const std::string& path) {
    if (looksLikeHeif(bytes)) return fromHeif(bytes, path);
    // A raw file in a TIFF container decodes through OpenCV too, as its small preview.
    if (looksLikeTiff(bytes) && isCameraRaw(bytes, path)) return fromRaw(bytes, path);
    try {
        DecodedPicture picture;
        picture.image = decodeColorImage(bytes, path);
        return picture;
    } catch (const FileError& e) {
        if (e.systemError() == ENOMEM || !isCameraRaw(bytes, path)) throw;
    }
    return fromRaw(bytes, path);
}

cv::Mat decodeColorImage(const std::vector<uchar>& bytes, const std::string& path) {
    if (looksLikeJpeg(bytes.data(), bytes.size()) &&
        jpegEnding(bytes.data(), bytes.size()) == JpegEnding::cutShort)
        cannotRead(path, "the JPEG data ends before the end of the picture (truncated file?)");
    cv::Mat image;
    try {
        QuietStderr quiet;
        OpenCvScratchDirectory scratch;
        image = cv::imdecode(bytes, cv::IMREAD_COLOR);
    } catch (const cv::Exception& e) {
        if (e.code == cv::Error::StsNoMem) outOfMemory(path);
        image.release();
    } catch (const std::bad_alloc&) {
        outOfMemory(path);
    }
    if (image.empty() || image.type() != CV_8UC3)
        cannotRead(path, "not an image that can be decoded");
    return image;
}

std::vector<uchar> readImageFile(const std::string& path) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) cannotRead(path, std::strerror(errno), errno);
    if (S_ISDIR(info.st_mode)) cannotRead(path, "it is a directory", EISDIR);
    if (!S_ISREG(info.st_mode)) cannotRead(path, "not a regular file");
    std::ifstream in(path, std::ios::binary);
    if (!in) cannotRead(path, std::strerror(errno), errno);
    std::vector<uchar> bytes;
    bytes.reserve(static_cast<size_t>(info.st_size));
    char buffer[1 << 16];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0)
        bytes.insert(bytes.end(), buffer, buffer + in.gcount());
    if (in.bad()) cannotRead(path, "read error", EIO);
    if (bytes.empty()) cannotRead(path, "the file is empty");
    return bytes;
}

cv::Mat readColorImage(const std::string& path) { return decodeColorImage(readImageFile(path), path); }

}  // namespace nightdehaze::files
