// The built tool on video clips that the ffmpeg command makes for each test:
// what the output keeps, a clip cut short, a file that is no video, pictures
// that FFmpeg would also read, the tool without its video module, and an
// interruption.
#include "tool/tool_runner.hpp"
#include "test_images.hpp"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>

using namespace tool_testing;
namespace fs = std::filesystem;

namespace {

const std::string kStageLines =
    "Current step: Light Compensation\nCurrent step: Color Correction\nCurrent step: Dehazing\n";

void makeClip(const fs::path& dir, const std::string& name, const std::string& size, int rate, double seconds,
              const std::string& extra = "") {
    shell(dir, "ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i testsrc=size=" + size +
                   ":rate=" + std::to_string(rate) + " -f lavfi -i sine=frequency=440:sample_rate=22050 -t " +
                   std::to_string(seconds) + " -c:v libx264 -pix_fmt yuv444p -c:a aac " + extra + " " + name);
}

std::string probe(const fs::path& dir, const std::string& entries, const std::string& file) {
    return shell(dir, "ffprobe -v error -count_frames -show_entries " + entries + " -of default=nw=1 " + file + " 2>/dev/null");
}

std::string videoTimestamps(const fs::path& dir, const std::string& file) {
    return shell(dir, "ffprobe -v error -select_streams v -show_entries frame=pts -of csv=p=0 " + file);
}

}  // namespace

TEST(ToolVideo, KeepsSizeRateFramesTimestampsAudioAndRotation) {
    ScratchDir dir;
    makeClip(dir.path(), "plain.mp4", "97x71", 12, 1.5);   // odd sides on purpose
    shell(dir.path(), "ffmpeg -nostdin -loglevel error -i plain.mp4 -c copy -metadata:s:v:0 rotate=90 clip.mp4");
    fs::remove(dir / "plain.mp4");

    const ToolRun run = runTool({"clip.mp4"}, dir.path());
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(run.out, kStageLines);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(dir.entries(), (std::set<std::string>{"clip.mp4", "clip_J.mp4"}));

    const std::string streams = "stream=codec_type,width,height,r_frame_rate,nb_read_frames:stream_side_data=rotation";
    const std::string in = probe(dir.path(), streams, "clip.mp4");
    const std::string out = probe(dir.path(), streams, "clip_J.mp4");
    EXPECT_EQ(out, in);
    EXPECT_NE(out.find("width=97\nheight=71\nr_frame_rate=12/1\nnb_read_frames=18"), std::string::npos) << out;
    EXPECT_NE(out.find("codec_type=audio"), std::string::npos) << out;
    EXPECT_NE(out.find("rotation=90"), std::string::npos) << out;
    EXPECT_EQ(probe(dir.path(), "stream=codec_name", "clip_J.mp4"), "codec_name=h264\ncodec_name=aac\n");
    EXPECT_EQ(videoTimestamps(dir.path(), "clip_J.mp4"), videoTimestamps(dir.path(), "clip.mp4"));
    EXPECT_EQ(shell(dir.path(), "ffmpeg -nostdin -loglevel error -i clip.mp4 -map 0:a -c copy -f md5 -"),
              shell(dir.path(), "ffmpeg -nostdin -loglevel error -i clip_J.mp4 -map 0:a -c copy -f md5 -"));
}

// MP4 counts its frames; Matroska only declares its duration (regression: a
// Matroska clip cut short went through without a word).
TEST(ToolVideo, ClipCutShortKeepsEveryDecodableFrameWithOneWarning) {
    for (const std::string container : {"mp4", "mkv"}) {
        SCOPED_TRACE(container);
        ScratchDir dir;
        const std::string whole = "whole." + container, cut = "cut." + container;
        makeClip(dir.path(), whole, "96x72", 12, 3.0, container == "mp4" ? "-movflags +faststart" : "");
        fs::copy_file(dir / whole, dir / cut);
        fs::resize_file(dir / cut, fs::file_size(dir / whole) * 6 / 10);
        const std::string decodable = shell(dir.path(),
            "ffprobe -v error -count_frames -select_streams v -show_entries stream=nb_read_frames -of csv=p=0 " +
            cut + " 2>/dev/null");

        const ToolRun run = runTool({cut, "-o", "out.mkv"}, dir.path());
        ASSERT_EQ(run.exitStatus, 0) << run.err;
        EXPECT_EQ(lineCount(run.err), 1u) << run.err;
        EXPECT_NE(run.err.find("warning: '" + cut + "' ends early"), std::string::npos) << run.err;
        EXPECT_EQ(shell(dir.path(), "ffprobe -v error -count_frames -select_streams v -show_entries "
                                    "stream=nb_read_frames -of csv=p=0 out.mkv"),
                  decodable);
        EXPECT_LT(std::stoi(decodable), 36);
        const ToolRun complete = runTool({whole, "-o", "complete.mkv"}, dir.path());
        EXPECT_EQ(complete.err, "");
    }
}

