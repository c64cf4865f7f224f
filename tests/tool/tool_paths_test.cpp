// The built tool with awkward paths: spaces, non-ASCII characters, leading
// dashes, and a directory it may not write to.
#include "tool/tool_runner.hpp"
#include "test_images.hpp"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

using namespace tool_testing;
namespace fs = std::filesystem;

namespace {

void writePhoto(const fs::path& path) {
    std::vector<uchar> bytes;
    ASSERT_TRUE(cv::imencode(".png", testing_support::randomPhoto(30, 40, 11), bytes));
    writeFile(path, std::string(bytes.begin(), bytes.end()));
}

void expectPicture(const fs::path& path) {
    const cv::Mat image = cv::imread(path.string(), cv::IMREAD_UNCHANGED);
    EXPECT_EQ(image.size(), cv::Size(40, 30)) << path;
}

// Makes a directory refuse new entries, or a file refuse changes, for as long
// as it lives. Permission bits do not stop root, so root sets the immutable
// attribute (chattr +i) instead.
class ReadOnlyEntry {
public:
    explicit ReadOnlyEntry(const fs::path& path) : path_(path) {
        if (geteuid() != 0) {
            active_ = chmod(path.c_str(), fs::is_directory(path) ? 0555 : 0444) == 0;
            return;
        }
        fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        int flags = 0;
        if (fd_ < 0 || ioctl(fd_, FS_IOC_GETFLAGS, &flags) != 0) return;
        flags |= FS_IMMUTABLE_FL;
        active_ = ioctl(fd_, FS_IOC_SETFLAGS, &flags) == 0;
    }
    ~ReadOnlyEntry() {
        if (fd_ >= 0) {
            int flags = 0;
            if (ioctl(fd_, FS_IOC_GETFLAGS, &flags) == 0) {
                flags &= ~FS_IMMUTABLE_FL;
                ioctl(fd_, FS_IOC_SETFLAGS, &flags);
            }
            close(fd_);
        } else if (active_) {
            chmod(path_.c_str(), fs::is_directory(path_) ? 0755 : 0644);
        }
    }
    ReadOnlyEntry(const ReadOnlyEntry&) = delete;
    ReadOnlyEntry& operator=(const ReadOnlyEntry&) = delete;

    // True when opening the file for writing really fails.
    bool refusesWrites() const {
        if (!active_) return false;
        const int fd = open(path_.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0) return true;
        close(fd);
        return false;
    }

    // True when creating a file in the directory really fails.
    bool refusesNewFiles() const {
        if (!active_) return false;
        const fs::path probe = path_ / "probe";
        const int fd = open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0) return true;
        close(fd);
        unlink(probe.c_str());
        return false;
    }

private:
    fs::path path_;
    int fd_ = -1;
    bool active_ = false;
};

// Mounts a file over another for as long as it lives (needs privileges).
class BindMount {
public:
    BindMount(const fs::path& source, const fs::path& target) : target_(target) {
        active_ = mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) == 0;
    }
    ~BindMount() {
        if (active_) umount(target_.c_str());
    }
    BindMount(const BindMount&) = delete;
    BindMount& operator=(const BindMount&) = delete;
    bool active() const { return active_; }

private:
    fs::path target_;
    bool active_ = false;
};

// Three existing outputs of `--maps -o out.bmp`, each with its own old bytes.
std::map<std::string, std::string> writeOldOutputs(const ScratchDir& dir) {
    std::map<std::string, std::string> old;
    for (const char* name : {"out.bmp", "out_A.bmp", "out_T.bmp"}) {
        old[name] = std::string("old ") + name;
        writeFile(dir / name, old[name]);
    }
    return old;
}

void expectUnchanged(const ScratchDir& dir, const std::map<std::string, std::string>& old) {
    for (const auto& [name, bytes] : old) EXPECT_TRUE(readFile(dir / name) == bytes) << name << " was replaced";
}

}  // namespace

