// Writes the fuzzing seed corpus: tiny valid pictures of every kind the tool
// reads, so that fuzzing starts inside each decoder rather than at its magic
// bytes. Usage: make_fuzz_corpus DIRECTORY
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <jpeglib.h>

#include "support/jpeg_streams.hpp"

#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace {

cv::Mat pattern(int rows, int cols, int type) {
    cv::Mat bgr(rows, cols, CV_8UC3);
    cv::RNG rng(rows * 131 + cols);
    rng.fill(bgr, cv::RNG::UNIFORM, cv::Scalar::all(0), cv::Scalar::all(256));
    cv::Mat out;
    const int channels = CV_MAT_CN(type);
    if (channels == 1) cv::cvtColor(bgr, out, cv::COLOR_BGR2GRAY);
    else if (channels == 4) cv::cvtColor(bgr, out, cv::COLOR_BGR2BGRA);
    else out = bgr;
    if (CV_MAT_DEPTH(type) == CV_16U) out.convertTo(out, CV_16U, 257.0);
    if (CV_MAT_DEPTH(type) == CV_32F) out.convertTo(out, CV_32F, 1.0 / 255.0);
    return out;
}

void save(const std::string& path, const std::vector<uchar>& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<uchar> encoded(const std::string& ext, const cv::Mat& image,
                           const std::vector<int>& params = {}) {
    std::vector<uchar> bytes;
    if (!cv::imencode(ext, image, bytes, params)) throw std::runtime_error("cannot encode " + ext);
    return bytes;
}

// OpenCV writes no CMYK JPEG; libjpeg does (with the Adobe marker).
std::vector<uchar> cmykJpeg(int rows, int cols) {
    jpeg_compress_struct info{};
    jpeg_error_mgr errors{};
    info.err = jpeg_std_error(&errors);
    jpeg_create_compress(&info);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&info, &buffer, &size);
    info.image_width = static_cast<JDIMENSION>(cols);
    info.image_height = static_cast<JDIMENSION>(rows);
    info.input_components = 4;
    info.in_color_space = JCS_CMYK;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, 90, TRUE);
    jpeg_start_compress(&info, TRUE);
    const cv::Mat cmyk = pattern(rows, cols, CV_8UC4);
    while (info.next_scanline < info.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(cmyk.ptr<uchar>(static_cast<int>(info.next_scanline)));
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    std::vector<uchar> bytes(buffer, buffer + size);
    std::free(buffer);
    return bytes;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: make_fuzz_corpus DIRECTORY\n";
        return 2;
    }
    const std::string dir = std::string(argv[1]) + "/";
    save(dir + "colour_1x1.png", encoded(".png", pattern(1, 1, CV_8UC3)));
    save(dir + "grey_7x5.png", encoded(".png", pattern(7, 5, CV_8UC1)));
    save(dir + "deep_6x4.png", encoded(".png", pattern(6, 4, CV_16UC3)));
    save(dir + "alpha_5x6.png", encoded(".png", pattern(5, 6, CV_8UC4)));
    save(dir + "colour_9x8.bmp", encoded(".bmp", pattern(9, 8, CV_8UC3)));
    save(dir + "grey_4x3.bmp", encoded(".bmp", pattern(4, 3, CV_8UC1)));
    save(dir + "colour_11x13.jpg", encoded(".jpg", pattern(11, 13, CV_8UC3)));
    save(dir + "grey_8x8.jpg", encoded(".jpg", pattern(8, 8, CV_8UC1)));
    save(dir + "progressive_17x9.jpg",
         encoded(".jpg", pattern(17, 9, CV_8UC3), {cv::IMWRITE_JPEG_PROGRESSIVE, 1}));
    save(dir + "restarts_16x24.jpg",
         encoded(".jpg", pattern(16, 24, CV_8UC3), {cv::IMWRITE_JPEG_RST_INTERVAL, 1}));
    save(dir + "cmyk_6x7.jpg", cmykJpeg(6, 7));
    save(dir + "thumbnail_12x10.jpg", testing_support::jpegWithThumbnail(pattern(12, 10, CV_8UC3)));
    save(dir + "colour_3x4.tif", encoded(".tif", pattern(3, 4, CV_8UC3)));
    save(dir + "deep_4x2.tif", encoded(".tif", pattern(4, 2, CV_16UC1)));
    save(dir + "colour_5x5.ppm", encoded(".ppm", pattern(5, 5, CV_8UC3)));
    save(dir + "grey_3x6.pgm", encoded(".pgm", pattern(3, 6, CV_8UC1)));
    save(dir + "colour_4x4.webp", encoded(".webp", pattern(4, 4, CV_8UC3)));
    save(dir + "colour_3x5.sr", encoded(".sr", pattern(3, 5, CV_8UC3)));
    save(dir + "radiance_4x3.hdr", encoded(".hdr", pattern(4, 3, CV_32FC3)));
    save(dir + "float_2x3.pfm", encoded(".pfm", pattern(2, 3, CV_32FC3)));
    return 0;
}
