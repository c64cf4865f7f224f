#pragma once
#include <opencv2/core.hpp>

#include <memory>
#include <string>
#include <vector>

namespace nightdehaze::files {

// What a photograph carries besides its pixels: EXIF (camera, lens, date,
// GPS...), XMP and the ICC colour profile, prepared for a processed copy of it.
class PhotoMetadata {
public:
    struct Contents;   // Exiv2's containers and the profile bytes
    PhotoMetadata() = default;
    explicit PhotoMetadata(std::shared_ptr<const Contents> contents) : contents_(std::move(contents)) {}
    bool empty() const { return !contents_; }
    const Contents& contents() const { return *contents_; }

private:
    std::shared_ptr<const Contents> contents_;
};

// Reads the metadata of an image file's bytes for a processed copy of
// decoded, the picture those bytes decode to. When the decoder turned the
// picture by its EXIF orientation (decoding without it gives other pixels; only
// tried for a stated orientation other than normal), the orientation becomes 1.
// The EXIF thumbnail and the tags that describe the old file's pixel layout are
// dropped. A file without metadata, or of a kind Exiv2 does not know, gives an
// empty result; metadata that cannot be parsed throws std::runtime_error.
PhotoMetadata readPhotoMetadata(const std::vector<uchar>& fileBytes, const cv::Mat& decoded);

// As readPhotoMetadata, for a decoder that always turns the picture upright
// by its orientation (camera raw files): the orientation becomes 1. The tags
// of the raw file's other images (previews, the raw data) are dropped too.
PhotoMetadata readPhotoMetadataOfUpright(const std::vector<uchar>& fileBytes, cv::Size decoded);

// The metadata of an Exif block (from its TIFF header on) and an ICC profile
// kept apart from the picture (HEIF), for a decoded picture that is upright.
PhotoMetadata photoMetadataOfBlocks(const std::vector<uchar>& exif, const std::vector<uchar>& icc,
                                    cv::Size decoded);

// True for the kinds of file (by the path's extension, any case) that hold
// metadata: JPEG, PNG, TIFF and WebP.
bool holdsMetadata(const std::string& path);

// The encoded file bytes (of a picture of the given size, for path) with the
// metadata added when the kind holds metadata; other kinds and empty metadata
// come back unchanged. Throws std::runtime_error when it cannot be written.
std::vector<uchar> withMetadata(const std::vector<uchar>& encoded, const std::string& path,
                                const PhotoMetadata& metadata, cv::Size size);

// Keeps Exiv2's warnings off standard error, readies its XMP parser and
// its reader of ISO base media files (CR3).
// Call once, before other threads use Exiv2.
void initializeMetadataLibrary();

}  // namespace nightdehaze::files
