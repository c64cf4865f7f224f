#include "video/frames_in_flight.hpp"

#include "files/memory_budget.hpp"

#include <stdexcept>

namespace nightdehaze::video {

void checkFramesFitMemory(const VideoInput& input, const std::string& path, int frames) {
    const AVCodecParameters* p = input.videoStream()->codecpar;
    if (files::exceedsMachineMemory(cv::Size(p->width, p->height * frames)))
        throw std::runtime_error("not enough memory to process '" + path + "' (" + std::to_string(p->width) + "x" +
                                 std::to_string(p->height) + " pixels, " + std::to_string(frames) +
                                 " frames at a time)");
}

}  // namespace nightdehaze::video
