// The built tool interrupted by SIGINT or SIGTERM: while it processes, while
// it writes its temporaries, and as its outputs move into place. Whatever the
// moment, no temporary and no partial output stays behind.
#include "tool/tool_runner.hpp"
#include "test_images.hpp"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>


using namespace tool_testing;
namespace fs = std::filesystem;

namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM};
constexpr int kAttempts = 5;
constexpr int kWaitMs = 60000;
// Large enough that writing the three outputs takes a while (each is synced).
constexpr int kWidth = 240;
constexpr int kHeight = 180;

bool isTemporary(const std::string& name) { return name.rfind(".nightdehaze-", 0) == 0; }

// A temporary of the write itself, not the probe of the checks before the work.
bool isWriteTemporary(const std::string& name) {
    return isTemporary(name) && name.rfind(".nightdehaze-probe-", 0) != 0;
}

// Reports files created in, or moved into, one directory.
class DirectoryWatch {
public:
    explicit DirectoryWatch(const fs::path& dir) : fd_(inotify_init1(IN_CLOEXEC)) {
        if (fd_ < 0 || inotify_add_watch(fd_, dir.c_str(), IN_CREATE | IN_MOVED_TO) < 0)
            throw std::runtime_error("inotify failed");
    }
    ~DirectoryWatch() { close(fd_); }
    DirectoryWatch(const DirectoryWatch&) = delete;
    DirectoryWatch& operator=(const DirectoryWatch&) = delete;

    // Waits until an entry whose name satisfies wanted appears; false on timeout.
    bool waitFor(const std::function<bool(const std::string&)>& wanted, int timeoutMs) {
        alignas(inotify_event) char buffer[8192];
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            const ssize_t n = read(fd_, buffer, sizeof buffer);
            for (ssize_t at = 0; at < n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                if (event->len > 0 && wanted(event->name)) return true;
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
        return false;
    }

private:
    int fd_;
};

void writePhoto(const fs::path& path, int width, int height) {
    std::vector<uchar> bytes;
    ASSERT_TRUE(cv::imencode(".png", testing_support::randomPhoto(height, width, 77), bytes));
    writeFile(path, std::string(bytes.begin(), bytes.end()));
}

// Stops the tool and waits until it has stopped, leaving it waitable; false
// when it had ended already.
bool stopTool(const RunningTool& tool) {
    kill(tool.pid, SIGSTOP);
    siginfo_t info{};
    if (waitid(P_PID, static_cast<id_t>(tool.pid), &info, WSTOPPED | WEXITED | WNOWAIT) != 0) return false;
    return info.si_code == CLD_STOPPED;
}

bool hasTemporary(const std::set<std::string>& entries) {
    for (const std::string& name : entries)
        if (isTemporary(name)) return true;
    return false;
}

void expectCompletePicture(const fs::path& path, cv::Size size) {
    const cv::Mat image = cv::imread(path.string(), cv::IMREAD_UNCHANGED);
    EXPECT_EQ(image.size(), size) << path;
}

struct Interruption {
    bool caughtProcessing = false;       // the signal was sent before any file was written
    bool caughtWriting = false;          // a temporary existed when the signal was sent
    ToolRun run;
};

// Runs the tool, freezes it the moment its first temporary appears and, if a
// temporary still exists then, sends the signal before letting it go on.
Interruption interruptWhileWriting(const ScratchDir& dir, const std::vector<std::string>& args,
                                   int signal) {
    Interruption result;
    DirectoryWatch watch(dir.path());
    RunningTool tool = startTool(args, dir.path());
    const bool created = watch.waitFor(isWriteTemporary, kWaitMs);
    const bool stopped = stopTool(tool);
    result.caughtWriting = created && stopped && hasTemporary(dir.entries());
    if (result.caughtWriting) kill(tool.pid, signal);
    kill(tool.pid, SIGCONT);
    result.run = finishTool(tool);
    return result;
}

// Runs the tool, freezes it once it prints that dehazing began and, if it has
// not written anything yet, sends the signal before letting it go on.
Interruption interruptWhileProcessing(const ScratchDir& dir, const std::vector<std::string>& args,
                                      int signal) {
    Interruption result;
    const auto before = dir.entries();
    RunningTool tool = startTool(args, dir.path());
    std::string out;
    char buffer[256];
    while (out.find("Dehazing") == std::string::npos) {
        const ssize_t n = read(tool.outFd, buffer, sizeof buffer);
        if (n <= 0) break;
        out.append(buffer, static_cast<size_t>(n));
    }
    result.caughtProcessing = stopTool(tool) && dir.entries() == before;
    if (result.caughtProcessing) kill(tool.pid, signal);
    kill(tool.pid, SIGCONT);
    result.run = finishTool(tool);
    return result;
}

}  // namespace

