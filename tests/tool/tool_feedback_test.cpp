// The built tool's feedback: refusals before any work, warnings and hints for
// mistaken command lines, and the progress bar that only a terminal sees.
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

void savePhoto(const fs::path& path) {
    std::vector<uchar> bytes;
    ASSERT_TRUE(cv::imencode(".png", testing_support::randomPhoto(40, 56, 3), bytes));
    writeFile(path, std::string(bytes.begin(), bytes.end()));
}

std::string quoted(const std::string& text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

}  // namespace

// The input named here does not exist: a refusal that names the output, not
// the input, was made before the input was read. Nothing is printed on
// stdout and nothing is left in the directory.
TEST(ToolFeedback, OutputsAreRefusedBeforeTheInputIsRead) {
    ScratchDir dir;
    fs::create_directory(dir / "r_A.png");
    const std::string longName(300, 'n');
    const std::pair<std::vector<std::string>, int> cases[] = {
        {{"missing.png", "-o", "nodir/out.png"}, 1},
        {{"missing.png", "-o", longName + ".png"}, 1},
        {{"missing.png", "--maps", "-o", "r.png"}, 1},       // a directory in the place of a map
        {{"missing.png", "-o", "out.exr"}, 2},               // listed, but its encoder does not work
        {{"missing.png", "--quality=80", "-o", "out.png"}, 2},
    };
    const auto before = dir.entries();
    for (const auto& [args, status] : cases) {
        SCOPED_TRACE(args.back());
        const ToolRun run = runTool(args, dir.path());
        EXPECT_EQ(run.exitStatus, status);
        EXPECT_EQ(lineCount(run.err), 1u) << run.err;
        EXPECT_EQ(run.err.find("missing.png"), std::string::npos) << run.err;
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(dir.entries(), before);
    }
}

TEST(ToolFeedback, MistakenCommandLinesGetHints) {
    ScratchDir dir;
    savePhoto(dir / "a.png");
    savePhoto(dir / "b.png");
    ToolRun run = runTool({"a.png", "b.png"}, dir.path());   // a shell glob
    EXPECT_EQ(run.exitStatus, 2);
    EXPECT_NE(run.err.find("nightdehaze-batch"), std::string::npos) << run.err;
    run = runTool({"a.png", "-1"}, dir.path());
    EXPECT_EQ(run.exitStatus, 2);
    EXPECT_NE(run.err.find("gamma must be"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("after --"), std::string::npos) << run.err;
    run = runTool({}, dir.path());
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_NE(run.err.find("'flickr15.bmp'"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("--help"), std::string::npos) << run.err;

    run = runTool({"a.png", "1.2", "b.png", "c.png", "--threads=1", "--output=a.jpg", "--quality=70"}, dir.path());
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(run.out, kStageLines);
    EXPECT_EQ(lineCount(run.err), 1u) << run.err;
    EXPECT_NE(run.err.find("warning: ignoring 'b.png'"), std::string::npos) << run.err;
    EXPECT_TRUE(fs::exists(dir / "a.jpg"));
}

// Lower quality, smaller file: the option reaches the encoder in both forms.
TEST(ToolFeedback, QualityReachesTheEncoder) {
    ScratchDir dir;
    savePhoto(dir / "a.png");
    ASSERT_EQ(runTool({"a.png", "-o", "default.jpg"}, dir.path()).exitStatus, 0);
    ASSERT_EQ(runTool({"a.png", "-o", "low.jpg", "--quality", "20"}, dir.path()).exitStatus, 0);
    ASSERT_EQ(runTool({"a.png", "-o", "low.webp", "--quality=20"}, dir.path()).exitStatus, 0);
    ASSERT_EQ(runTool({"a.png", "-o", "lossless.webp"}, dir.path()).exitStatus, 0);
    EXPECT_LT(fs::file_size(dir / "low.jpg"), fs::file_size(dir / "default.jpg"));
    EXPECT_LT(fs::file_size(dir / "low.webp"), fs::file_size(dir / "lossless.webp"));
}

// `script` gives the tool a terminal. With stderr on it the bar appears there;
// stdout, redirected to a file, still holds exactly the stage lines.
TEST(ToolFeedback, ProgressBarOnlyOnATerminal) {
    if (std::system("command -v script >/dev/null 2>&1") != 0) GTEST_SKIP() << "no script(1)";
    ScratchDir dir;
    savePhoto(dir / "a.png");
    const std::string command = "cd " + quoted(dir.path().string()) + " && script -qec " +
                                quoted(quoted(NIGHTDEHAZE_TOOL) + " a.png > stdout.txt") + " /dev/null > terminal.txt";
    ASSERT_EQ(std::system(command.c_str()), 0);
    EXPECT_EQ(readFile(dir / "stdout.txt"), kStageLines);
    const std::string terminal = readFile(dir / "terminal.txt");
    EXPECT_NE(terminal.find("%  Dehazing"), std::string::npos) << terminal;
    EXPECT_NE(terminal.find("[#"), std::string::npos) << terminal;

    const ToolRun piped = runTool({"a.png"}, dir.path());   // stderr a pipe: no bar
    EXPECT_EQ(piped.exitStatus, 0);
    EXPECT_EQ(piped.err, "");
}
