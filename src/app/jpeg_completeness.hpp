#pragma once
#include <cstddef>
#include <cstdint>

// True when the bytes begin like a JPEG stream: start-of-image, then a marker.
bool looksLikeJpeg(const std::uint8_t* data, std::size_t size);

// True when the first image of a JPEG stream is complete: every marker segment
// and every entropy-coded scan lies within the bytes and the scans are followed
// by the end-of-image marker. Segments are skipped by their declared lengths,
// so an end-of-image marker inside one (an EXIF thumbnail) does not count.
// Bytes after the end-of-image marker are ignored. The JPEG decoder silently
// fills a cut-off stream with grey; this tells such a stream apart.
bool jpegReachesEndOfImage(const std::uint8_t* data, std::size_t size);
