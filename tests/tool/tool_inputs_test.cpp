// The built tool on every kind and size of picture the decoder returns, and on
// files that are not whole pictures: each is processed or refused cleanly.
#include "tool/tool_runner.hpp"
#include "support/jpeg_streams.hpp"
#include "test_images.hpp"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <filesystem>
#include <string>
#include <vector>

using namespace tool_testing;
namespace fs = std::filesystem;

namespace {

const std::string kStageLines =
    "Current step: Light Compensation\nCurrent step: Color Correction\nCurrent step: Dehazing\n";

std::string asText(const std::vector<uchar>& bytes) { return std::string(bytes.begin(), bytes.end()); }

std::string encoded(const std::string& ext, const cv::Mat& image) {
    std::vector<uchar> bytes;
    if (!cv::imencode(ext, image, bytes)) throw std::runtime_error("cannot encode " + ext);
    return asText(bytes);
}

// A random photo of the given width and height in the given depth and channel count.
cv::Mat photo(int width, int height, int type) {
    const cv::Mat bgr = testing_support::randomPhoto(height, width, static_cast<uint64_t>(width * 100 + height));
    cv::Mat out = bgr;
    if (CV_MAT_CN(type) == 1) cv::cvtColor(bgr, out, cv::COLOR_BGR2GRAY);
    if (CV_MAT_CN(type) == 4) cv::cvtColor(bgr, out, cv::COLOR_BGR2BGRA);
    if (CV_MAT_DEPTH(type) == CV_16U) out.convertTo(out, CV_16U, 257.0);
    return out;
}

void expectProcessed(const ScratchDir& dir, const std::string& input, cv::Size size) {
    SCOPED_TRACE(input);
    const ToolRun run = runTool({input, "-o", "out.bmp"}, dir.path());
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(run.out, kStageLines);
    EXPECT_EQ(run.err, "");
    const cv::Mat output = cv::imread((dir / "out.bmp").string(), cv::IMREAD_UNCHANGED);
    EXPECT_EQ(output.size(), size);
    EXPECT_EQ(output.type(), CV_8UC3);
    fs::remove(dir / "out.bmp");
}

void expectRefused(const ScratchDir& dir, const std::string& input) {
    SCOPED_TRACE(input);
    const auto before = dir.entries();
    const ToolRun run = runTool({input}, dir.path());
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(lineCount(run.err), 1u) << run.err;
    EXPECT_NE(run.err.find("'" + input + "'"), std::string::npos) << run.err;
    EXPECT_EQ(dir.entries(), before);
}

std::string cut(const std::string& bytes, size_t length) { return bytes.substr(0, length); }

}  // namespace

TEST(ToolInputs, EveryKindOfPictureGivesAnOutputOfItsSize) {
    ScratchDir dir;
    const cv::Mat colour = photo(21, 13, CV_8UC3);
    const std::pair<std::string, std::string> files[] = {
        {"grey.png", encoded(".png", photo(21, 13, CV_8UC1))},
        {"deep.png", encoded(".png", photo(21, 13, CV_16UC3))},
        {"deep.tif", encoded(".tif", photo(21, 13, CV_16UC3))},
        {"alpha.png", encoded(".png", photo(21, 13, CV_8UC4))},
        {"camera.jpg", asText(testing_support::jpegWithThumbnail(colour))},
    };
    for (const auto& [name, bytes] : files) {
        writeFile(dir / name, bytes);
        expectProcessed(dir, name, cv::Size(21, 13));
    }
    // OpenCV cannot write CMYK; the seed corpus holds one made with libjpeg.
    fs::copy_file(fs::path(NIGHTDEHAZE_FUZZ_CORPUS) / "cmyk_6x7.jpg", dir / "cmyk.jpg");
    expectProcessed(dir, "cmyk.jpg", cv::Size(7, 6));
}

TEST(ToolInputs, EverySizeGivesAnOutputOfItsSize) {
    ScratchDir dir;
    const cv::Size sizes[] = {{1, 1}, {1, 7}, {7, 1}, {2, 2}, {20, 20}, {64, 64}, {65, 65}, {66, 67}};
    for (const cv::Size size : sizes) {
        writeFile(dir / "in.png", encoded(".png", photo(size.width, size.height, CV_8UC3)));
        expectProcessed(dir, "in.png", size);
    }
}

TEST(ToolInputs, TruncatedJpegIsRefused) {
    ScratchDir dir;
    const cv::Mat colour = photo(40, 30, CV_8UC3);
    const std::string plain = asText(testing_support::encodedJpeg(colour));
    const std::string camera = asText(testing_support::jpegWithThumbnail(colour));
    ASSERT_FALSE(cv::imdecode(std::vector<uchar>(plain.begin(), plain.end() - 200), cv::IMREAD_COLOR).empty())
        << "the decoder no longer fills cut-off JPEG data: this test lost its point";
    const std::pair<std::string, std::string> files[] = {
        {"half.jpg", cut(plain, plain.size() / 2)},
        {"no end marker.jpg", cut(plain, plain.size() - 2)},
        {"camera.jpg", cut(camera, camera.size() - 100)},
        {"end marker appended.jpg", cut(plain, plain.size() / 2) + "\xFF\xD9"},
    };
    for (const auto& [name, bytes] : files) {
        writeFile(dir / name, bytes);
        expectRefused(dir, name);
    }
}

// The decoders of these formats refuse a cut-off file but print their own
// complaints on stderr; the tool's one line must be the only one.
TEST(ToolInputs, TruncatedFilesOfOtherFormatsAreRefusedWithOneLine) {
    ScratchDir dir;
    const cv::Mat colour = photo(40, 30, CV_8UC3);
    for (const std::string ext : {".png", ".bmp", ".tif"}) {
        const std::string bytes = encoded(ext, colour);
        writeFile(dir / ("cut" + ext), cut(bytes, bytes.size() * 2 / 3));
        expectRefused(dir, "cut" + ext);
    }
}