TEST(ToolPaths, SpacesAndNonAsciiCharacters) {
    ScratchDir dir;
    const std::string input = "night photo – Zürich 夜景.png";
    writePhoto(dir / input);
    ToolRun run = runTool({input}, dir.path());
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    expectPicture(dir / "night photo – Zürich 夜景_J.bmp");

    fs::create_directory(dir / "dossier été");
    run = runTool({input, "-o", "dossier été/résultat final.png", "--maps"}, dir.path());
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    expectPicture(dir / "dossier été/résultat final.png");
    expectPicture(dir / "dossier été/résultat final_A.png");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "dossier été"), fs::directory_iterator()), 3);

    run = runTool({"missing – Zürich.png"}, dir.path());
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_NE(run.err.find("'missing – Zürich.png'"), std::string::npos) << run.err;
}

TEST(ToolPaths, LeadingDashesAfterDoubleDash) {
    ScratchDir dir;
    writePhoto(dir / "-night.png");
    writePhoto(dir / "--in.png");
    ToolRun run = runTool({"--", "-night.png"}, dir.path());
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    expectPicture(dir / "-night_J.bmp");

    run = runTool({"-o", "-out.png", "--", "--in.png", "1.5"}, dir.path());
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    expectPicture(dir / "-out.png");

    const auto before = dir.entries();
    run = runTool({"-night.png"}, dir.path());   // without "--" it is an unknown option
    EXPECT_EQ(run.exitStatus, 2);
    EXPECT_EQ(lineCount(run.err), 1u) << run.err;
    EXPECT_EQ(dir.entries(), before);
}

TEST(ToolPaths, ReadOnlyDirectoryIsRefusedAndLeftUnchanged) {
    ScratchDir dir;
    writePhoto(dir / "in.png");
    fs::create_directory(dir / "locked");
    writePhoto(dir / "locked/own.png");
    const std::string original = readFile(dir / "locked/own.png");
    ReadOnlyEntry locked(dir / "locked");
    if (!locked.refusesNewFiles())
        GTEST_SKIP() << "this file system cannot make a directory refuse new files";

    const std::vector<std::string> cases[] = {
        {"in.png", "-o", "locked/out.bmp"},
        {"locked/own.png"},                          // derived output locked/own_J.bmp
        {"in.png", "-o", "locked/own.png"},          // replacing a file of it
    };
    for (const auto& args : cases) {
        SCOPED_TRACE(args.back());
        const ToolRun run = runTool(args, dir.path());
        EXPECT_EQ(run.exitStatus, 1);
        EXPECT_EQ(lineCount(run.err), 1u) << run.err;
        EXPECT_NE(run.err.find("cannot write 'locked/"), std::string::npos) << run.err;
        EXPECT_EQ(std::distance(fs::directory_iterator(dir / "locked"), fs::directory_iterator()), 1);
        EXPECT_EQ(readFile(dir / "locked/own.png"), original);
    }
}

// OpenCV encodes JPEG 2000 through a temporary file of its own and leaves it
// behind when the encoder fails (here: a picture too small for its default
// number of resolutions).
TEST(ToolPaths, FailedEncodingLeavesNoTemporaryOfTheEncoder) {
    ScratchDir dir;
    std::vector<uchar> bytes;
    ASSERT_TRUE(cv::imencode(".png", testing_support::randomPhoto(16, 20, 12), bytes));
    writeFile(dir / "tiny.png", std::string(bytes.begin(), bytes.end()));
    fs::create_directory(dir / "opencv-temp");
    fs::create_directory(dir / "tmp");
    const std::string opencvTemp = "OPENCV_TEMP_PATH=" + (dir / "opencv-temp").string();
    const std::string tmp = "TMPDIR=" + (dir / "tmp").string();
    const ToolRun run = runTool({"tiny.png", "-o", "out.jp2"}, dir.path(), {opencvTemp, tmp});
    ASSERT_EQ(run.exitStatus, 1) << "the encoder now takes tiny pictures: this test lost its point";
    EXPECT_EQ(lineCount(run.err), 1u) << run.err;
    EXPECT_TRUE(fs::is_empty(dir / "opencv-temp"));
    EXPECT_TRUE(fs::is_empty(dir / "tmp"));
    EXPECT_EQ(dir.entries(), (std::set<std::string>{"opencv-temp", "tiny.png", "tmp"}));
}

