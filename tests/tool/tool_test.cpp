// End-to-end tests: the built tool run as a user runs it.
#include "tool/tool_runner.hpp"
#include "test_images.hpp"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include <filesystem>


using namespace tool_testing;
namespace fs = std::filesystem;

namespace {

const std::string kStageLines =
    "Current step: Light Compensation\nCurrent step: Color Correction\nCurrent step: Dehazing\n";

cv::Mat smallPhoto() { return testing_support::randomPhoto(48, 64, 2024); }

void savePhoto(const fs::path& path, const std::string& format = ".png") {
    std::vector<uchar> bytes;
    ASSERT_TRUE(cv::imencode(format, smallPhoto(), bytes));
    writeFile(path, std::string(bytes.begin(), bytes.end()));
}

void expectImageOfSize(const fs::path& path, cv::Size size) {
    cv::Mat image = cv::imread(path.string(), cv::IMREAD_UNCHANGED);
    ASSERT_FALSE(image.empty()) << path;
    EXPECT_EQ(image.size(), size) << path;
}

// A failure: the exit status, one line on stderr, no stage output, and the
// directory exactly as it was (no output, no temporary).
void expectCleanFailure(const ToolRun& run, int status, const ScratchDir& dir,
                        const std::set<std::string>& before) {
    EXPECT_EQ(run.exitStatus, status);
    EXPECT_EQ(lineCount(run.err), 1u) << run.err;
    EXPECT_EQ(dir.entries(), before);
}

}  // namespace

TEST(Tool, WritesTheDehazedBmpAndPrintsExactlyTheStageLines) {
    ScratchDir dir;
    savePhoto(dir / "night.png");
    ToolRun run = runTool({"night.png"}, dir.path());
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(run.out, kStageLines);
    EXPECT_EQ(run.err, "");
    expectImageOfSize(dir / "night_J.bmp", cv::Size(64, 48));
    EXPECT_EQ(readFile(dir / "night_J.bmp").substr(0, 2), "BM");
    EXPECT_EQ(dir.entries(), (std::set<std::string>{"night.png", "night_J.bmp"}));
}

TEST(Tool, DerivesTheOutputNameFromTheInputLessItsExtension) {
    ScratchDir dir;
    fs::create_directory(dir / "pics");
    fs::create_directory(dir / "v1.2");
    savePhoto(dir / "pics/night.png");
    savePhoto(dir / "night.jpeg", ".jpg");
    savePhoto(dir / "shot.tiff", ".tif");
    savePhoto(dir / "image");
    savePhoto(dir / "v1.2/image");
    savePhoto(dir / "flickr15.bmp", ".bmp");
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"pics/night.png"}, "pics/night_J.bmp"}, {{"night.jpeg"}, "night_J.bmp"},
        {{"shot.tiff"}, "shot_J.bmp"},            {{"image"}, "image_J.bmp"},
        {{"v1.2/image"}, "v1.2/image_J.bmp"},     {{}, "flickr15_J.bmp"}};
    for (const auto& [args, output] : cases) {
        ToolRun run = runTool(args, dir.path());
        EXPECT_EQ(run.exitStatus, 0) << run.err;
        expectImageOfSize(dir / output, cv::Size(64, 48));
    }
}

TEST(Tool, SecondArgumentSetsGammaAndFurtherOnesAreIgnored) {
    ScratchDir dir;
    savePhoto(dir / "x.png");
    ASSERT_EQ(runTool({"x.png", "2.2", "extra"}, dir.path()).exitStatus, 0);
    const std::string withExtra = readFile(dir / "x_J.bmp");
    ASSERT_EQ(runTool({"x.png", "2.2"}, dir.path()).exitStatus, 0);
    EXPECT_EQ(readFile(dir / "x_J.bmp"), withExtra);
    ASSERT_EQ(runTool({"x.png"}, dir.path()).exitStatus, 0);
    EXPECT_NE(readFile(dir / "x_J.bmp"), withExtra);
}

