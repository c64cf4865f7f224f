// The built tool on live sources that an ffmpeg sender streams on 127.0.0.1
// in real time (-re): UDP, TCP and SRT inputs, a stream output, segments, SIGINT
// and SIGTERM, a source that never answers, and an enhancer that cannot keep
// up. Each test picks free ports of its own.
#include "tool/tool_runner.hpp"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace tool_testing;
namespace fs = std::filesystem;

namespace {

constexpr double kFrameSeconds = 0.04;  // the clips' 25 frames per second

// A socket of this type bound to a port the kernel hands out on 127.0.0.1.
int boundSocket(int type, int& port) {
    const int fd = socket(AF_INET, type, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0)
        throw std::runtime_error("no free port");
    port = ntohs(address.sin_port);
    return fd;
}

// A port the kernel has just handed out on 127.0.0.1 for this socket type.
int freePort(int type) {
    int port = 0;
    close(boundSocket(type, port));
    return port;
}

// A clip of testsrc at 25 frames per second, a keyframe every second and no
// B-frames, as cameras send.
void makeClip(const fs::path& dir, const std::string& size, double seconds) {
    shell(dir, "ffmpeg -nostdin -loglevel error -y -f lavfi -i testsrc=size=" + size + ":rate=25 -t " +
                   std::to_string(seconds) + " -c:v libx264 -g 25 -bf 0 -pix_fmt yuv420p clip.mp4");
}

// ffmpeg sending clip.mp4 in real time to url as MPEG-TS, in the background.
pid_t sendClip(const fs::path& dir, const std::string& url) {
    const pid_t pid = fork();
    if (pid == 0) {
        if (chdir(dir.c_str()) != 0) _exit(127);
        execlp("ffmpeg", "ffmpeg", "-nostdin", "-loglevel", "quiet", "-re", "-i", "clip.mp4", "-c", "copy", "-f",
               "mpegts", url.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    return pid;
}

void waitFor(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
}

std::vector<double> frameTimes(const fs::path& dir, const std::string& file) {
    std::istringstream lines(shell(dir, "ffprobe -v error -select_streams v -show_entries frame=pts_time -of "
                                        "default=nw=1:nk=1 " + file));
    std::vector<double> times;
    for (std::string line; std::getline(lines, line);) times.push_back(std::stod(line));
    return times;
}

// The counts of the tool's summary line "... N frames written, M dropped ...".
struct Summary {
    long long written = -1, dropped = -1;
    std::string why;
};
Summary summaryOf(const std::string& err) {
    const std::regex line("nightdehaze: live: (.*): ([0-9]+) frames written, ([0-9]+) dropped");
    std::smatch m;
    Summary summary;
    if (std::regex_search(err, m, line)) summary = {std::stoll(m[2]), std::stoll(m[3]), m[1]};
    return summary;
}

// Every frame of file at a time of the source (a whole number of frames
// after the first) and in order; returns how many there are.
size_t checkSourceTimes(const fs::path& dir, const std::string& file) {
    const std::vector<double> times = frameTimes(dir, file);
    for (size_t k = 0; k < times.size(); ++k) {
        const double frames = (times[k] - times.front()) / kFrameSeconds;
        EXPECT_NEAR(frames, std::round(frames), 0.03) << file << " frame " << k << " at " << times[k];
        if (k > 0) {
            EXPECT_GT(times[k], times[k - 1]) << file << " frame " << k;
        }
    }
    return times.size();
}

// The port of url ("udp://127.0.0.1:PORT", "rtmp://127.0.0.1:PORT/live/cam").
int portOf(const std::string& url) { return std::stoi(url.substr(url.rfind(':') + 1)); }

// Waits until a socket of this machine listens on port (UDP: is bound to
// it), as /proc/net lists them, so that no frame is sent into the void.
void waitUntilListening(const std::string& url) {
    const bool udp = url.rfind("udp://", 0) == 0;
    char port[8];
    std::snprintf(port, sizeof port, ":%04X", portOf(url));
    const std::string listening = udp ? "07" : "0A";  // the kernel's TCP_CLOSE for UDP, TCP_LISTEN
    for (int k = 0; k < 200; ++k) {
        std::ifstream table(udp ? "/proc/net/udp" : "/proc/net/tcp");
        std::string line;
        std::getline(table, line);  // the heading
        while (std::getline(table, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state;
            fields >> slot >> local >> remote >> state;
            if (local.size() > 5 && local.compare(local.size() - 5, 5, port) == 0 && state == listening) return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    FAIL() << "nothing listens on " << url;
}

// The tool on url while clip.mp4 is sent to sendTo; waits for both.
ToolRun followStream(const ScratchDir& dir, const std::string& url, const std::string& sendTo,
                     std::vector<std::string> options) {
    options.insert(options.begin(), url);
    RunningTool tool = startTool(options, dir.path());
    waitUntilListening(url);
    const pid_t sender = sendClip(dir.path(), sendTo);
    waitFor(sender);
    return finishTool(tool);
}

// Every datagram that reaches port until none came for two seconds after
// stop is set, as one file: what a recorder downstream would keep.
class UdpRecorder {
public:
    explicit UdpRecorder(const fs::path& file) : file_(file) {
        fd_ = boundSocket(SOCK_DGRAM, port_);
        timeval wait{0, 200000};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        thread_ = std::thread([this] { record(); });
    }
    ~UdpRecorder() {
        stop();
        close(fd_);
    }
    int port() const { return port_; }
    void stop() {
        stopping_ = true;
        if (thread_.joinable()) thread_.join();
    }

private:
    void record() {
        std::ofstream out(file_, std::ios::binary);
        std::vector<char> datagram(65536);
        auto quietSince = std::chrono::steady_clock::now();
        while (!stopping_ || std::chrono::steady_clock::now() - quietSince < std::chrono::seconds(2)) {
            const ssize_t n = recv(fd_, datagram.data(), datagram.size(), 0);
            if (n > 0) {
                out.write(datagram.data(), n);
                quietSince = std::chrono::steady_clock::now();
            }
        }
    }

    fs::path file_;
    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

}  // namespace

// The tool calling a stream that ffmpeg serves (SRT in listener mode).
ToolRun callStream(const ScratchDir& dir, const std::string& url, const std::string& served,
                   std::vector<std::string> options) {
    const pid_t sender = sendClip(dir.path(), served);
    waitUntilListening("udp://" + url.substr(url.find("://") + 3));  // SRT runs over UDP
    options.insert(options.begin(), url);
    RunningTool tool = startTool(options, dir.path());
    waitFor(sender);
    return finishTool(tool);
}

// UDP, TCP (the tool listening) and SRT (the tool calling): the frames
// arrive in order at the source's times, the file plays and holds what the
// summary says.
TEST(ToolLive, UdpTcpAndSrtStreamsBecomePlayableFilesAtTheSourcesTimes) {
    ScratchDir dir;
    makeClip(dir.path(), "160x120", 3.0);
    const std::string udpUrl = "udp://127.0.0.1:" + std::to_string(freePort(SOCK_DGRAM));
    const std::string tcpUrl = "tcp://127.0.0.1:" + std::to_string(freePort(SOCK_STREAM));
    const std::string srtUrl = "srt://127.0.0.1:" + std::to_string(freePort(SOCK_DGRAM));
    const std::vector<std::pair<std::string, std::string>> cases = {
        {udpUrl, udpUrl + "?pkt_size=1316"}, {tcpUrl + "?listen", tcpUrl}, {srtUrl, srtUrl + "?mode=listener"}};
    for (const auto& [url, sendTo] : cases) {
        SCOPED_TRACE(url);
        const std::vector<std::string> options = {"-o", "out.mkv", "--fast", "--reconnect", "1"};
        const ToolRun run = url == srtUrl ? callStream(dir, url, sendTo, options)
                                          : followStream(dir, url, sendTo, options);
        ASSERT_EQ(run.exitStatus, 0) << run.err;
        const Summary summary = summaryOf(run.err);
        EXPECT_EQ(lineCount(run.err), 1u) << run.err;
        EXPECT_GT(summary.written, 0) << run.err;
        EXPECT_LE(summary.written + summary.dropped, 75) << run.err;  // the frames sent, however loaded the machine
        EXPECT_EQ(static_cast<long long>(checkSourceTimes(dir.path(), "out.mkv")), summary.written);
        fs::remove(dir / "out.mkv");
    }
}

// A source that goes away and comes back within --reconnect: one file goes
// on, its times rising across the gap, with one warning of the reconnection.
TEST(ToolLive, ALostSourceIsReconnectedAndTheFileGoesOn) {
    ScratchDir dir;
    makeClip(dir.path(), "160x120", 2.0);
    const std::string url = "tcp://127.0.0.1:" + std::to_string(freePort(SOCK_STREAM));
    RunningTool tool = startTool({url + "?listen", "-o", "night.mkv", "--fast", "--reconnect", "4"}, dir.path());
    constexpr double kAway = 1.5;  // seconds between the two connections
    for (int round = 0; round < 2; ++round) {
        waitUntilListening(url);  // the second time: once the tool listens again
        if (round == 1) std::this_thread::sleep_for(std::chrono::duration<double>(kAway));
        waitFor(sendClip(dir.path(), url));
    }
    const ToolRun run = finishTool(tool);
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_NE(run.err.find("nightdehaze: warning: live source '" + url + "?listen': the source ended; reconnected after"),
              std::string::npos) << run.err;
    const std::vector<double> times = frameTimes(dir.path(), "night.mkv");
    ASSERT_EQ(static_cast<long long>(times.size()), summaryOf(run.err).written);
    double longestGap = 0.0;
    for (size_t k = 1; k < times.size(); ++k) {
        EXPECT_GT(times[k], times[k - 1]);
        longestGap = std::max(longestGap, times[k] - times[k - 1]);
    }
    EXPECT_GE(longestGap, kAway) << "the time the source was away is not in the timestamps";
    EXPECT_GT(times.back() - times.front(), 2.0 + kAway) << "the second connection's frames are missing";
}

// What HTTP serves ends at its end: the run finishes there, exit 0, and
// does not open the stream again to play it twice.
TEST(ToolLive, AStreamServedOverHttpEndsAtItsEnd) {
    ScratchDir dir;
    makeClip(dir.path(), "160x120", 3.0);
    shell(dir.path(), "ffmpeg -nostdin -loglevel error -i clip.mp4 -c copy -f mpegts clip.ts");
    const std::string port = std::to_string(freePort(SOCK_STREAM));
    const pid_t server = fork();
    if (server == 0) {
        execlp("timeout", "timeout", "60", "python3", "-m", "http.server", port.c_str(), "--bind", "127.0.0.1",
               "--directory", dir.path().c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    waitUntilListening("tcp://127.0.0.1:" + port);
    const ToolRun run =
        runTool({"http://127.0.0.1:" + port + "/clip.ts", "-o", "night.mkv", "--fast", "--reconnect", "5"}, dir.path());
    kill(server, SIGTERM);
    waitFor(server);
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    const Summary summary = summaryOf(run.err);
    EXPECT_EQ(summary.why, "the source ended") << run.err;
    EXPECT_LE(summary.written + summary.dropped, 75) << run.err;
    EXPECT_EQ(static_cast<long long>(checkSourceTimes(dir.path(), "night.mkv")), summary.written);
}

// SIGINT and SIGTERM end a live run with a playable file of every frame
// enhanced so far, exit 0 and one line saying so.
TEST(ToolLive, SignalsFinishTheRecording) {
    ScratchDir dir;
    makeClip(dir.path(), "160x120", 20.0);
    for (int signal : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(signal);
        const std::string url = "udp://127.0.0.1:" + std::to_string(freePort(SOCK_DGRAM));
        RunningTool tool = startTool({url, "-o", "night.mp4", "--fast"}, dir.path());
        waitUntilListening(url);
        const pid_t sender = sendClip(dir.path(), url + "?pkt_size=1316");
        std::this_thread::sleep_for(std::chrono::seconds(3));
        kill(tool.pid, signal);
        const ToolRun run = finishTool(tool);
        kill(sender, SIGKILL);
        waitFor(sender);
        ASSERT_EQ(run.exitStatus, 0) << run.err;
        const Summary summary = summaryOf(run.err);
        EXPECT_EQ(summary.why, signal == SIGINT ? "stopped by SIGINT" : "stopped by SIGTERM") << run.err;
        EXPECT_GT(summary.written, 0) << run.err;
        EXPECT_EQ(static_cast<long long>(checkSourceTimes(dir.path(), "night.mp4")), summary.written);
        EXPECT_EQ(dir.entries(), (std::set<std::string>{"clip.mp4", "night.mp4"}));
        fs::remove(dir / "night.mp4");
    }
}

// Segments of two seconds: each plays on its own and together they hold
// every frame written; stream outputs reach their receivers, MPEG-TS over
// UDP and FLV over RTMP, every frame written in them.
TEST(ToolLive, SegmentsPlayOnTheirOwnAndStreamOutputsReachTheirReceivers) {
    ScratchDir dir;
    makeClip(dir.path(), "160x120", 6.2);
    const std::string url = "udp://127.0.0.1:" + std::to_string(freePort(SOCK_DGRAM));
    ToolRun run = followStream(dir, url, url + "?pkt_size=1316",
                               {"-o", "night.mkv", "--segment", "2", "--fast", "--reconnect", "1"});
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    std::set<std::string> segments = dir.entries();
    segments.erase("clip.mp4");
    ASSERT_GE(segments.size(), 3u);
    EXPECT_EQ(*segments.begin(), "night_000.mkv");
    size_t frames = 0;
    for (const std::string& segment : segments) frames += checkSourceTimes(dir.path(), segment);
    EXPECT_EQ(static_cast<long long>(frames), summaryOf(run.err).written);

    UdpRecorder recorder(dir / "received.ts");
    const std::string out = "udp://127.0.0.1:" + std::to_string(recorder.port());
    run = followStream(dir, url, url + "?pkt_size=1316", {"-o", out, "--fast", "--reconnect", "1"});
    recorder.stop();
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(static_cast<long long>(checkSourceTimes(dir.path(), "received.ts")), summaryOf(run.err).written);

    const std::string rtmp = "rtmp://127.0.0.1:" + std::to_string(freePort(SOCK_STREAM)) + "/live/cam";
    const pid_t server = fork();  // ffmpeg as the RTMP server a restream goes to
    if (server == 0) {
        if (chdir(dir.path().c_str()) != 0) _exit(127);
        execlp("timeout", "timeout", "60", "ffmpeg", "-nostdin", "-loglevel", "quiet", "-listen", "1", "-i",
               rtmp.c_str(), "-c", "copy", "received.flv", static_cast<char*>(nullptr));
        _exit(127);
    }
    waitUntilListening("tcp://127.0.0.1:" + std::to_string(portOf(rtmp)));
    run = followStream(dir, url, url + "?pkt_size=1316", {"-o", rtmp, "--fast", "--reconnect", "1"});
    waitFor(server);
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(static_cast<long long>(checkSourceTimes(dir.path(), "received.flv")), summaryOf(run.err).written);
}

// A source that never answers fails within --reconnect, naming it, with
// nothing written; a live source needs -o.
TEST(ToolLive, ASilentSourceFailsInTimeAndNeedsAnOutput) {
    ScratchDir dir;
    const std::string url = "udp://127.0.0.1:" + std::to_string(freePort(SOCK_DGRAM));
    const auto start = std::chrono::steady_clock::now();
    ToolRun run = runTool({url, "-o", "night.mkv", "--reconnect", "1"}, dir.path());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(run.err, "nightdehaze: cannot open the live source '" + url + "': it did not answer (tried for 1.0 s)\n");
    EXPECT_TRUE(dir.entries().empty());

    run = runTool({url}, dir.path());
    EXPECT_EQ(run.exitStatus, 2);
    EXPECT_NE(run.err.find("a live source needs an output: add -o"), std::string::npos) << run.err;
    run = runTool({"clip.mp4", "--segment", "10"}, dir.path());
    EXPECT_EQ(run.exitStatus, 2);
    EXPECT_NE(run.err.find("--segment applies to live sources"), std::string::npos) << run.err;
    // Regression: a capture device named as its own output was opened, to be
    // replaced by the recording.
    run = runTool({"/dev/video977", "-o", "/dev/../dev/video977", "--reconnect", "1"}, dir.path());
    EXPECT_EQ(run.exitStatus, 2);
    EXPECT_NE(run.err.find("replace the original"), std::string::npos) << run.err;
}

// The exact engine on a stream it cannot follow: frames are dropped before
// enhancing, the count is reported, and what was written plays.
TEST(ToolLive, AnEnhancerThatFallsBehindDropsFramesAndSaysSo) {
    ScratchDir dir;
    makeClip(dir.path(), "640x480", 3.0);
    const std::string url = "udp://127.0.0.1:" + std::to_string(freePort(SOCK_DGRAM));
    const ToolRun run = followStream(dir, url, url + "?pkt_size=1316", {"-o", "night.ts", "--reconnect", "1"});
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    const Summary summary = summaryOf(run.err);
    EXPECT_GT(summary.dropped, 20) << run.err;
    EXPECT_LE(summary.written + summary.dropped, 75) << run.err;
    EXPECT_EQ(static_cast<long long>(checkSourceTimes(dir.path(), "night.ts")), summary.written);
}