TEST(ToolVideo, TextFileNamedLikeAVideoIsRefused) {
    ScratchDir dir;
    writeFile(dir / "clip.mp4", "this is not a video\n");
    const ToolRun run = runTool({"clip.mp4"}, dir.path());
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(lineCount(run.err), 1u) << run.err;
    EXPECT_EQ(dir.entries(), std::set<std::string>{"clip.mp4"});
}

// Cameras store further pictures after the first JPEG's end; FFmpeg reads
// such a file as a motion-JPEG stream, but it is one photograph.
TEST(ToolVideo, JpegFollowedByAnotherJpegIsAPicture) {
    ScratchDir dir;
    std::vector<uchar> first, second;
    ASSERT_TRUE(cv::imencode(".jpg", testing_support::randomPhoto(24, 32, 5), first));
    ASSERT_TRUE(cv::imencode(".jpg", testing_support::randomPhoto(12, 16, 6), second));
    writeFile(dir / "photo.jpg", std::string(first.begin(), first.end()) + std::string(second.begin(), second.end()));
    const ToolRun run = runTool({"photo.jpg"}, dir.path());
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(run.out, kStageLines);
    EXPECT_EQ(cv::imread((dir / "photo_J.bmp").string()).size(), cv::Size(32, 24));
}

// A copy of the tool without its video module: a video fails with one line
// that names the module, a picture is enhanced as ever; likewise with a file
// in the module's place that is no module.
TEST(ToolVideo, WithoutItsModuleRefusesVideosClearlyAndStillEnhancesPictures) {
    ScratchDir dir;
    fs::create_directory(dir / "bin");
    fs::copy_file(NIGHTDEHAZE_TOOL, dir / "bin/nightdehaze");
    makeClip(dir.path(), "clip.mp4", "32x24", 5, 0.6);
    ASSERT_TRUE(cv::imwrite((dir / "night.png").string(), testing_support::randomPhoto(24, 32, 7)));
    const auto run = [&](const std::string& input) {
        return shell(dir.path(), "bin/nightdehaze " + input + " 2>&1; echo status=$?");
    };
    const auto expectRefused = [&](const std::string& reason) {
        const std::string output = run("clip.mp4");
        EXPECT_EQ(output.rfind("nightdehaze: cannot read 'clip.mp4': ", 0), 0u) << output;
        EXPECT_NE(output.find(reason), std::string::npos) << output;
        EXPECT_NE(output.find("nightdehaze-video.so"), std::string::npos) << output;
        EXPECT_EQ(lineCount(output), 2u) << output;
        EXPECT_EQ(output.substr(output.size() - 9), "status=1\n") << output;
    };

    expectRefused("is missing");
    EXPECT_EQ(run("night.png"), kStageLines + "status=0\n");
    writeFile(dir / "bin/nightdehaze-video.so", "not a shared object\n");
    expectRefused("cannot load");
    EXPECT_EQ(dir.entries(), (std::set<std::string>{"bin", "clip.mp4", "night.png", "night_J.bmp"}));
}

TEST(ToolVideo, InterruptLeavesNoOutputAndNoTemporary) {
    ScratchDir dir;
    makeClip(dir.path(), "clip.mkv", "160x120", 25, 8.0);
    RunningTool tool = startTool({"clip.mkv"}, dir.path());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    bool writing = false;
    while (!writing && std::chrono::steady_clock::now() < deadline) {
        for (const std::string& name : dir.entries()) writing = writing || name.rfind(".nightdehaze-", 0) == 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_TRUE(writing) << "the tool never began its output";
    kill(tool.pid, SIGINT);
    const ToolRun run = finishTool(tool);
    EXPECT_EQ(run.exitStatus, 128 + SIGINT) << run.err;
    EXPECT_EQ(dir.entries(), std::set<std::string>{"clip.mkv"});
}

// Regression: such outputs failed after the work with exit status 1 and left
// an empty temporary behind. The container is asked before anything is read.
TEST(ToolVideo, AnOutputThatCannotHoldVideoIsAUsageErrorBeforeAnyWork) {
    ScratchDir dir;
    makeClip(dir.path(), "clip.mkv", "32x24", 10, 0.3);
    shell(dir.path(), "ffmpeg -nostdin -loglevel error -i clip.mkv -c:v gif moving.gif");
    const std::set<std::string> before = dir.entries();
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"clip.mkv", "-o", "out.gif"}, {"clip.mkv", "-o", "out.mp3"}, {"clip.mkv", "-o", "out.ogg"},
             {"moving.gif"}}) {
        const ToolRun run = runTool(args, dir.path());
        EXPECT_EQ(run.exitStatus, 2) << args.back() << ": " << run.err;
        EXPECT_EQ(lineCount(run.err), 1u) << run.err;
        EXPECT_EQ(run.out, "") << args.back();
        EXPECT_EQ(dir.entries(), before) << args.back();
    }
}

