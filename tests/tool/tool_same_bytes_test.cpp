// The built tool writes the same bytes whatever vector instructions OpenCV and
// the C library pick at run time: natively, with OpenCV's AVX/FMA code paths
// switched off, with everything above SSE3 switched off, and with the C
// library's FMA variants of pow and exp switched off.
#include "tool/tool_runner.hpp"
#include "support/hazy_test_pictures.hpp"
#include "test_images.hpp"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include <filesystem>
#include <string>
#include <vector>

using namespace tool_testing;

namespace {

const std::vector<std::vector<std::string>>& cpuSettings() {
    static const std::vector<std::vector<std::string>> settings{
        {},
        {"OPENCV_CPU_DISABLE=AVX2,FMA3,AVX,FP16"},
        // OpenCV spells the SSE4 features SSE4.1 and SSE4.2.
        {"OPENCV_CPU_DISABLE=SSE4.1,SSE4.2,AVX,FP16,AVX2,FMA3,POPCNT"},
        {"GLIBC_TUNABLES=glibc.cpu.hwcaps=-AVX2,-FMA"},
    };
    return settings;
}

void writePicture(const std::filesystem::path& path, const cv::Mat& picture) {
    std::vector<uchar> bytes;
    ASSERT_TRUE(cv::imencode(".png", picture, bytes));
    writeFile(path, std::string(bytes.begin(), bytes.end()));
}

// Runs the tool on `input` under every setting and expects the result and
// both maps to be byte for byte those of the native run.
void expectSameBytesEverywhere(const ScratchDir& dir, const std::string& input,
                               const std::vector<std::string>& options) {
    std::string native;
    for (size_t k = 0; k < cpuSettings().size(); ++k) {
        const std::string stem = "out" + std::to_string(k);
        std::vector<std::string> args = options;
        args.insert(args.end(), {input, "--maps", "-o", stem + ".bmp"});
        const ToolRun run = runTool(args, dir.path(), cpuSettings()[k]);
        ASSERT_EQ(run.exitStatus, 0) << run.err;
        const std::string bytes = readFile(dir / (stem + ".bmp")) +
                                  readFile(dir / (stem + "_A.bmp")) +
                                  readFile(dir / (stem + "_T.bmp"));
        if (k == 0)
            native = bytes;
        else
            EXPECT_TRUE(bytes == native)
                << input << " differs from the native run with " << cpuSettings()[k].at(0);
    }
}

}  // namespace

TEST(ToolSameBytes, GuidedFilterOnEveryCpu) {
    ScratchDir dir;
    writePicture(dir / "photo.png", testing_support::randomPhoto(181, 243, 5));
    writePicture(dir / "flat.png", hazy_pictures::picture(hazy_pictures::Kind::FlatSaturated,
                                                          cv::Size(157, 119), 6));
    std::filesystem::copy_file(NIGHTDEHAZE_SAMPLE, dir / "sample.jpg");
    for (const char* input : {"photo.png", "flat.png", "sample.jpg"})
        expectSameBytesEverywhere(dir, input, {});
}

TEST(ToolSameBytes, NonLocalFilterOnEveryCpu) {
    ScratchDir dir;
    writePicture(dir / "photo.png", testing_support::randomPhoto(67, 83, 7));
    writePicture(dir / "levels.png", hazy_pictures::picture(hazy_pictures::Kind::FewLevels,
                                                            cv::Size(71, 66), 8));
    for (const char* input : {"photo.png", "levels.png"})
        expectSameBytesEverywhere(dir, input, {"--non-local"});
}
