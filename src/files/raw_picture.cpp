#include "files/raw_picture.hpp"

#include "files/file_error.hpp"
#include "files/output_name.hpp"

#include <opencv2/imgproc.hpp>

#include <cerrno>
#include <memory>
#include <new>

#ifdef NIGHTDEHAZE_HAVE_LIBRAW
#include <libraw/libraw.h>
#endif

namespace nightdehaze::files {

namespace {

[[noreturn]] void cannotRead(const std::string& path, const std::string& reason, int error = 0) {
    throw FileError("cannot read '" + path + "': " + reason, error);
}

}  // namespace

bool namesCameraRaw(const std::string& path) {
    static const char* const kExtensions[] = {".3fr", ".arw", ".cr2", ".cr3", ".crw", ".dcr", ".dng", ".erf",
                                              ".iiq", ".kdc", ".mef", ".mos", ".mrw", ".nef", ".nrw", ".orf",
                                              ".pef", ".raf", ".raw", ".rw2", ".rwl", ".sr2", ".srf", ".srw",
                                              ".x3f"};
    const std::string extension = lowerExtensionOf(path);
    for (const char* known : kExtensions)
        if (extension == known) return true;
    return false;
}

#ifdef NIGHTDEHAZE_HAVE_LIBRAW

namespace {

// Output: sRGB primaries (output_color 1) and the sRGB curve (slope 12.92
// below the knee, exponent 1/2.4 above), 8 bits. White balance and matrix:
// the camera's own, as its JPEG would use them. No automatic brightening:
// dcraw's default stretches the brightest 1 % to white, which would lift a
// night picture before the enhancement does. Highlights: clipped (mode 0),
// as a camera's JPEG shows them, rather than blended or rebuilt.
void setDevelopment(libraw_output_params_t& p) {
    p.output_color = 1;
    p.output_bps = 8;
    p.gamm[0] = 1.0 / 2.4;
    p.gamm[1] = 12.92;
    p.use_camera_wb = 1;
    p.use_camera_matrix = 1;
    p.no_auto_bright = 1;
    p.highlight = 0;
    p.user_flip = -1;  // the file's orientation
}

// LibRaw prints the damage it meets on standard error; the tool reports the failure in one line instead.
void ignoreDataError(void*, const char*, int) {}

std::unique_ptr<LibRaw> opened(const std::vector<uchar>& bytes, int& status) {
    auto raw = std::make_unique<LibRaw>(LIBRAW_OPTIONS_NONE);
    raw->set_dataerror_handler(ignoreDataError, nullptr);
    status = raw->open_buffer(const_cast<uchar*>(bytes.data()), bytes.size());
    return raw;
}

}  // namespace

bool isCameraRaw(const std::vector<uchar>& bytes, const std::string&) {
    try {
        int status = 0;
        const std::unique_ptr<LibRaw> raw = opened(bytes, status);
        return status == LIBRAW_SUCCESS && raw->imgdata.idata.raw_count > 0;
    } catch (...) {
        return false;
    }
}

cv::Mat developRaw(const std::vector<uchar>& bytes, const std::string& path) {
    int status = 0;
    std::unique_ptr<LibRaw> raw;
    try {
        raw = opened(bytes, status);
    } catch (const std::bad_alloc&) {
        throw FileError("not enough memory to decode '" + path + "'", ENOMEM);
    }
    const auto check = [&](int code) {
        if (code == LIBRAW_UNSUFFICIENT_MEMORY) throw FileError("not enough memory to decode '" + path + "'", ENOMEM);
        if (code != LIBRAW_SUCCESS)
            cannotRead(path, std::string("a camera raw file that cannot be developed (") + LibRaw::strerror(code) +
                                 ")");
    };
    check(status);
    setDevelopment(raw->imgdata.params);
    check(raw->unpack());
    check(raw->dcraw_process());
    int made = LIBRAW_SUCCESS;
    libraw_processed_image_t* developed = raw->dcraw_make_mem_image(&made);
    const std::unique_ptr<libraw_processed_image_t, void (*)(libraw_processed_image_t*)> image(
        developed, LibRaw::dcraw_clear_mem);
    check(developed ? made : LIBRAW_UNSUFFICIENT_MEMORY);
    if (image->type != LIBRAW_IMAGE_BITMAP || image->colors != 3 || image->bits != 8)
        cannotRead(path, "a camera raw file that does not develop to an RGB picture");
    const cv::Mat rgb(image->height, image->width, CV_8UC3, image->data);
    cv::Mat bgr;
    cv::cvtColor(rgb, bgr, cv::COLOR_RGB2BGR);
    return bgr;
}

#else

bool isCameraRaw(const std::vector<uchar>&, const std::string& path) { return namesCameraRaw(path); }

cv::Mat developRaw(const std::vector<uchar>&, const std::string& path) {
    cannotRead(path, "a camera raw file, and this build of nightdehaze has no LibRaw to develop it");
}

#endif

}  // namespace nightdehaze::files
