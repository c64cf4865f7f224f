// The built tool keeps a photograph's metadata in the formats that hold it:
// EXIF (orientation set to normal once the pixels are turned, no thumbnail),
// XMP and the ICC profile, read back with Exiv2.
#include "tool/tagged_photo.hpp"
#include "tool/tool_runner.hpp"
#include "test_images.hpp"

#include <exiv2/exiv2.hpp>
#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include <filesystem>

using namespace tool_testing;
namespace fs = std::filesystem;


TEST(ToolMetadata, KeptThroughJpegPngTiffAndWebp) {
    Exiv2::XmpParser::initialize();
    ScratchDir dir;
    const cv::Size stored(48, 32);
    writeTaggedPhoto(dir / "sideways.jpg", stored);
    writeTaggedPhoto(dir / "sideways.png", stored);
    struct Case {
        std::string input, output;
        long orientation;    // expected in the result
        cv::Size size;       // of the result as stored
    };
    const cv::Size upright(stored.height, stored.width);
    const Case cases[] = {
        {"sideways.jpg", "out.jpg", 1, upright}, {"sideways.jpg", "out.png", 1, upright},
        {"sideways.jpg", "out.tif", 1, upright}, {"sideways.jpg", "out.webp", 1, upright},
        {"sideways.png", "kept.png", 6, stored},   // not turned on reading: the tag still holds
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input + " -> " + c.output);
        const ToolRun run = runTool({c.input, "-o", c.output}, dir.path());
        ASSERT_EQ(run.exitStatus, 0) << run.err;
        EXPECT_EQ(run.err, "");
        const ReadBack r = readBack(dir / c.output);
        EXPECT_EQ(r.make, "NightCam");
        EXPECT_EQ(r.latitude, "50/1 6/1 0/1");
        EXPECT_EQ(r.orientation, c.orientation);
        EXPECT_FALSE(r.thumbnail);
        EXPECT_NE(r.title.find("harbour"), std::string::npos) << r.title;
        EXPECT_TRUE(r.profile == testProfile());
        EXPECT_EQ(r.size, c.size);
    }
    EXPECT_EQ(runTool({"sideways.jpg"}, dir.path()).exitStatus, 0);   // BMP: no metadata, no complaint
}
