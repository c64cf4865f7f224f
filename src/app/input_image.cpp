#include "app/input_image.hpp"

#include <opencv2/imgcodecs.hpp>

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <vector>

namespace {

[[noreturn]] void cannotRead(const std::string& path, const std::string& reason) {
    throw std::runtime_error("cannot read '" + path + "': " + reason);
}

std::vector<uchar> fileBytes(const std::string& path) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) cannotRead(path, std::strerror(errno));
    if (S_ISDIR(info.st_mode)) cannotRead(path, "it is a directory");
    if (!S_ISREG(info.st_mode)) cannotRead(path, "not a regular file");
    std::ifstream in(path, std::ios::binary);
    if (!in) cannotRead(path, std::strerror(errno));
    std::vector<uchar> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) cannotRead(path, "read error");
    if (bytes.empty()) cannotRead(path, "the file is empty");
    return bytes;
}

}  // namespace

cv::Mat readColorImage(const std::string& path) {
    const std::vector<uchar> bytes = fileBytes(path);
    cv::Mat image;
    try {
        image = cv::imdecode(bytes, cv::IMREAD_COLOR);
    } catch (const cv::Exception&) {
        image.release();
    }
    if (image.empty() || image.type() != CV_8UC3)
        cannotRead(path, "not an image that can be decoded");
    return image;
}
