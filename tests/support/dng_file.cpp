#include "support/dng_file.hpp"

#include <cmath>
#include <cstring>
#include <map>

namespace testing_support {

namespace {

enum Type : uint16_t { kByte = 1, kAscii = 2, kShort = 3, kLong = 4, kRational = 5, kSRational = 10 };

struct Entry {
    Type type;
    uint32_t count;
    std::vector<uint8_t> value;  // little-endian
};
using Ifd = std::map<uint16_t, Entry>;  // tags in ascending order, as TIFF requires

void put16(std::vector<uint8_t>& out, uint32_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}
void put32(std::vector<uint8_t>& out, uint32_t v) {
    put16(out, v & 0xFFFF);
    put16(out, v >> 16);
}

Entry shorts(std::vector<uint32_t> values) {
    Entry e{kShort, static_cast<uint32_t>(values.size()), {}};
    for (uint32_t v : values) put16(e.value, v);
    return e;
}
Entry longs(std::vector<uint32_t> values) {
    Entry e{kLong, static_cast<uint32_t>(values.size()), {}};
    for (uint32_t v : values) put32(e.value, v);
    return e;
}
Entry bytes(std::vector<uint8_t> values) { return {kByte, static_cast<uint32_t>(values.size()), values}; }
Entry text(const std::string& s) {
    Entry e{kAscii, static_cast<uint32_t>(s.size() + 1), std::vector<uint8_t>(s.begin(), s.end())};
    e.value.push_back(0);
    return e;
}
// Fractions of 10000, signed or not.
Entry rationals(const std::vector<double>& values, bool isSigned) {
    Entry e{isSigned ? kSRational : kRational, static_cast<uint32_t>(values.size()), {}};
    for (double v : values) {
        put32(e.value, static_cast<uint32_t>(static_cast<int32_t>(std::lround(v * 10000))));
        put32(e.value, 10000);
    }
    return e;
}

double linear(double srgb) {
    return srgb <= 0.04045 ? srgb / 12.92 : std::pow((srgb + 0.055) / 1.055, 2.4);
}

// RGGB: red at even rows and columns, blue at odd ones, green between.
std::vector<uint8_t> mosaic(const cv::Mat& bgr) {
    std::vector<uint8_t> out;
    for (int y = 0; y < bgr.rows; ++y)
        for (int x = 0; x < bgr.cols; ++x) {
            const int channel = y % 2 == 0 ? (x % 2 == 0 ? 2 : 1) : (x % 2 == 0 ? 1 : 0);
            put16(out, static_cast<uint32_t>(std::lround(65535 * linear(bgr.at<cv::Vec3b>(y, x)[channel] / 255.0))));
        }
    return out;
}

std::vector<uint8_t> rgbBytes(const cv::Mat& bgr) {
    std::vector<uint8_t> out;
    for (int y = 0; y < bgr.rows; ++y)
        for (int x = 0; x < bgr.cols; ++x)
            for (int c = 2; c >= 0; --c) out.push_back(bgr.at<cv::Vec3b>(y, x)[c]);
    return out;
}

// Writes ifd at the end of out (word-aligned), its long values after it;
// offsetTags get the offsets of the data blocks that follow, in order.
void writeIfd(std::vector<uint8_t>& out, const Ifd& ifd, uint32_t next) {
    if (out.size() % 2) out.push_back(0);
    const uint32_t start = static_cast<uint32_t>(out.size());
    uint32_t outside = start + 2 + 12 * static_cast<uint32_t>(ifd.size()) + 4;
    std::vector<uint8_t> extra;
    put16(out, static_cast<uint32_t>(ifd.size()));
    for (const auto& [tag, e] : ifd) {
        put16(out, tag);
        put16(out, e.type);
        put32(out, e.count);
        if (e.value.size() <= 4) {
            std::vector<uint8_t> inline4 = e.value;
            inline4.resize(4, 0);
            out.insert(out.end(), inline4.begin(), inline4.end());
        } else {
            put32(out, outside + static_cast<uint32_t>(extra.size()));
            extra.insert(extra.end(), e.value.begin(), e.value.end());
            if (extra.size() % 2) extra.push_back(0);
        }
    }
    put32(out, next);
    out.insert(out.end(), extra.begin(), extra.end());
}

size_t ifdSize(const Ifd& ifd) {
    size_t size = 2 + 12 * ifd.size() + 4;
    for (const auto& entry : ifd)
        if (entry.second.value.size() > 4) size += (entry.second.value.size() + 1) / 2 * 2;
    return size;
}

}  // namespace

std::vector<uint8_t> dngFile(const DngContents& c) {
    const std::vector<uint8_t> preview = rgbBytes(c.preview), raw = mosaic(c.picture);
    Ifd first = {
        {254, longs({1})},  // a reduced-resolution copy
        {256, longs({static_cast<uint32_t>(c.preview.cols)})},
        {257, longs({static_cast<uint32_t>(c.preview.rows)})},
        {258, shorts({8, 8, 8})},
        {259, shorts({1})},
        {262, shorts({2})},
        {271, text(c.make)},
        {272, text(c.model)},
        {273, longs({0})},
        {274, shorts({c.orientation})},
        {277, shorts({3})},
        {278, longs({static_cast<uint32_t>(c.preview.rows)})},
        {279, longs({static_cast<uint32_t>(preview.size())})},
        {284, shorts({1})},
        {330, longs({0})},
        {50706, bytes({1, 4, 0, 0})},
        {50708, text(c.make + " " + c.model)},
        {50721, rationals({3.2406, -1.5372, -0.4986, -0.9689, 1.8758, 0.0415, 0.0557, -0.2040, 1.0570}, true)},
        {50728, rationals({1.0, 1.0, 1.0}, false)},
        {50778, shorts({21})},  // D65
    };
    Ifd rawIfd = {
        {254, longs({0})},
        {256, longs({static_cast<uint32_t>(c.picture.cols)})},
        {257, longs({static_cast<uint32_t>(c.picture.rows)})},
        {258, shorts({16})},
        {259, shorts({1})},
        {262, shorts({32803})},  // colour filter array
        {273, longs({0})},
        {277, shorts({1})},
        {278, longs({static_cast<uint32_t>(c.picture.rows)})},
        {279, longs({static_cast<uint32_t>(raw.size())})},
        {284, shorts({1})},
        {33421, shorts({2, 2})},
        {33422, bytes({0, 1, 1, 2})},
        {50717, longs({65535})},
    };
    // Layout: header, IFD0, the raw IFD, the preview's strip, the raw strip.
    const uint32_t firstAt = 8;
    const uint32_t rawIfdAt = firstAt + static_cast<uint32_t>(ifdSize(first));
    const uint32_t previewAt = rawIfdAt + static_cast<uint32_t>(ifdSize(rawIfd));
    const uint32_t rawAt = previewAt + static_cast<uint32_t>(preview.size() + preview.size() % 2);
    first[273] = longs({previewAt});
    first[330] = longs({rawIfdAt});
    rawIfd[273] = longs({rawAt});
    std::vector<uint8_t> out = {'I', 'I', 42, 0};
    put32(out, firstAt);
    writeIfd(out, first, 0);
    writeIfd(out, rawIfd, 0);
    out.insert(out.end(), preview.begin(), preview.end());
    if (out.size() % 2) out.push_back(0);
    out.insert(out.end(), raw.begin(), raw.end());
    return out;
}

}  // namespace testing_support