// With --maps the tool replaces three files; when one of them cannot be
// replaced, none is, and no temporary stays.
TEST(ToolPaths, MapsWriteIsAllOrNothing) {
    const std::vector<std::string> args{"in.png", "--maps", "-o", "out.bmp"};
    {
        SCOPED_TRACE("a directory in the place of the light map");
        ScratchDir dir;
        writePhoto(dir / "in.png");
        writeFile(dir / "out.bmp", "old main");
        fs::create_directory(dir / "out_A.bmp");
        const auto before = dir.entries();
        const ToolRun run = runTool(args, dir.path());
        EXPECT_EQ(run.exitStatus, 1);
        EXPECT_EQ(lineCount(run.err), 1u) << run.err;
        EXPECT_NE(run.err.find("out_A.bmp"), std::string::npos) << run.err;
        EXPECT_TRUE(readFile(dir / "out.bmp") == "old main") << "out.bmp was replaced";
        EXPECT_EQ(dir.entries(), before);
    }
    {
        SCOPED_TRACE("a read-only transmission map");
        ScratchDir dir;
        writePhoto(dir / "in.png");
        const auto old = writeOldOutputs(dir);
        const auto before = dir.entries();
        ReadOnlyEntry locked(dir / "out_T.bmp");
        if (locked.refusesWrites()) {
            const ToolRun run = runTool(args, dir.path());
            EXPECT_EQ(run.exitStatus, 1);
            EXPECT_NE(run.err.find("out_T.bmp"), std::string::npos) << run.err;
            expectUnchanged(dir, old);
            EXPECT_EQ(dir.entries(), before);
        }
    }
    {
        SCOPED_TRACE("a main output that passes every check and still cannot be replaced");
        ScratchDir dir;
        writePhoto(dir / "in.png");
        const auto old = writeOldOutputs(dir);
        writeFile(dir / "other", "mounted");
        BindMount mounted(dir / "other", dir / "out.bmp");   // rename fails with EBUSY
        if (!mounted.active()) GTEST_SKIP() << "cannot bind-mount here";
        const auto before = dir.entries();
        const ToolRun run = runTool(args, dir.path());
        EXPECT_EQ(run.exitStatus, 1);
        EXPECT_NE(run.err.find("'out.bmp'"), std::string::npos) << run.err;
        expectUnchanged(dir, {{"out_A.bmp", old.at("out_A.bmp")}, {"out_T.bmp", old.at("out_T.bmp")}});
        EXPECT_EQ(dir.entries(), before);
    }
}

// Regression: -o naming the input replaced the photograph with its result and
// exited 0. An output that is the input under any of its names, a map
// included, is now a usage error that writes nothing.
TEST(ToolPaths, AnOutputThatWouldReplaceTheInputIsRefused) {
    ScratchDir dir;
    fs::create_directory(dir / "sub");
    writePhoto(dir / "same.png");
    writePhoto(dir / "x_A.png");
    fs::create_symlink("same.png", dir / "link.png");
    fs::create_hard_link(dir / "same.png", dir / "hard.png");
    fs::create_directory_symlink(".", dir / "here");
    const std::string original = readFile(dir / "same.png"), map = readFile(dir / "x_A.png");
    const auto before = dir.entries();
    const std::vector<std::string> cases[] = {
        {"-o", "same.png", "same.png"},   {"-o", "./same.png", "same.png"}, {"-o", "sub/../same.png", "same.png"},
        {"-o", "here/same.png", "same.png"}, {"-o", "link.png", "same.png"}, {"-o", "same.png", "link.png"},
        {"-o", "hard.png", "same.png"},   {"--maps", "-o", "x.png", "x_A.png"}};
    for (const auto& args : cases) {
        SCOPED_TRACE(args[args.size() - 2] + " " + args.back());
        const ToolRun run = runTool(args, dir.path());
        EXPECT_EQ(run.exitStatus, 2);
        EXPECT_EQ(lineCount(run.err), 1u) << run.err;
        EXPECT_NE(run.err.find("replace the original"), std::string::npos) << run.err;
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(dir.entries(), before);
        EXPECT_TRUE(fs::is_symlink(dir / "link.png"));
        EXPECT_TRUE(readFile(dir / "same.png") == original && readFile(dir / "x_A.png") == map);
    }
}
