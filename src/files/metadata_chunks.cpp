#include "files/metadata_chunks.hpp"

#include <zlib.h>

#include <cstring>
#include <stdexcept>

namespace nightdehaze::files {

namespace {

constexpr size_t kPngSignature = 8;
constexpr size_t kPngIhdrEnd = kPngSignature + 8 + 13 + 4;   // length, type, data, CRC
constexpr size_t kRiffHeader = 12;                              // "RIFF", size, "WEBP"

void append(std::vector<uchar>& out, const void* data, size_t size) {
    const auto* bytes = static_cast<const uchar*>(data);
    out.insert(out.end(), bytes, bytes + size);
}

void appendBigEndian32(std::vector<uchar>& out, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uchar>(value >> shift));
}

void appendLittleEndian(std::vector<uchar>& out, uint32_t value, int bytes) {
    for (int k = 0; k < bytes; ++k) out.push_back(static_cast<uchar>(value >> (8 * k)));
}

bool hasTag(const std::vector<uchar>& file, size_t at, const char* tag) {
    return file.size() >= at + 4 && std::memcmp(file.data() + at, tag, 4) == 0;
}

void appendPngChunk(std::vector<uchar>& out, const char* type, const std::vector<uchar>& data) {
    appendBigEndian32(out, static_cast<uint32_t>(data.size()));
    const size_t typeAt = out.size();
    append(out, type, 4);
    append(out, data.data(), data.size());
    const uLong crc = crc32(0L, out.data() + typeAt, static_cast<uInt>(4 + data.size()));
    appendBigEndian32(out, static_cast<uint32_t>(crc));
}

std::vector<uchar> iccpData(const std::vector<uchar>& icc) {
    static const char kName[] = "ICC profile";   // keyword, then the compression method 0
    std::vector<uchar> data(kName, kName + sizeof kName);
    data.push_back(0);
    uLongf packedSize = compressBound(static_cast<uLong>(icc.size()));
    std::vector<uchar> packed(packedSize);
    if (compress2(packed.data(), &packedSize, icc.data(), static_cast<uLong>(icc.size()), 9) != Z_OK)
        throw std::runtime_error("cannot compress the ICC profile");
    append(data, packed.data(), packedSize);
    return data;
}

std::vector<uchar> xmpITxtData(const std::string& xmp) {
    // keyword, no compression (flag and method 0), empty language and
    // translated keyword, then the packet as UTF-8.
    static const char kKeyword[] = "XML:com.adobe.xmp";
    std::vector<uchar> data(kKeyword, kKeyword + sizeof kKeyword);
    for (int k = 0; k < 4; ++k) data.push_back(0);
    append(data, xmp.data(), xmp.size());
    return data;
}

void appendRiffChunk(std::vector<uchar>& out, const char* type, const void* data, size_t size) {
    append(out, type, 4);
    appendLittleEndian(out, static_cast<uint32_t>(size), 4);
    append(out, data, size);
    if (size % 2 != 0) out.push_back(0);
}

std::vector<uchar> vp8xData(bool icc, bool exif, bool xmp, cv::Size size) {
    constexpr uchar kIcc = 0x20, kExif = 0x08, kXmp = 0x04;
    std::vector<uchar> data;
    data.push_back(static_cast<uchar>((icc ? kIcc : 0) | (exif ? kExif : 0) | (xmp ? kXmp : 0)));
    for (int k = 0; k < 3; ++k) data.push_back(0);
    appendLittleEndian(data, static_cast<uint32_t>(size.width - 1), 3);
    appendLittleEndian(data, static_cast<uint32_t>(size.height - 1), 3);
    return data;
}

}  // namespace

std::vector<uchar> pngWithMetadata(const std::vector<uchar>& png, const std::vector<uchar>& exif,
                                   const std::string& xmp, const std::vector<uchar>& icc) {
    if (!hasTag(png, kPngSignature + 4, "IHDR") || png.size() < kPngIhdrEnd)
        throw std::runtime_error("the PNG encoder wrote an unexpected layout");
    std::vector<uchar> out(png.begin(), png.begin() + kPngIhdrEnd);
    if (!icc.empty()) appendPngChunk(out, "iCCP", iccpData(icc));
    if (!exif.empty()) appendPngChunk(out, "eXIf", exif);
    if (!xmp.empty()) appendPngChunk(out, "iTXt", xmpITxtData(xmp));
    out.insert(out.end(), png.begin() + kPngIhdrEnd, png.end());
    return out;
}

std::vector<uchar> webpWithMetadata(const std::vector<uchar>& webp, const std::vector<uchar>& exif,
                                    const std::string& xmp, const std::vector<uchar>& icc,
                                    cv::Size size) {
    if (!hasTag(webp, 0, "RIFF") || !hasTag(webp, 8, "WEBP") ||
        !(hasTag(webp, kRiffHeader, "VP8 ") || hasTag(webp, kRiffHeader, "VP8L")))
        throw std::runtime_error("the WebP encoder wrote an unexpected layout");
    std::vector<uchar> out;
    append(out, "RIFF\0\0\0\0WEBP", kRiffHeader);
    const std::vector<uchar> vp8x = vp8xData(!icc.empty(), !exif.empty(), !xmp.empty(), size);
    appendRiffChunk(out, "VP8X", vp8x.data(), vp8x.size());
    if (!icc.empty()) appendRiffChunk(out, "ICCP", icc.data(), icc.size());
    out.insert(out.end(), webp.begin() + kRiffHeader, webp.end());
    if (!exif.empty()) appendRiffChunk(out, "EXIF", exif.data(), exif.size());
    if (!xmp.empty()) appendRiffChunk(out, "XMP ", xmp.data(), xmp.size());
    const uint32_t riffSize = static_cast<uint32_t>(out.size() - 8);
    for (int k = 0; k < 4; ++k) out[4 + k] = static_cast<uchar>(riffSize >> (8 * k));
    return out;
}

}  // namespace nightdehaze::files