TEST(ToolSignals, SignalWhileProcessingLeavesNothing) {
    ScratchDir dir;
    writePhoto(dir / "in.png", kWidth, kHeight);
    for (const int signal : kSignals) {
        SCOPED_TRACE(strsignal(signal));
        Interruption interruption;
        for (int attempt = 0; attempt < kAttempts && !interruption.caughtProcessing; ++attempt) {
            fs::remove(dir / "in_J.bmp");
            interruption = interruptWhileProcessing(dir, {"in.png"}, signal);
        }
        ASSERT_TRUE(interruption.caughtProcessing) << "never caught the tool while it processed";
        EXPECT_EQ(interruption.run.exitStatus, 128 + signal) << interruption.run.err;
        EXPECT_EQ(dir.entries(), std::set<std::string>{"in.png"});
    }
}

// A signal the kernel hands to a thread-pool thread reaches the writing thread
// a few microseconds later; if that thread is renaming a finished file just
// then, the file stays (complete). Anything else is removed.
TEST(ToolSignals, SignalWhileWritingRemovesEveryTemporary) {
    ScratchDir dir;
    writePhoto(dir / "in.png", kWidth, kHeight);
    for (const int signal : kSignals) {
        SCOPED_TRACE(strsignal(signal));
        Interruption interruption;
        for (int attempt = 0; attempt < kAttempts && !interruption.caughtWriting; ++attempt) {
            for (const fs::path& p : {dir / "out.bmp", dir / "out_A.bmp", dir / "out_T.bmp"}) fs::remove(p);
            interruption = interruptWhileWriting(dir, {"in.png", "--maps", "-o", "out.bmp"}, signal);
        }
        ASSERT_TRUE(interruption.caughtWriting) << "never caught the tool while it wrote";
        EXPECT_EQ(interruption.run.exitStatus, 128 + signal) << interruption.run.err;
        const auto entries = dir.entries();
        EXPECT_FALSE(hasTemporary(entries));
        EXPECT_LT(entries.size(), 4u) << "all three outputs were completed despite the signal";
        for (const std::string& name : entries)
            if (name != "in.png") expectCompletePicture(dir / name, cv::Size(kWidth, kHeight));
    }
}

TEST(ToolSignals, AnExistingFileReplacedSurvivesAnInterruptedWrite) {
    ScratchDir dir;
    writePhoto(dir / "in.png", kWidth, kHeight);
    const std::string input = readFile(dir / "in.png");
    writePhoto(dir / "old.png", kWidth, kHeight);
    const std::string original = readFile(dir / "old.png");
    ASSERT_EQ(runTool({"in.png", "-o", "expected.png"}, dir.path()).exitStatus, 0);
    const std::string replaced = readFile(dir / "expected.png");
    Interruption interruption;
    for (int attempt = 0; attempt < kAttempts && !interruption.caughtWriting; ++attempt) {
        writeFile(dir / "old.png", original);   // an attempt that came too late replaced it
        interruption = interruptWhileWriting(dir, {"in.png", "-o", "old.png"}, SIGTERM);
    }
    ASSERT_TRUE(interruption.caughtWriting) << "never caught the tool while it wrote";
    EXPECT_EQ(dir.entries(), (std::set<std::string>{"expected.png", "in.png", "old.png"}));
    const std::string after = readFile(dir / "old.png");
    EXPECT_TRUE(after == original || after == replaced) << "the file replaced was damaged";
    EXPECT_TRUE(readFile(dir / "in.png") == input);
    if (after == original) {
        EXPECT_EQ(interruption.run.exitStatus, 128 + SIGTERM);
    }
}

TEST(ToolSignals, SignalAsOutputsMoveIntoPlaceLeavesOnlyCompleteFiles) {
    ScratchDir dir;
    writePhoto(dir / "in.png", kWidth, kHeight);
    const std::set<std::string> outputs{"out.bmp", "out_A.bmp", "out_T.bmp"};
    for (const int signal : kSignals) {
        SCOPED_TRACE(strsignal(signal));
        for (const std::string& name : outputs) fs::remove(dir / name);
        DirectoryWatch watch(dir.path());
        RunningTool tool = startTool({"in.png", "--maps", "-o", "out.bmp"}, dir.path());
        ASSERT_TRUE(watch.waitFor([&](const std::string& name) { return outputs.count(name) > 0; }, kWaitMs));
        kill(tool.pid, signal);
        const ToolRun run = finishTool(tool);
        EXPECT_TRUE(run.exitStatus == 0 || run.exitStatus == 128 + signal) << run.exitStatus;
        const auto entries = dir.entries();
        EXPECT_FALSE(hasTemporary(entries));
        EXPECT_EQ(entries.count("out.bmp"), 1u);
        for (const std::string& name : entries)
            if (name != "in.png") expectCompletePicture(dir / name, cv::Size(kWidth, kHeight));
    }
}
