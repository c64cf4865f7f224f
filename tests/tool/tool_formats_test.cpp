// The built tool on the pictures phones and cameras make: HEIC and AVIF made
// by heif-enc from a tagged photograph, and a DNG written by the test (a raw
// mosaic behind a small preview), checked for size, orientation, metadata,
// the decoded pixels and damaged files.
#include "files/picture_job.hpp"
#include "support/dng_file.hpp"
#include "tool/tagged_photo.hpp"
#include "tool/tool_runner.hpp"
#include "test_images.hpp"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cstdlib>
#include <filesystem>

using namespace nightdehaze::files;

using namespace tool_testing;
namespace fs = std::filesystem;

namespace {

double meanDifference(const cv::Mat& a, const cv::Mat& b) {
    return cv::norm(a, b, cv::NORM_L1) / static_cast<double>(a.total() * a.channels());
}

void expectOneLineAndNothingWritten(const ToolRun& run, const ScratchDir& dir, const std::set<std::string>& before) {
    EXPECT_EQ(run.exitStatus, 1) << run.err;
    EXPECT_EQ(lineCount(run.err), 1u) << run.err;
    EXPECT_EQ(dir.entries(), before);
}

}  // namespace

// HEIC and AVIF in: the primary image as stored (the container turns it, the
// Exif orientation does not), its Exif and ICC profile carried into a JPEG
// with the orientation set to normal, the pixels those of the source, 10-bit
// samples reduced as 16-bit ones are; out: HEIC and AVIF that decode to the
// result. A damaged file fails cleanly.
TEST(ToolFormats, HeicAndAvifAreReadWithTheirMetadataAndWritten) {
    Exiv2::XmpParser::initialize();
    ScratchDir dir;
    const cv::Size stored(64, 48);
    writeTaggedPhoto(dir / "photo.jpg", stored);
    const cv::Mat source = cv::imread((dir / "photo.jpg").string(), cv::IMREAD_COLOR | cv::IMREAD_IGNORE_ORIENTATION);
    cv::Mat smooth;  // for the lossy outputs: detail a 4:2:0 encoder keeps
    cv::GaussianBlur(testing_support::randomPhoto(40, 56, 8), smooth, cv::Size(7, 7), 2);
    cv::imwrite((dir / "smooth.png").string(), smooth);
    for (const std::string name : {"photo.heic", "photo.avif"}) {
        SCOPED_TRACE(name);
        const std::string codec = name == "photo.avif" ? "-A " : "";
        ASSERT_EQ(std::system(("cd '" + dir.path().string() + "' && heif-enc -q 98 " + codec + "photo.jpg -o " +
                               name + " > /dev/null").c_str()), 0);
        const cv::Mat decoded = readPictureFile((dir / name).string());
        ASSERT_EQ(decoded.size(), stored);
        EXPECT_LT(meanDifference(decoded, source), 8.0);  // noise-like colour through 4:2:0

        const ToolRun run = runTool({name, "-o", "clear.jpg"}, dir.path());
        ASSERT_EQ(run.exitStatus, 0) << run.err;
        const ReadBack r = readBack(dir / "clear.jpg");
        EXPECT_EQ(r.make, "NightCam");
        EXPECT_EQ(r.orientation, 1);
        EXPECT_EQ(r.size, stored);
        EXPECT_TRUE(r.profile == testProfile());

        ASSERT_EQ(runTool({name, "-o", "clear.bmp"}, dir.path()).exitStatus, 0);
        const cv::Mat result = cv::imread((dir / "clear.bmp").string());
        EXPECT_BIT_EQUAL(result, nightdehaze::enhance(decoded, nightdehaze::DehazeContext()));
        const std::string written = "smooth" + fs::path(name).extension().string();
        ASSERT_EQ(runTool({"smooth.png", "-o", written, "--quality", "95"}, dir.path()).exitStatus, 0);
        const cv::Mat again = readPictureFile((dir / written).string());
        ASSERT_EQ(again.size(), smooth.size());
        // x265 and aom at quality 95 on so small a picture: about 6 levels (heif-enc itself: 11)
        EXPECT_LT(meanDifference(again, nightdehaze::enhance(smooth, nightdehaze::DehazeContext())), 10.0);
        for (const char* f : {"clear.jpg", "clear.bmp"}) fs::remove(dir / f);
        fs::remove(dir / written);
    }
    // 10 bits, with a thumbnail beside the primary image: the primary image,
    // equal to what the tool reads from heif-convert's 16-bit PNG of it.
    cv::Mat deep;
    smooth.convertTo(deep, CV_16UC3, 257.0);
    cv::imwrite((dir / "deep.png").string(), deep);
    ASSERT_EQ(std::system(("cd '" + dir.path().string() + "' && heif-enc -q 90 -b 10 -t 16 deep.png -o deep.heic " +
                           "> /dev/null && heif-convert deep.heic deep16.png > /dev/null").c_str()), 0);
    ASSERT_EQ(cv::imread((dir / "deep16.png").string(), cv::IMREAD_UNCHANGED).depth(), CV_16U);
    const cv::Mat tenBits = readPictureFile((dir / "deep.heic").string());
    ASSERT_EQ(tenBits.size(), smooth.size());
    EXPECT_BIT_EQUAL(tenBits, readPictureFile((dir / "deep16.png").string()));

    const std::string heic = readFile(dir / "photo.heic");
    writeFile(dir / "cut.heic", heic.substr(0, heic.size() / 2));
    const std::set<std::string> before = dir.entries();
    expectOneLineAndNothingWritten(runTool({"cut.heic", "-o", "cut.jpg"}, dir.path()), dir, before);
}

