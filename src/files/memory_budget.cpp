#include "files/memory_budget.hpp"

#include <sys/sysinfo.h>

namespace nightdehaze::files {

namespace {

// Physical memory plus swap in bytes, or 0 when unknown.
double machineMemoryBytes() {
    struct sysinfo info {};
    if (sysinfo(&info) != 0) return 0.0;
    return (static_cast<double>(info.totalram) + static_cast<double>(info.totalswap)) * info.mem_unit;
}

}  // namespace

bool exceedsMachineMemory(cv::Size pictureSize) {
    const double machine = machineMemoryBytes();
    const double needed = static_cast<double>(pictureSize.width) * pictureSize.height * kPipelineBytesPerPixel;
    return machine > 0.0 && needed > machine;
}

}  // namespace nightdehaze::files