TEST(Tool, UnreadableInputsFailCleanly) {
    ScratchDir dir;
    fs::create_directory(dir / "folder.png");
    writeFile(dir / "empty.png", "");
    writeFile(dir / "text.png", "this is not a picture\n");
    std::string noise(5000, '\0');
    for (size_t k = 0; k < noise.size(); ++k) noise[k] = static_cast<char>((k * 7919) % 251);
    writeFile(dir / "noise.jpg", noise);
    const auto before = dir.entries();
    for (const char* input : {"missing.png", "folder.png", "empty.png", "text.png", "noise.jpg"}) {
        SCOPED_TRACE(input);
        ToolRun run = runTool({input}, dir.path());
        expectCleanFailure(run, 1, dir, before);
        EXPECT_NE(run.err.find(input), std::string::npos) << run.err;
        EXPECT_EQ(run.out, "");
    }
}

TEST(Tool, UsageErrorsReadAndWriteNothing) {
    ScratchDir dir;
    savePhoto(dir / "x.png");
    const auto before = dir.entries();
    const std::vector<std::string> cases[] = {
        {"x.png", "abc"}, {"x.png", "0"},  {"x.png", "--frobnicate"}, {"x.png", "-o"},
        {"x.png", "-o", "out.unknownformat"}, {"missing.png", "nan"}};
    for (const auto& args : cases) {
        SCOPED_TRACE(args.back());
        ToolRun run = runTool(args, dir.path());
        expectCleanFailure(run, 2, dir, before);
        EXPECT_EQ(run.out, "");
    }
}

TEST(Tool, HelpAndVersion) {
    ScratchDir dir;
    ToolRun help = runTool({"--help"}, dir.path());
    EXPECT_EQ(help.exitStatus, 0);
    EXPECT_NE(help.out.find("Usage: nightdehaze"), std::string::npos);
    EXPECT_NE(help.out.find("--maps"), std::string::npos);
    ToolRun version = runTool({"x.png", "--version"}, dir.path());
    EXPECT_EQ(version.exitStatus, 0);
    EXPECT_EQ(version.out.rfind("nightdehaze ", 0), 0u);
    EXPECT_TRUE(dir.entries().empty());
}

TEST(Tool, FailedWritesLeaveNothingBehind) {
    ScratchDir dir;
    savePhoto(dir / "x.png");
    fs::create_directory(dir / "taken_J.bmp");
    writeFile(dir / "plainfile", "keep");
    const auto before = dir.entries();
    const std::vector<std::string> cases[] = {
        {"x.png", "-o", "nowhere/out.bmp"}, {"x.png", "-o", "taken_J.bmp"},
        {"x.png", "-o", "plainfile/out.bmp"}};
    for (const auto& args : cases) {
        SCOPED_TRACE(args.back());
        ToolRun run = runTool(args, dir.path());
        expectCleanFailure(run, 1, dir, before);
        EXPECT_NE(run.err.find(args.back()), std::string::npos) << run.err;
    }
    EXPECT_TRUE(fs::is_directory(dir / "taken_J.bmp"));
    EXPECT_TRUE(fs::is_empty(dir / "taken_J.bmp"));
    EXPECT_EQ(readFile(dir / "plainfile"), "keep");
}

TEST(Tool, OutputOptionAndMaps) {
    ScratchDir dir;
    fs::create_directory(dir / "out");
    savePhoto(dir / "x.png");
    ToolRun run = runTool({"--maps", "x.png", "-o", "out/result.png"}, dir.path());
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    expectImageOfSize(dir / "out/result.png", cv::Size(64, 48));
    expectImageOfSize(dir / "out/result_A.png", cv::Size(64, 48));   // the maps take the result's format
    expectImageOfSize(dir / "out/result_T.png", cv::Size(64, 48));
    EXPECT_EQ(readFile(dir / "out/result_A.png").substr(1, 3), "PNG");
    EXPECT_EQ(cv::imread((dir / "out/result_T.png").string(), cv::IMREAD_UNCHANGED).channels(), 1);
    EXPECT_EQ(dir.entries(), (std::set<std::string>{"out", "x.png"}));

    ASSERT_EQ(runTool({"x.png", "--maps"}, dir.path()).exitStatus, 0);
    EXPECT_TRUE(fs::exists(dir / "x_A.bmp"));
    EXPECT_TRUE(fs::exists(dir / "x_T.bmp"));
}

