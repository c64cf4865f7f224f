// The built tool gives the same bytes on every run, whatever the thread count.
// (One thread against all cores: Tool.SameBytesWithOneThreadAndAll.)
#include "tool/tool_runner.hpp"
#include "test_images.hpp"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include <string>
#include <vector>

using namespace tool_testing;

TEST(ToolDeterminism, SameBytesOnRepeatedRunsAndOddThreadCounts) {
    ScratchDir dir;
    std::vector<uchar> bytes;
    ASSERT_TRUE(cv::imencode(".png", testing_support::randomPhoto(131, 97, 21), bytes));
    writeFile(dir / "in.png", std::string(bytes.begin(), bytes.end()));
    const std::vector<std::string> threadCounts = {"1", "3", "7"};
    std::vector<std::string> results;
    for (size_t k = 0; k < threadCounts.size(); ++k) {
        const std::string stem = "run" + std::to_string(k);
        const ToolRun run =
            runTool({"in.png", "--maps", "--threads", threadCounts[k], "-o", stem + ".bmp"}, dir.path());
        ASSERT_EQ(run.exitStatus, 0) << run.err;
        results.push_back(readFile(dir / (stem + ".bmp")) + readFile(dir / (stem + "_A.bmp")) +
                          readFile(dir / (stem + "_T.bmp")));
    }
    for (size_t k = 1; k < results.size(); ++k)
        EXPECT_TRUE(results[k] == results[0]) << "run " << k << " with " << threadCounts[k] << " threads";
}
