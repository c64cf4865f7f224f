#include "app/jpeg_completeness.hpp"

#include <cstring>

namespace {

constexpr std::uint8_t kMarkerPrefix = 0xFF;
constexpr std::uint8_t kStartOfImage = 0xD8;
constexpr std::uint8_t kEndOfImage = 0xD9;
constexpr std::uint8_t kStartOfScan = 0xDA;
constexpr std::uint8_t kStuffedZero = 0x00;    // FF 00 in scan data is a literal FF byte
constexpr std::uint8_t kTemporary = 0x01;      // TEM: a marker without a segment

bool isRestartMarker(std::uint8_t code) { return code >= 0xD0 && code <= 0xD7; }

// Markers that stand alone, without a length and a segment after them.
bool isStandalone(std::uint8_t code) {
    return isRestartMarker(code) || code == kTemporary || code == kStartOfImage ||
           code == kStuffedZero;
}

// Position of the first byte of the next marker code at or after pos (the
// byte after one or more FF prefixes), or size when the bytes end first.
// Stray bytes between segments are skipped, as the decoder does.
std::size_t nextMarkerCode(const std::uint8_t* data, std::size_t size, std::size_t pos) {
    while (pos < size) {
        const void* prefix = std::memchr(data + pos, kMarkerPrefix, size - pos);
        if (!prefix) return size;
        pos = static_cast<std::size_t>(static_cast<const std::uint8_t*>(prefix) - data);
        while (pos < size && data[pos] == kMarkerPrefix) ++pos;
        if (pos < size) return pos;
    }
    return size;
}

// Position of the FF that ends the entropy-coded data starting at pos, or
// size when the bytes end inside it. Stuffed zeros and restart markers belong
// to the scan.
std::size_t endOfScanData(const std::uint8_t* data, std::size_t size, std::size_t pos) {
    while (pos < size) {
        const void* prefix = std::memchr(data + pos, kMarkerPrefix, size - pos);
        if (!prefix) return size;
        pos = static_cast<std::size_t>(static_cast<const std::uint8_t*>(prefix) - data);
        if (pos + 1 >= size) return size;
        const std::uint8_t code = data[pos + 1];
        if (code == kStuffedZero || isRestartMarker(code)) {
            pos += 2;
        } else if (code == kMarkerPrefix) {
            pos += 1;
        } else {
            return pos;
        }
    }
    return size;
}

}  // namespace

bool looksLikeJpeg(const std::uint8_t* data, std::size_t size) {
    return size >= 3 && data[0] == kMarkerPrefix && data[1] == kStartOfImage &&
           data[2] == kMarkerPrefix;
}

bool jpegReachesEndOfImage(const std::uint8_t* data, std::size_t size) {
    if (!looksLikeJpeg(data, size)) return false;
    std::size_t pos = 2;
    while (true) {
        pos = nextMarkerCode(data, size, pos);
        if (pos >= size) return false;
        const std::uint8_t code = data[pos++];
        if (code == kEndOfImage) return true;
        if (isStandalone(code)) continue;
        if (size - pos < 2) return false;
        const std::size_t length = (static_cast<std::size_t>(data[pos]) << 8) | data[pos + 1];
        if (length < 2 || size - pos < length) return false;
        pos += length;
        if (code == kStartOfScan) pos = endOfScanData(data, size, pos);
    }
}
