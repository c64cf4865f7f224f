#include "tool/tagged_photo.hpp"

#include "tool/tool_runner.hpp"
#include "test_images.hpp"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

namespace fs = std::filesystem;

namespace tool_testing {

namespace {

std::vector<uchar> encoded(const std::string& extension, const cv::Mat& image) {
    std::vector<uchar> bytes;
    EXPECT_TRUE(cv::imencode(extension, image, bytes));
    return bytes;
}

}  // namespace

// A small but well-formed ICC profile: header (D50 illuminant) and one tag.
std::vector<Exiv2::byte> testProfile() {
    const char text[32] = "text\0\0\0\0nightdehaze test";
    std::vector<Exiv2::byte> p(128 + 4 + 12 + sizeof text);
    auto put = [&](size_t at, uint32_t v) { for (int k = 0; k < 4; ++k) p[at + k] = Exiv2::byte(v >> (24 - 8 * k)); };
    auto tag = [&](size_t at, const char* s) { std::copy(s, s + 4, p.begin() + at); };
    p[8] = 2; p[9] = 0x10;
    tag(12, "mntr"); tag(16, "RGB "); tag(20, "XYZ "); tag(36, "acsp");
    put(68, 0xF6D6); put(72, 0x10000); put(76, 0xD32D);
    put(128, 1); tag(132, "cprt"); put(136, 144); put(140, sizeof text);
    std::copy(text, text + sizeof text, p.begin() + 144);
    put(0, static_cast<uint32_t>(p.size()));
    return p;
}


// A photograph of `size` stored sideways (EXIF orientation 6), with camera,
// GPS, a thumbnail, XMP and the profile. Exiv2 stores PNG EXIF in a text chunk
// that OpenCV does not read, so a PNG written here is not turned on reading.
void writeTaggedPhoto(const fs::path& path, cv::Size size) {
    const cv::Mat pixels = testing_support::randomPhoto(size.height, size.width, 5);
    const std::vector<uchar> plain = encoded(path.extension().string(), pixels);
    auto image = Exiv2::ImageFactory::open(plain.data(), static_cast<long>(plain.size()));
    Exiv2::ExifData exif;
    exif["Exif.Image.Orientation"] = uint16_t(6);
    exif["Exif.Image.Make"] = "NightCam";
    exif["Exif.GPSInfo.GPSLatitude"] = "50/1 6/1 0/1";
    const std::vector<uchar> thumbnail = encoded(".jpg", cv::Mat(8, 8, CV_8UC3, cv::Scalar::all(90)));
    Exiv2::ExifThumb(exif).setJpegThumbnail(thumbnail.data(), static_cast<long>(thumbnail.size()));
    image->setExifData(exif);
    image->xmpData()["Xmp.dc.title"] = "harbour";
    std::vector<Exiv2::byte> profile = testProfile();
    Exiv2::DataBuf buffer(profile.data(), static_cast<long>(profile.size()));
    image->setIccProfile(buffer);
    image->writeMetadata();
    Exiv2::BasicIo& io = image->io();
    io.seek(0, Exiv2::BasicIo::beg);
    const Exiv2::DataBuf bytes = io.read(io.size());
    writeFile(path, std::string(bytes.pData_, bytes.pData_ + bytes.size_));
}

ReadBack readBack(const fs::path& path) {
    auto image = Exiv2::ImageFactory::open(path.string());
    image->readMetadata();
    const Exiv2::ExifData& exif = image->exifData();
    ReadBack r;
    auto text = [&](const char* key) {
        const auto at = exif.findKey(Exiv2::ExifKey(key));
        return at == exif.end() ? std::string() : at->toString();
    };
    r.make = text("Exif.Image.Make");
    r.latitude = text("Exif.GPSInfo.GPSLatitude");
    const std::string orientation = text("Exif.Image.Orientation");
    r.orientation = orientation.empty() ? 0 : std::stol(orientation);
    for (const auto& datum : exif) r.thumbnail |= datum.groupName() == "Thumbnail";
    const auto title = image->xmpData().findKey(Exiv2::XmpKey("Xmp.dc.title"));
    if (title != image->xmpData().end()) r.title = title->toString();
    if (image->iccProfileDefined())
        r.profile.assign(image->iccProfile()->pData_, image->iccProfile()->pData_ + image->iccProfile()->size_);
    r.size = cv::imread(path.string(), cv::IMREAD_COLOR | cv::IMREAD_IGNORE_ORIENTATION).size();
    return r;
}


}  // namespace tool_testing
