// libFuzzer target: arbitrary bytes through the video path's input, as the
// tool reads a clip: recognised by content, opened, every frame decoded to
// BGR. Built by scripts/fuzz --video; a finding aborts with its reason.
#include "video/video_input.hpp"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

using namespace nightdehaze::video;

namespace {

// A mutated header may declare any size and length; the path is fuzzed, not
// the machine's memory: larger streams are opened and left undecoded.
constexpr long long kMaxPixels = 1 << 18;
constexpr int kMaxFrames = 200;

std::string temporaryWith(const std::uint8_t* data, std::size_t size) {
    const char* folder = std::getenv("TMPDIR");
    std::string name = std::string(folder ? folder : "/tmp") + "/nightdehaze-fuzz-XXXXXX";
    const int fd = mkstemp(name.data());
    if (fd < 0 || write(fd, data, size) != static_cast<ssize_t>(size)) {
        std::perror("fuzz_video: cannot write the input");
        std::abort();
    }
    close(fd);
    return name;
}

// Decodes every frame; returns what went wrong, or "".
std::string decodeAll(const std::string& path) {
    if (!isVideoFile(path)) return "";
    VideoInput input(path, [](const std::string& warning) {
        if (warning.empty() || warning.find('\n') != std::string::npos) std::abort();
    });
    const AVCodecParameters* p = input.videoStream()->codecpar;
    if (static_cast<long long>(p->width) * p->height > kMaxPixels) return "";
    DecodedFrame frame;
    for (int n = 0; n < kMaxFrames && input.next(frame, [](AVPacket*) {}); ++n) {
        if (frame.bgr.empty() || frame.bgr.type() != CV_8UC3) return "a frame of the wrong type";
    }
    return "";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string path = temporaryWith(data, size);
    std::string problem;
    try {
        problem = decodeAll(path);
    } catch (const std::runtime_error&) {
        // a clean refusal, as the tool reports it
    }
    unlink(path.c_str());
    if (!problem.empty()) {
        std::fprintf(stderr, "fuzz_video: %s\n", problem.c_str());
        std::abort();
    }
    return 0;
}
