#include "files/heif_picture.hpp"

#include "files/file_error.hpp"
#include "files/output_name.hpp"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cstring>
#include <memory>
#include <stdexcept>

#ifdef NIGHTDEHAZE_HAVE_HEIF
#include <libheif/heif.h>
#endif

namespace nightdehaze::files {

namespace {

constexpr const char* kHeifBrands[] = {"heic", "heix", "hevc", "hevx", "heim", "heis",
                                       "mif1", "msf1", "avif", "avis"};

bool isHeifBrand(const uchar* brand) {
    for (const char* known : kHeifBrands)
        if (std::memcmp(brand, known, 4) == 0) return true;
    return false;
}

[[noreturn]] void cannotRead(const std::string& path, const std::string& reason) {
    throw FileError("cannot read '" + path + "': " + reason, 0);
}

}  // namespace

bool looksLikeHeif(const std::vector<uchar>& bytes) {
    if (bytes.size() < 16 || std::memcmp(bytes.data() + 4, "ftyp", 4) != 0) return false;
    const size_t boxSize = (size_t{bytes[0]} << 24) | (size_t{bytes[1]} << 16) | (size_t{bytes[2]} << 8) | bytes[3];
    const size_t end = std::min(bytes.size(), std::max<size_t>(boxSize, 16));
    if (isHeifBrand(bytes.data() + 8)) return true;
    for (size_t at = 16; at + 4 <= end; at += 4)  // the compatible brands, after the minor version
        if (isHeifBrand(bytes.data() + at)) return true;
    return false;
}

bool namesHeif(const std::string& path) {
    const std::string extension = lowerExtensionOf(path);
    return extension == ".heic" || extension == ".heif" || extension == ".avif";
}

#ifdef NIGHTDEHAZE_HAVE_HEIF

namespace {

bool namesAvif(const std::string& path) { return lowerExtensionOf(path) == ".avif"; }

struct ContextFree {
    void operator()(heif_context* c) const { heif_context_free(c); }
};
struct HandleFree {
    void operator()(heif_image_handle* h) const { heif_image_handle_release(h); }
};
struct ImageFree {
    void operator()(heif_image* i) const { heif_image_release(i); }
};
struct EncoderFree {
    void operator()(heif_encoder* e) const { heif_encoder_release(e); }
};
using ContextPtr = std::unique_ptr<heif_context, ContextFree>;
using HandlePtr = std::unique_ptr<heif_image_handle, HandleFree>;
using ImagePtr = std::unique_ptr<heif_image, ImageFree>;
using EncoderPtr = std::unique_ptr<heif_encoder, EncoderFree>;

void check(const heif_error& error, const std::string& path) {
    if (error.code == heif_error_Ok) return;
    if (error.code == heif_error_Unsupported_feature && error.subcode == heif_suberror_Unsupported_codec)
        cannotRead(path, "libheif on this machine has no decoder for its codec (HEVC needs libde265, AV1 dav1d "
                         "or aom)");
    cannotRead(path, std::string("not a HEIF picture that can be decoded (") + error.message + ")");
}

// Samples of more than 8 bits keep their top 8, as OpenCV reduces 16-bit pictures.
cv::Mat bgrOf(const heif_image* image, int bits) {
    int stride = 0;
    const uint8_t* data = heif_image_get_plane_readonly(image, heif_channel_interleaved, &stride);
    const int width = heif_image_get_width(image, heif_channel_interleaved);
    const int height = heif_image_get_height(image, heif_channel_interleaved);
    cv::Mat bgr;
    if (bits <= 8) {
        const cv::Mat rgb(height, width, CV_8UC3, const_cast<uint8_t*>(data), static_cast<size_t>(stride));
        cv::cvtColor(rgb, bgr, cv::COLOR_RGB2BGR);
        return bgr;
    }
    const cv::Mat rgb(height, width, CV_16UC3, const_cast<uint8_t*>(data), static_cast<size_t>(stride));
    cv::Mat top(height, width, CV_8UC3);
    for (int y = 0; y < height; ++y) {
        const uint16_t* in = rgb.ptr<uint16_t>(y);
        uint8_t* out = top.ptr<uint8_t>(y);
        for (int x = 0; x < 3 * width; ++x) out[x] = static_cast<uint8_t>(in[x] >> (bits - 8));
    }
    cv::cvtColor(top, bgr, cv::COLOR_RGB2BGR);
    return bgr;
}

// The first Exif block, without the four bytes that give the TIFF header's offset.
std::vector<uchar> exifOf(const heif_image_handle* handle) {
    heif_item_id id = 0;
    if (heif_image_handle_get_list_of_metadata_block_IDs(handle, "Exif", &id, 1) < 1) return {};
    std::vector<uchar> block(heif_image_handle_get_metadata_size(handle, id));
    if (block.size() < 4 || heif_image_handle_get_metadata(handle, id, block.data()).code != heif_error_Ok) return {};
    const size_t offset = 4 + ((size_t{block[0]} << 24) | (size_t{block[1]} << 16) | (size_t{block[2]} << 8) | block[3]);
    if (offset >= block.size()) return {};
    return std::vector<uchar>(block.begin() + static_cast<long>(offset), block.end());
}

std::vector<uchar> iccOf(const heif_image_handle* handle) {
    const heif_color_profile_type type = heif_image_handle_get_color_profile_type(handle);
    if (type != heif_color_profile_type_prof && type != heif_color_profile_type_rICC) return {};
    std::vector<uchar> profile(heif_image_handle_get_raw_color_profile_size(handle));
    if (profile.empty() || heif_image_handle_get_raw_color_profile(handle, profile.data()).code != heif_error_Ok)
        return {};
    return profile;
}

heif_compression_format formatFor(const std::string& path) {
    return namesAvif(path) ? heif_compression_AV1 : heif_compression_HEVC;
}

struct heif_error writeBytes(struct heif_context*, const void* data, size_t size, void* userdata) {
    auto* out = static_cast<std::vector<uchar>*>(userdata);
    const auto* bytes = static_cast<const uchar*>(data);
    out->insert(out->end(), bytes, bytes + size);
    return heif_error{heif_error_Ok, heif_suberror_Unspecified, "ok"};
}

}  // namespace

HeifPicture decodeHeif(const std::vector<uchar>& bytes, const std::string& path) {
    ContextPtr context(heif_context_alloc());
    if (!context) throw std::bad_alloc();
    check(heif_context_read_from_memory_without_copy(context.get(), bytes.data(), bytes.size(), nullptr), path);
    heif_image_handle* primary = nullptr;
    check(heif_context_get_primary_image_handle(context.get(), &primary), path);
    const HandlePtr handle(primary);
    const int bits = heif_image_handle_get_luma_bits_per_pixel(handle.get());
    heif_image* decoded = nullptr;
    check(heif_decode_image(handle.get(), &decoded, heif_colorspace_RGB,
                            bits > 8 ? heif_chroma_interleaved_RRGGBB_LE : heif_chroma_interleaved_RGB, nullptr),
          path);
    const ImagePtr image(decoded);
    HeifPicture picture;
    picture.bgr = bgrOf(image.get(), bits);
    picture.exif = exifOf(handle.get());
    picture.icc = iccOf(handle.get());
    return picture;
}

bool canEncodeHeif(const std::string& path) {
    return namesHeif(path) && heif_have_encoder_for_format(formatFor(path));
}

std::vector<uchar> encodeHeif(const std::string& path, const cv::Mat& bgr, int quality) {
    const auto fail = [&](const heif_error& error) {
        if (error.code != heif_error_Ok)
            throw std::runtime_error("cannot encode '" + path + "': " + error.message);
    };
    ContextPtr context(heif_context_alloc());
    heif_encoder* made = nullptr;
    fail(heif_context_get_encoder_for_format(context.get(), formatFor(path), &made));
    const EncoderPtr encoder(made);
    if (quality > 0) fail(heif_encoder_set_lossy_quality(encoder.get(), quality));
    heif_image* created = nullptr;
    fail(heif_image_create(bgr.cols, bgr.rows, heif_colorspace_RGB, heif_chroma_interleaved_RGB, &created));
    const ImagePtr image(created);
    fail(heif_image_add_plane(image.get(), heif_channel_interleaved, bgr.cols, bgr.rows, 8));
    int stride = 0;
    uint8_t* plane = heif_image_get_plane(image.get(), heif_channel_interleaved, &stride);
    cv::Mat rgb(bgr.rows, bgr.cols, CV_8UC3, plane, static_cast<size_t>(stride));
    cv::cvtColor(bgr, rgb, cv::COLOR_BGR2RGB);
    fail(heif_context_encode_image(context.get(), image.get(), encoder.get(), nullptr, nullptr));
    std::vector<uchar> bytes;
    heif_writer writer{1, writeBytes};
    fail(heif_context_write(context.get(), &writer, &bytes));
    return bytes;
}

#else

HeifPicture decodeHeif(const std::vector<uchar>&, const std::string& path) {
    cannotRead(path, "a HEIF or AVIF picture, and this build of nightdehaze has no libheif to decode it");
}

bool canEncodeHeif(const std::string&) { return false; }

std::vector<uchar> encodeHeif(const std::string& path, const cv::Mat&, int) {
    throw std::runtime_error("cannot encode '" + path + "': this build of nightdehaze has no libheif");
}

#endif

}  // namespace nightdehaze::files
