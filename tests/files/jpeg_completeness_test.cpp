// The check that tells a whole JPEG stream from one whose data ends before its
// picture does, on streams made by the encoder and edited by hand.
#include "files/jpeg_completeness.hpp"
#include "support/jpeg_streams.hpp"
#include "test_images.hpp"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

using namespace nightdehaze::files;

using testing_support::encodedJpeg;
using testing_support::jpegWithThumbnail;

namespace {

JpegEnding endingOf(const std::vector<uchar>& bytes) { return jpegEnding(bytes.data(), bytes.size()); }

std::vector<uchar> prefix(const std::vector<uchar>& bytes, size_t length) {
    return std::vector<uchar>(bytes.begin(), bytes.begin() + static_cast<long>(length));
}

struct Stream {
    std::string name;
    std::vector<uchar> bytes;
};

std::vector<Stream> encoderStreams() {
    const cv::Mat photo = testing_support::randomPhoto(19, 23, 5);
    cv::Mat grey;
    cv::cvtColor(photo, grey, cv::COLOR_BGR2GRAY);
    return {{"baseline", encodedJpeg(photo)},
            {"grey", encodedJpeg(grey)},
            {"progressive", encodedJpeg(photo, {cv::IMWRITE_JPEG_PROGRESSIVE, 1})},
            {"restart markers", encodedJpeg(photo, {cv::IMWRITE_JPEG_RST_INTERVAL, 1})},
            {"optimized tables", encodedJpeg(photo, {cv::IMWRITE_JPEG_OPTIMIZE, 1})},
            {"exif thumbnail", jpegWithThumbnail(photo)}};
}

}  // namespace

TEST(JpegCompleteness, EncoderOutputIsCompleteAndNoShorterPrefixIs) {
    for (const Stream& stream : encoderStreams()) {
        SCOPED_TRACE(stream.name);
        EXPECT_TRUE(looksLikeJpeg(stream.bytes.data(), stream.bytes.size()));
        EXPECT_EQ(endingOf(stream.bytes), JpegEnding::complete);
        for (size_t length = 0; length < stream.bytes.size(); ++length)
            ASSERT_NE(endingOf(prefix(stream.bytes, length)), JpegEnding::complete)
                << "prefix of " << length << " bytes";
    }
}

TEST(JpegCompleteness, CutOffScanDataIsCutShortEvenWithAnEndMarker) {
    const std::vector<uchar> whole = encodedJpeg(testing_support::randomPhoto(40, 30, 6));
    std::vector<uchar> half = prefix(whole, whole.size() / 2);
    EXPECT_EQ(endingOf(half), JpegEnding::cutShort);
    half.insert(half.end(), {0xFF, 0xD9});   // "repaired" by appending the end marker
    EXPECT_EQ(endingOf(half), JpegEnding::cutShort);
    EXPECT_EQ(endingOf(prefix(whole, whole.size() - 2)), JpegEnding::cutShort);
}

TEST(JpegCompleteness, ThumbnailEndMarkerDoesNotCount) {
    const std::vector<uchar> bytes = jpegWithThumbnail(testing_support::randomPhoto(19, 23, 6));
    const size_t thumbnailEnd = testing_support::thumbnailEndOffset(bytes);
    ASSERT_EQ(bytes[thumbnailEnd - 2], 0xFF);
    ASSERT_EQ(bytes[thumbnailEnd - 1], 0xD9);
    EXPECT_EQ(endingOf(prefix(bytes, thumbnailEnd)), JpegEnding::cutShort);
}

TEST(JpegCompleteness, BytesAfterTheEndMarkerAndFillBytesAreAccepted) {
    const std::vector<uchar> bytes = encodedJpeg(testing_support::randomPhoto(8, 8, 7));
    std::vector<uchar> trailing = bytes;
    trailing.insert(trailing.end(), {0x00, 0x12, 0xFF, 0xD8, 0xFF});
    EXPECT_EQ(endingOf(trailing), JpegEnding::complete);
    std::vector<uchar> filled = bytes;
    filled.insert(filled.end() - 2, {0xFF, 0xFF});   // fill bytes before the end marker
    EXPECT_EQ(endingOf(filled), JpegEnding::complete);
}

TEST(JpegCompleteness, BrokenStructureIsNotComplete) {
    const std::vector<uchar> good = encodedJpeg(testing_support::randomPhoto(8, 8, 8));
    ASSERT_EQ(good[2], 0xFF);
    std::vector<uchar> longSegment = good;   // the first segment claims more bytes than exist
    longSegment[4] = 0xFF;
    longSegment[5] = 0xFF;
    EXPECT_NE(endingOf(longSegment), JpegEnding::complete);
    EXPECT_EQ(endingOf({0xFF, 0xD8, 0xFF, 0xD9}), JpegEnding::undecodable);
    EXPECT_EQ(endingOf({}), JpegEnding::undecodable);
}

// Found by fuzzing: 497 bytes declaring 519x1536 pixels whose scan meets the
// end marker long before the picture is complete. OpenCV decoded it (grey
// below the first rows) and the tool processed it as a photograph.
TEST(JpegCompleteness, FuzzFindingScanEndsEarlyIsCutShort) {
    const std::filesystem::path path =
        std::filesystem::path(NIGHTDEHAZE_FUZZ_REGRESSIONS) / "scan_ends_early_519x1536.jpg";
    std::ifstream in(path, std::ios::binary);
    const std::vector<uchar> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_EQ(bytes.size(), 497u);
    ASSERT_FALSE(cv::imdecode(bytes, cv::IMREAD_COLOR).empty());
    EXPECT_EQ(endingOf(bytes), JpegEnding::cutShort);
}

TEST(JpegCompleteness, OtherFormatsAreNotJpeg) {
    std::vector<uchar> png;
    ASSERT_TRUE(cv::imencode(".png", testing_support::randomPhoto(4, 4, 9), png));
    EXPECT_FALSE(looksLikeJpeg(png.data(), png.size()));
    EXPECT_EQ(endingOf(png), JpegEnding::undecodable);
    const std::vector<uchar> twoBytes = {0xFF, 0xD8};
    EXPECT_FALSE(looksLikeJpeg(twoBytes.data(), twoBytes.size()));
    EXPECT_FALSE(looksLikeJpeg(nullptr, 0));
}
