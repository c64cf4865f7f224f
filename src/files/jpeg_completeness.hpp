#pragma once
#include <cstddef>
#include <cstdint>

namespace nightdehaze::files {

// True when the bytes begin like a JPEG stream: start-of-image, then a marker.
bool looksLikeJpeg(const std::uint8_t* data, std::size_t size);

enum class JpegEnding {
    complete,     // every scan's data is there, followed by the end-of-image marker
    cutShort,     // the data ends, or reaches a marker, before the picture is complete
    undecodable,  // libjpeg refuses the stream
    unchecked,    // more pixels than OpenCV decodes (OPENCV_IO_MAX_IMAGE_PIXELS)
};

// Runs libjpeg over a JPEG stream (at 1/8 scale, one row at a time) to tell
// whether all of its picture is there. libjpeg itself only warns about a
// cut-off stream and fills the rest with grey, so OpenCV returns such a
// picture as if it were whole. Markers inside segments (an EXIF thumbnail's
// end marker) and bytes after the end-of-image marker do not matter.
JpegEnding jpegEnding(const std::uint8_t* data, std::size_t size);

}  // namespace nightdehaze::files