TEST(Tool, OutputMayReplaceAnEarlierFileButNeverTheInput) {
    ScratchDir dir;
    savePhoto(dir / "x.png");
    const std::string input = readFile(dir / "x.png");
    ASSERT_EQ(runTool({"x.png", "-o", "y.png"}, dir.path()).exitStatus, 0);
    const std::string result = readFile(dir / "y.png");
    writeFile(dir / "y.png", "an earlier file");
    ToolRun run = runTool({"x.png", "-o", "y.png"}, dir.path());
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(readFile(dir / "y.png"), result);
    run = runTool({"x.png", "-o", "x.png"}, dir.path());
    EXPECT_EQ(run.exitStatus, 2) << run.err;
    EXPECT_EQ(readFile(dir / "x.png"), input);
    EXPECT_EQ(dir.entries(), (std::set<std::string>{"x.png", "y.png"}));
}

TEST(Tool, SameBytesWithOneThreadAndAll) {
    ScratchDir dir;
    std::vector<uchar> bytes;
    ASSERT_TRUE(cv::imencode(".png", testing_support::randomPhoto(130, 170, 8), bytes));
    writeFile(dir / "x.png", std::string(bytes.begin(), bytes.end()));
    ASSERT_EQ(runTool({"x.png", "-o", "all.bmp"}, dir.path()).exitStatus, 0);
    ASSERT_EQ(runTool({"x.png", "-o", "one.bmp", "--threads", "1"}, dir.path()).exitStatus, 0);
    EXPECT_EQ(readFile(dir / "all.bmp"), readFile(dir / "one.bmp"));
}

TEST(Tool, RunsOnTheBundledSample) {
    ScratchDir dir;
    fs::copy_file(NIGHTDEHAZE_SAMPLE, dir / "sample.jpg");
    ToolRun run = runTool({"sample.jpg"}, dir.path());
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(run.out, kStageLines);
    cv::Mat input = cv::imread((dir / "sample.jpg").string());
    cv::Mat output = cv::imread((dir / "sample_J.bmp").string());
    ASSERT_EQ(output.size(), input.size());
    EXPECT_GT(cv::norm(input, output, cv::NORM_L1) / input.total(), 10.0);  // it did change the picture
}

TEST(Tool, NonLocalOptionSwitchesTheFilter) {
    ScratchDir dir;
    savePhoto(dir / "x.png");
    ToolRun run = runTool({"--non-local", "x.png", "-o", "nl.bmp"}, dir.path());
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(run.out, kStageLines);
    ASSERT_EQ(runTool({"x.png", "-o", "gf.bmp"}, dir.path()).exitStatus, 0);
    expectImageOfSize(dir / "nl.bmp", cv::Size(64, 48));
    EXPECT_NE(readFile(dir / "nl.bmp"), readFile(dir / "gf.bmp"));
}

// Regression (see Enhance.FaintPixelsInABlackAreaStayBlack), through the tool.
TEST(Tool, FaintPixelsInABlackAreaStayBlack) {
    ScratchDir dir;
    ASSERT_TRUE(cv::imwrite((dir / "black.png").string(), testing_support::blackWithFaintSpeck()));
    ToolRun run = runTool({"black.png"}, dir.path());
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    const cv::Mat out = cv::imread((dir / "black_J.bmp").string());
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(cv::countNonZero(out(testing_support::kFaintSpeck).reshape(1)), 0);
}