// Regression: -o naming the input clip replaced it with its result.
TEST(ToolVideo, AnOutputThatWouldReplaceTheInputIsRefused) {
    ScratchDir dir;
    makeClip(dir.path(), "clip.mp4", "32x24", 10, 0.3);
    fs::create_symlink("clip.mp4", dir / "link.mp4");
    const std::string original = readFile(dir / "clip.mp4");
    const std::set<std::string> before = dir.entries();
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"-o", "clip.mp4", "clip.mp4"}, {"-o", "./clip.mp4", "clip.mp4"}, {"-o", "link.mp4", "clip.mp4"},
             {"-o", "clip.mp4", "link.mp4"}}) {
        SCOPED_TRACE(args[1] + " " + args[2]);
        const ToolRun run = runTool(args, dir.path());
        EXPECT_EQ(run.exitStatus, 2) << run.err;
        EXPECT_EQ(lineCount(run.err), 1u) << run.err;
        EXPECT_NE(run.err.find("replace the original"), std::string::npos) << run.err;
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(dir.entries(), before);
        EXPECT_TRUE(readFile(dir / "clip.mp4") == original);
    }
}

// Regression: frames lost from a transport stream left a silent gap, and
// damage to an MP4 gave two lines for one gap ("0 replaced ... left out"
// although they were replaced). Every gap now gets one line that says what
// the output holds.
TEST(ToolVideo, DamagedFramesGiveOneTrueWarningPerGap) {
    ScratchDir dir;
    for (const std::string name : {"clip.ts", "clip.mp4"}) {
        SCOPED_TRACE(name);
        shell(dir.path(), "ffmpeg -nostdin -loglevel error -y -f lavfi -i testsrc=size=96x72:rate=25 -t 2 "
                          "-c:v libx264 -pix_fmt yuv420p -movflags +faststart " + name);
        std::string bytes = readFile(dir / name);
        const size_t middle = bytes.size() / 2 + (name == "clip.mp4" ? 1000 : 0);
        bytes.replace(middle, 2048, std::string(2048, '\0'));
        writeFile(dir / ("bad_" + name), bytes);
        const ToolRun run = runTool({"bad_" + name, "-o", "out.mkv"}, dir.path());
        ASSERT_EQ(run.exitStatus, 0) << run.err;
        ASSERT_GE(lineCount(run.err), 1u);
        EXPECT_EQ(run.err.find(" 0 replaced"), std::string::npos) << run.err;
        size_t replaced = 0;
        for (size_t at = run.err.find(", replaced by the frame before"); at != std::string::npos;
             at = run.err.find(", replaced by the frame before", at + 1))
            ++replaced;
        EXPECT_EQ(replaced, lineCount(run.err)) << run.err;
        EXPECT_EQ(probe(dir.path(), "stream=nb_read_frames", "out.mkv"), "nb_read_frames=50\n");
        if (name == "clip.ts") {
            EXPECT_EQ(lineCount(run.err), 1u) << run.err;
        }
    }
}