// A DNG whose first image is a small preview: the raw mosaic is developed in
// full, turned upright by its orientation, close to the picture it was made
// from (camera white balance and matrix, no brightening), with its Exif
// carried; the tool's result is enhance of exactly those pixels. A raw file
// cut short fails cleanly.
TEST(ToolFormats, CameraRawIsDevelopedInFullNotAsItsPreview) {
    Exiv2::XmpParser::initialize();
    ScratchDir dir;
    testing_support::DngContents dng;
    cv::GaussianBlur(testing_support::randomPhoto(48, 64, 17), dng.picture, cv::Size(9, 9), 3);
    dng.preview = cv::Mat(12, 16, CV_8UC3, cv::Scalar(0, 255, 0));
    dng.orientation = 6;
    const std::vector<uint8_t> file = testing_support::dngFile(dng);
    writeFile(dir / "night.dng", std::string(file.begin(), file.end()));

    const cv::Mat developed = readPictureFile((dir / "night.dng").string());
    cv::Mat upright;
    cv::rotate(dng.picture, upright, cv::ROTATE_90_CLOCKWISE);
    ASSERT_EQ(developed.size(), upright.size());
    EXPECT_LT(meanDifference(developed, upright), 12.0);

    ToolRun run = runTool({"night.dng"}, dir.path());
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_BIT_EQUAL(cv::imread((dir / "night_J.bmp").string()),
                     nightdehaze::enhance(developed, nightdehaze::DehazeContext()));
    run = runTool({"night.dng", "-o", "clear.jpg"}, dir.path());
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    const ReadBack r = readBack(dir / "clear.jpg");
    EXPECT_EQ(r.make, "NightCam");
    EXPECT_EQ(r.orientation, 1);
    EXPECT_EQ(r.size, upright.size());

    cv::Mat plain;  // an ordinary TIFF is no raw file: read as OpenCV reads it
    dng.picture.convertTo(plain, CV_16UC3, 257.0);
    cv::imwrite((dir / "plain.tif").string(), plain);
    EXPECT_BIT_EQUAL(readPictureFile((dir / "plain.tif").string()), cv::imread((dir / "plain.tif").string()));

    writeFile(dir / "cut.dng", std::string(file.begin(), file.begin() + static_cast<long>(file.size() * 6 / 10)));
    const std::set<std::string> before = dir.entries();
    expectOneLineAndNothingWritten(runTool({"cut.dng", "-o", "cut.jpg"}, dir.path()), dir, before);
}
