#include "files/jpeg_completeness.hpp"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>

#include <jpeglib.h>
#include <jerror.h>

namespace nightdehaze::files {

namespace {

constexpr std::uint8_t kMarkerPrefix = 0xFF;
constexpr std::uint8_t kStartOfImage = 0xD8;
// OpenCV's default limit on decoded pixels, when OPENCV_IO_MAX_IMAGE_PIXELS is unset.
constexpr unsigned long long kOpenCvDefaultMaxPixels = 1ull << 30;

unsigned long long openCvMaxPixels() {
    const char* setting = std::getenv("OPENCV_IO_MAX_IMAGE_PIXELS");
    if (!setting) return kOpenCvDefaultMaxPixels;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(setting, &end, 10);
    return end != setting && *end == '\0' ? value : kOpenCvDefaultMaxPixels;
}

// libjpeg reports through these callbacks; a fatal error, or a warning that
// data is missing, leaves the decoder through the jump buffer.
struct CheckingErrors {
    jpeg_error_mgr base;
    std::jmp_buf escape;
    bool cutShort;
};

extern "C" void leaveOnError(j_common_ptr info) {
    std::longjmp(reinterpret_cast<CheckingErrors*>(info->err)->escape, 1);
}

extern "C" void leaveOnMissingData(j_common_ptr info, int level) {
    auto* errors = reinterpret_cast<CheckingErrors*>(info->err);
    const bool warning = level < 0;
    if (warning && (errors->base.msg_code == JWRN_JPEG_EOF || errors->base.msg_code == JWRN_HIT_MARKER)) {
        errors->cutShort = true;
        std::longjmp(errors->escape, 1);
    }
}

}  // namespace

bool looksLikeJpeg(const std::uint8_t* data, std::size_t size) {
    return size >= 3 && data[0] == kMarkerPrefix && data[1] == kStartOfImage &&
           data[2] == kMarkerPrefix;
}

// No object with a destructor may live in this function: libjpeg leaves it by longjmp.
JpegEnding jpegEnding(const std::uint8_t* data, std::size_t size) {
    jpeg_decompress_struct info;
    CheckingErrors errors;
    info.err = jpeg_std_error(&errors.base);
    errors.base.error_exit = leaveOnError;
    errors.base.emit_message = leaveOnMissingData;
    errors.cutShort = false;
    jpeg_create_decompress(&info);
    if (setjmp(errors.escape)) {
        jpeg_destroy_decompress(&info);
        return errors.cutShort ? JpegEnding::cutShort : JpegEnding::undecodable;
    }
    jpeg_mem_src(&info, const_cast<unsigned char*>(data), static_cast<unsigned long>(size));
    jpeg_read_header(&info, TRUE);
    if (static_cast<unsigned long long>(info.image_width) * info.image_height > openCvMaxPixels()) {
        jpeg_destroy_decompress(&info);
        return JpegEnding::unchecked;
    }
    // Every scan is still entropy-decoded in full; the 1/8 scale and grey
    // output only spare the transforms.
    info.scale_num = 1;
    info.scale_denom = 8;
    info.dct_method = JDCT_IFAST;
    info.do_fancy_upsampling = FALSE;
    if (info.jpeg_color_space == JCS_YCbCr) info.out_color_space = JCS_GRAYSCALE;
    jpeg_start_decompress(&info);
    JSAMPARRAY row = (*info.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&info), JPOOL_IMAGE,
                                               info.output_width * info.output_components, 1);
    while (info.output_scanline < info.output_height) jpeg_read_scanlines(&info, row, 1);
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return JpegEnding::complete;
}

}  // namespace nightdehaze::files