// Regression: a damaged transport stream came out whole while its warning
// counted one frame twice, once as lost and once as left out ("11 corrupt
// frame(s) ..., 10 replaced by the frame before, the others left out" for 50
// frames written). The frames replaced and left out now add up, with those
// written, to the 50 the source should hold. Several places of the damage
// are tried, as the encoder decides where each frame's bytes fall.
TEST(ToolVideo, DamageToATransportStreamIsCountedAsTheOutputHoldsIt) {
    ScratchDir dir;
    const std::string encode = " -frames:v 50 -c:v libx264 -g 10 -bf 0 -pix_fmt yuv420p -f mpegts ";
    shell(dir.path(), "ffmpeg -nostdin -loglevel error -y -f lavfi -i testsrc=size=320x240:rate=25" + encode +
                          "plain.ts");
    shell(dir.path(), "ffmpeg -nostdin -loglevel error -y -f lavfi -i testsrc2=size=320x240:rate=25,"
                      "noise=alls=30:allf=t" + encode + "noisy.ts");
    const std::string plain = readFile(dir / "plain.ts"), noisy = readFile(dir / "noisy.ts");
    constexpr size_t kPacket = 188;
    std::vector<std::string> damaged;
    for (const size_t from : {15, 5}) {   // 40 packets removed from before the middle
        const size_t at = (plain.size() / kPacket / 2 - from) * kPacket;
        damaged.push_back(plain.substr(0, at) + plain.substr(at + 40 * kPacket));
    }
    for (const long shift : {-100, 0}) {   // 2 KB zeroed about the middle
        std::string bytes = noisy;
        bytes.replace((bytes.size() / kPacket / 2 + shift) * kPacket, 2048, std::string(2048, '\0'));
        damaged.push_back(bytes);
    }
    const std::regex warning("nightdehaze: warning: 'bad.ts': ([0-9]+) corrupt frame\\(s\\) after [0-9.]+ s, "
                             "(replaced by the frame before|left out|([0-9]+) replaced by the frame before, "
                             "the others left out)\n");
    for (size_t k = 0; k < damaged.size(); ++k) {
        SCOPED_TRACE(k < 2 ? "packets removed" : "bytes zeroed");
        writeFile(dir / "bad.ts", damaged[k]);
        const ToolRun run = runTool({"--fast", "bad.ts", "-o", "out.mkv"}, dir.path());
        ASSERT_EQ(run.exitStatus, 0) << run.err;
        std::smatch counts;
        ASSERT_TRUE(std::regex_match(run.err, counts, warning)) << run.err;
        const long corrupt = std::stol(counts[1]);
        const long replaced = counts[3].matched ? std::stol(counts[3]) : counts[2] == "left out" ? 0 : corrupt;
        const long written = std::stol(probe(dir.path(), "stream=nb_read_frames", "out.mkv").substr(15));
        EXPECT_EQ(written, 50) << run.err;
        EXPECT_EQ(written + corrupt - replaced, 50) << run.err;
        const long decodable = static_cast<long>(lineCount(
            shell(dir.path(), "ffmpeg -nostdin -loglevel quiet -i bad.ts -f framecrc - | grep -v '^#'")));
        EXPECT_GE(corrupt, 50 - decodable) << run.err;
    }
}

// Regression (found by the video fuzzer): a jump of the timestamps by days
// was taken for lost frames and filled with millions of repeats. A break in
// the timestamps passes through as it is, without a warning.
TEST(ToolVideo, ABreakInTheTimestampsIsNotFilled) {
    ScratchDir dir;
    shell(dir.path(), "ffmpeg -nostdin -loglevel error -y -f lavfi -i testsrc=size=96x72:rate=25 -frames:v 30 "
                      "-vf \"setpts='if(gte(N,10),PTS+100000/TB,PTS)'\" -c:v libx264 -pix_fmt yuv420p jump.ts");
    const ToolRun run = runTool({"jump.ts", "-o", "out.mkv"}, dir.path());
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(probe(dir.path(), "stream=nb_read_frames", "out.mkv"), "nb_read_frames=30\n");
}

// The fast engine on video: steady smoothing, every frame and timestamp kept,
// the enhancement visibly applied and close to the exact engine's.
TEST(ToolVideo, FastSteadyVideoKeepsEveryFrameNearTheExactResult) {
    ScratchDir dir;
    makeClip(dir.path(), "clip.mkv", "96x64", 10, 1.2);
    const ToolRun fast = runTool({"--fast", "-o", "fast.mkv", "clip.mkv"}, dir.path());
    ASSERT_EQ(fast.exitStatus, 0) << fast.err;
    EXPECT_EQ(fast.out, kStageLines);
    const ToolRun exact = runTool({"-o", "exact.mkv", "clip.mkv"}, dir.path());
    ASSERT_EQ(exact.exitStatus, 0) << exact.err;
    EXPECT_EQ(videoTimestamps(dir.path(), "fast.mkv"), videoTimestamps(dir.path(), "clip.mkv"));

    shell(dir.path(), "ffmpeg -nostdin -loglevel error -i fast.mkv -frames:v 1 fast.png");
    shell(dir.path(), "ffmpeg -nostdin -loglevel error -i exact.mkv -frames:v 1 exact.png");
    shell(dir.path(), "ffmpeg -nostdin -loglevel error -i clip.mkv -frames:v 1 clip.png");
    const cv::Mat fastFrame = cv::imread((dir / "fast.png").string());
    EXPECT_GE(cv::PSNR(fastFrame, cv::imread((dir / "exact.png").string())), 30.0);
    EXPECT_LT(cv::PSNR(fastFrame, cv::imread((dir / "clip.png").string())), 25.0) << "nothing was enhanced";
}
