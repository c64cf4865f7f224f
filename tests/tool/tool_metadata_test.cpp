// The built tool keeps a photograph's metadata in the formats that hold it:
// EXIF (orientation set to normal once the pixels are turned, no thumbnail),
// XMP and the ICC profile, read back with Exiv2.
#include "tool/tool_runner.hpp"
#include "test_images.hpp"

#include <exiv2/exiv2.hpp>
#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include <filesystem>

using namespace tool_testing;
namespace fs = std::filesystem;

namespace {

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

std::vector<uchar> encoded(const std::string& extension, const cv::Mat& image) {
    std::vector<uchar> bytes;
    EXPECT_TRUE(cv::imencode(extension, image, bytes));
    return bytes;
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

struct ReadBack {
    std::string make, latitude, title;
    long orientation = 0;
    bool thumbnail = false;
    std::vector<Exiv2::byte> profile;
    cv::Size size;   // as stored, without applying any orientation
};

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

}  // namespace

TEST(ToolMetadata, KeptThroughJpegPngTiffAndWebp) {
    Exiv2::XmpParser::initialize();
    ScratchDir dir;
    const cv::Size stored(48, 32);
    writeTaggedPhoto(dir / "sideways.jpg", stored);
    writeTaggedPhoto(dir / "sideways.png", stored);
    struct Case {
        std::string input, output;
        long orientation;    // expected in the result
        cv::Size size;       // of the result as stored
    };
    const cv::Size upright(stored.height, stored.width);
    const Case cases[] = {
        {"sideways.jpg", "out.jpg", 1, upright}, {"sideways.jpg", "out.png", 1, upright},
        {"sideways.jpg", "out.tif", 1, upright}, {"sideways.jpg", "out.webp", 1, upright},
        {"sideways.png", "kept.png", 6, stored},   // not turned on reading: the tag still holds
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input + " -> " + c.output);
        const ToolRun run = runTool({c.input, "-o", c.output}, dir.path());
        ASSERT_EQ(run.exitStatus, 0) << run.err;
        EXPECT_EQ(run.err, "");
        const ReadBack r = readBack(dir / c.output);
        EXPECT_EQ(r.make, "NightCam");
        EXPECT_EQ(r.latitude, "50/1 6/1 0/1");
        EXPECT_EQ(r.orientation, c.orientation);
        EXPECT_FALSE(r.thumbnail);
        EXPECT_NE(r.title.find("harbour"), std::string::npos) << r.title;
        EXPECT_TRUE(r.profile == testProfile());
        EXPECT_EQ(r.size, c.size);
    }
    EXPECT_EQ(runTool({"sideways.jpg"}, dir.path()).exitStatus, 0);   // BMP: no metadata, no complaint
}
