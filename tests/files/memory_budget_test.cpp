// The up-front refusal of pictures no machine of this size could process.
#include "files/memory_budget.hpp"

#include <gtest/gtest.h>

#include <sys/sysinfo.h>

#include <cmath>

using namespace nightdehaze::files;

TEST(MemoryBudget, RefusesOnlyPicturesBeyondPhysicalMemoryAndSwap) {
    struct sysinfo info {};
    ASSERT_EQ(sysinfo(&info), 0);
    const double machine = (static_cast<double>(info.totalram) + info.totalswap) * info.mem_unit;
    const int side = static_cast<int>(std::sqrt(machine / kPipelineBytesPerPixel));
    EXPECT_FALSE(exceedsMachineMemory(cv::Size(1, 1)));
    EXPECT_FALSE(exceedsMachineMemory(cv::Size(side - 1, side - 1)));
    EXPECT_TRUE(exceedsMachineMemory(cv::Size(side + 1, side + 1)));
    EXPECT_TRUE(exceedsMachineMemory(cv::Size(1 << 20, 1 << 20)));
}
