// The tool's --clean runs enhance with DehazeContext::clean.
#include "tool/tool_runner.hpp"
#include "nightdehaze/nightdehaze.hpp"
#include "test_images.hpp"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include <string>
#include <vector>

TEST(ToolClean, WritesTheLibrarysCleanResult) {
    tool_testing::ScratchDir dir;
    std::vector<uchar> jpeg;
    ASSERT_TRUE(cv::imencode(".jpg", testing_support::randomPhoto(72, 88, 17), jpeg,
                             {cv::IMWRITE_JPEG_QUALITY, 20}));
    tool_testing::writeFile(dir / "night.jpg", std::string(jpeg.begin(), jpeg.end()));
    const tool_testing::ToolRun run = tool_testing::runTool({"night.jpg", "--clean"}, dir.path());
    ASSERT_EQ(run.exitStatus, 0) << run.err;

    nightdehaze::DehazeContext context;
    context.clean = true;
    const cv::Mat image = cv::imdecode(jpeg, cv::IMREAD_COLOR);
    const cv::Mat clean = nightdehaze::enhance(image, context);
    EXPECT_GT(cv::norm(clean, nightdehaze::enhance(image, nightdehaze::DehazeContext()),
                       cv::NORM_L1), 0.0);
    std::vector<uchar> bytes;
    ASSERT_TRUE(cv::imencode(".bmp", clean, bytes));
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), tool_testing::readFile(dir / "night_J.bmp"));
}
