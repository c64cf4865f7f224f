#include "files/photo_metadata.hpp"

#include "files/metadata_chunks.hpp"
#include "files/output_name.hpp"
#include "files/quiet_stderr.hpp"

#include <exiv2/exiv2.hpp>
#include <opencv2/imgcodecs.hpp>

#include <iterator>
#include <stdexcept>

namespace nightdehaze::files {

struct PhotoMetadata::Contents {
    Exiv2::ExifData exif;
    Exiv2::XmpData xmp;
    Exiv2::IptcData iptc;      // JPEG and TIFF only
    std::vector<uchar> icc;
};

namespace {

constexpr uint16_t kNormalOrientation = 1;

// IFD0 tags that describe how the old file stored its pixels, or that the
// writer fills in from the other containers. Copied into another file they
// would describe data that is not there.
constexpr const char* kLayoutTags[] = {
    "Exif.Image.NewSubfileType",  "Exif.Image.SubfileType",        "Exif.Image.ImageWidth",
    "Exif.Image.ImageLength",     "Exif.Image.BitsPerSample",      "Exif.Image.Compression",
    "Exif.Image.PhotometricInterpretation", "Exif.Image.FillOrder", "Exif.Image.StripOffsets",
    "Exif.Image.SamplesPerPixel", "Exif.Image.RowsPerStrip",       "Exif.Image.StripByteCounts",
    "Exif.Image.PlanarConfiguration", "Exif.Image.Predictor",      "Exif.Image.TileWidth",
    "Exif.Image.TileLength",      "Exif.Image.TileOffsets",        "Exif.Image.TileByteCounts",
    "Exif.Image.SubIFDs",         "Exif.Image.ExtraSamples",       "Exif.Image.SampleFormat",
    "Exif.Image.JPEGInterchangeFormat", "Exif.Image.JPEGInterchangeFormatLength",
    "Exif.Image.YCbCrSubSampling", "Exif.Image.InterColorProfile", "Exif.Image.XMLPacket",
    "Exif.Image.IPTCNAA"};

bool isJpegOrTiff(const std::string& extension) {
    return extension == ".jpg" || extension == ".jpeg" || extension == ".jpe" ||
           extension == ".tif" || extension == ".tiff";
}

void eraseKey(Exiv2::ExifData& exif, const char* key) {
    const auto at = exif.findKey(Exiv2::ExifKey(key));
    if (at != exif.end()) exif.erase(at);
}

void setIfPresent(Exiv2::ExifData& exif, const char* key, uint32_t value) {
    if (exif.findKey(Exiv2::ExifKey(key)) != exif.end()) exif[key] = value;
}

long orientationOf(const Exiv2::ExifData& exif) {
    const auto at = exif.findKey(Exiv2::ExifKey("Exif.Image.Orientation"));
    return at == exif.end() || at->count() == 0 ? kNormalOrientation : at->toLong();
}

// The decoder applied the orientation when decoding without it gives other
// pixels. When both agree, the orientation does not change this picture and
// either answer describes it.
bool decoderTurned(const std::vector<uchar>& fileBytes, const cv::Mat& decoded) {
    cv::Mat asStored;
    try {
        QuietStderr quiet;
        asStored = cv::imdecode(fileBytes, cv::IMREAD_COLOR | cv::IMREAD_IGNORE_ORIENTATION);
    } catch (const cv::Exception&) {
        return false;
    }
    return asStored.size() != decoded.size() || cv::norm(asStored, decoded, cv::NORM_INF) != 0;
}

void prepareExif(Exiv2::ExifData& exif, bool turnedUpright, cv::Size size) {
    Exiv2::ExifThumb(exif).erase();
    for (const char* key : kLayoutTags) eraseKey(exif, key);
    if (turnedUpright) setIfPresent(exif, "Exif.Image.Orientation", kNormalOrientation);
    setIfPresent(exif, "Exif.Photo.PixelXDimension", static_cast<uint32_t>(size.width));
    setIfPresent(exif, "Exif.Photo.PixelYDimension", static_cast<uint32_t>(size.height));
}

void prepareXmp(Exiv2::XmpData& xmp, bool turnedUpright) {
    const auto thumbnails = xmp.findKey(Exiv2::XmpKey("Xmp.xmp.Thumbnails"));
    if (thumbnails != xmp.end()) xmp.erase(thumbnails);
    if (turnedUpright && xmp.findKey(Exiv2::XmpKey("Xmp.tiff.Orientation")) != xmp.end())
        xmp["Xmp.tiff.Orientation"] = std::to_string(kNormalOrientation);
}

std::vector<uchar> bytesOf(Exiv2::BasicIo& io) {
    io.seek(0, Exiv2::BasicIo::beg);
    const Exiv2::DataBuf data = io.read(io.size());
    return std::vector<uchar>(data.pData_, data.pData_ + data.size_);
}

std::vector<uchar> withExiv2(const std::vector<uchar>& encoded, const PhotoMetadata::Contents& c) {
    Exiv2::Image::AutoPtr image = Exiv2::ImageFactory::open(encoded.data(), static_cast<long>(encoded.size()));
    image->readMetadata();
    image->setExifData(c.exif);
    image->setXmpData(c.xmp);
    image->setIptcData(c.iptc);
    if (!c.icc.empty()) {
        Exiv2::DataBuf profile(c.icc.data(), static_cast<long>(c.icc.size()));
        image->setIccProfile(profile);
    }
    image->writeMetadata();
    return bytesOf(image->io());
}

std::vector<uchar> exifBlock(const Exiv2::ExifData& exif) {
    if (exif.empty()) return {};
    Exiv2::Blob blob;
    Exiv2::ExifParser::encode(blob, Exiv2::littleEndian, exif);
    return blob;
}

std::string xmpPacket(const Exiv2::XmpData& xmp) {
    std::string packet;
    if (!xmp.empty() && Exiv2::XmpParser::encode(packet, xmp) != 0)
        throw std::runtime_error("cannot encode the XMP data");
    return packet;
}

}  // namespace

void initializeMetadataLibrary() {
    Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
    Exiv2::XmpParser::initialize();
    // Exiv2 reads ISO base media files (Canon's CR3) only when asked to.
    Exiv2::enableBMFF(true);
}

namespace {

// The metadata Exiv2 reads from a file's bytes; nullptr for a kind of file
// that holds none Exiv2 knows.
std::shared_ptr<PhotoMetadata::Contents> contentsOf(const std::vector<uchar>& fileBytes) {
    Exiv2::Image::AutoPtr image;
    try {
        image = Exiv2::ImageFactory::open(fileBytes.data(), static_cast<long>(fileBytes.size()));
    } catch (const Exiv2::AnyError&) {
        return nullptr;
    }
    auto contents = std::make_shared<PhotoMetadata::Contents>();
    try {
        image->readMetadata();
        contents->exif = image->exifData();
        contents->xmp = image->xmpData();
        contents->iptc = image->iptcData();
        if (image->iccProfileDefined())
            contents->icc.assign(image->iccProfile()->pData_,
                                 image->iccProfile()->pData_ + image->iccProfile()->size_);
    } catch (const Exiv2::AnyError& e) {
        throw std::runtime_error(std::string("its metadata cannot be read: ") + e.what());
    }
    return contents;
}

PhotoMetadata prepared(std::shared_ptr<PhotoMetadata::Contents> contents, bool turnedUpright, cv::Size size) {
    if (!contents) return PhotoMetadata();
    prepareExif(contents->exif, turnedUpright, size);
    prepareXmp(contents->xmp, turnedUpright);
    if (contents->exif.empty() && contents->xmp.empty() && contents->iptc.empty() && contents->icc.empty())
        return PhotoMetadata();
    return PhotoMetadata(std::move(contents));
}

// The Exif groups of a raw file's other images: its previews and its raw data.
bool describesAnotherImage(const std::string& group) {
    for (const char* prefix : {"SubImage", "SubThumb", "Image2", "Image3", "Thumbnail"})
        if (group.rfind(prefix, 0) == 0) return true;
    return false;
}

void dropOtherImages(Exiv2::ExifData& exif) {
    for (auto at = exif.begin(); at != exif.end();)
        at = describesAnotherImage(at->groupName()) ? exif.erase(at) : std::next(at);
}

}  // namespace

PhotoMetadata readPhotoMetadata(const std::vector<uchar>& fileBytes, const cv::Mat& decoded) {
    std::shared_ptr<PhotoMetadata::Contents> contents = contentsOf(fileBytes);
    const bool turnedUpright = contents && orientationOf(contents->exif) != kNormalOrientation &&
                               decoderTurned(fileBytes, decoded);
    return prepared(std::move(contents), turnedUpright, decoded.size());
}

PhotoMetadata readPhotoMetadataOfUpright(const std::vector<uchar>& fileBytes, cv::Size decoded) {
    std::shared_ptr<PhotoMetadata::Contents> contents = contentsOf(fileBytes);
    if (contents) dropOtherImages(contents->exif);
    return prepared(std::move(contents), true, decoded);
}

PhotoMetadata photoMetadataOfBlocks(const std::vector<uchar>& exif, const std::vector<uchar>& icc,
                                    cv::Size decoded) {
    auto contents = std::make_shared<PhotoMetadata::Contents>();
    try {
        if (!exif.empty()) Exiv2::ExifParser::decode(contents->exif, exif.data(), static_cast<uint32_t>(exif.size()));
    } catch (const Exiv2::AnyError& e) {
        throw std::runtime_error(std::string("its Exif data cannot be read: ") + e.what());
    }
    contents->icc = icc;
    return prepared(std::move(contents), true, decoded);
}

bool holdsMetadata(const std::string& path) {
    const std::string extension = lowerExtensionOf(path);
    return isJpegOrTiff(extension) || extension == ".png" || extension == ".webp";
}

std::vector<uchar> withMetadata(const std::vector<uchar>& encoded, const std::string& path,
                                const PhotoMetadata& metadata, cv::Size size) {
    if (metadata.empty() || !holdsMetadata(path)) return encoded;
    const PhotoMetadata::Contents& c = metadata.contents();
    const std::string extension = lowerExtensionOf(path);
    try {
        if (isJpegOrTiff(extension)) return withExiv2(encoded, c);
        if (extension == ".png") return pngWithMetadata(encoded, exifBlock(c.exif), xmpPacket(c.xmp), c.icc);
        return webpWithMetadata(encoded, exifBlock(c.exif), xmpPacket(c.xmp), c.icc, size);
    } catch (const Exiv2::AnyError& e) {
        throw std::runtime_error(e.what());
    }
}

}  // namespace nightdehaze::files
