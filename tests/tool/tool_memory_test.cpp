// The built tool under an address-space limit (ulimit -v): a picture too large
// for it is refused with one line naming the picture and its size.
#include "tool/tool_runner.hpp"
#include "test_images.hpp"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <string>
#include <vector>

using namespace tool_testing;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kUnderAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kUnderAddressSanitizer = true;
#else
constexpr bool kUnderAddressSanitizer = false;
#endif
#else
constexpr bool kUnderAddressSanitizer = false;
#endif

namespace {

// Room for the program, its libraries, its threads and a small picture, far
// from enough for the working planes of a 12-megapixel one.
constexpr unsigned long long kAddressSpaceLimit = 512ull << 20;

void writeJpeg(const ScratchDir& dir, const std::string& name, const cv::Mat& image) {
    std::vector<uchar> bytes;
    ASSERT_TRUE(cv::imencode(".jpg", image, bytes));
    writeFile(dir / name, std::string(bytes.begin(), bytes.end()));
}

cv::Mat largePicture(int width, int height) {
    cv::Mat picture(height, width, CV_8UC3, cv::Scalar(30, 40, 50));
    cv::circle(picture, cv::Point(width / 2, height / 2), height / 3, cv::Scalar(200, 170, 90), -1);
    return picture;
}

}  // namespace

TEST(ToolMemory, PictureTooLargeForTheAddressSpaceIsRefusedNamingItsSize) {
    if (kUnderAddressSanitizer)
        GTEST_SKIP() << "AddressSanitizer reserves terabytes of address space for its shadow "
                        "memory, so the tool cannot start under an address-space limit";
    ScratchDir dir;
    writeJpeg(dir, "small.jpg", testing_support::randomPhoto(60, 80, 3));
    writeJpeg(dir, "large.jpg", largePicture(4000, 3000));

    RunningTool small = startTool({"small.jpg", "-o", "small_out.bmp"}, dir.path(), {}, kAddressSpaceLimit);
    const ToolRun smallRun = finishTool(small);
    ASSERT_EQ(smallRun.exitStatus, 0) << "the limit must leave room for a small picture: " << smallRun.err;

    const auto before = dir.entries();
    RunningTool large = startTool({"large.jpg", "--maps"}, dir.path(), {}, kAddressSpaceLimit);
    const ToolRun run = finishTool(large);
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(lineCount(run.err), 1u) << run.err;
    EXPECT_NE(run.err.find("not enough memory"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("'large.jpg' (4000x3000 pixels)"), std::string::npos) << run.err;
    EXPECT_EQ(dir.entries(), before);
}
