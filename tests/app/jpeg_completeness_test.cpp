// The check that tells a complete JPEG stream from one cut off before its
// end-of-image marker, on streams made by the encoder and edited by hand.
#include "app/jpeg_completeness.hpp"
#include "support/jpeg_streams.hpp"
#include "test_images.hpp"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include <string>
#include <vector>

using testing_support::encodedJpeg;
using testing_support::jpegWithThumbnail;

namespace {

bool complete(const std::vector<uchar>& bytes) {
    return jpegReachesEndOfImage(bytes.data(), bytes.size());
}

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

TEST(JpegCompleteness, EncoderOutputIsCompleteAndEveryShorterPrefixIsNot) {
    for (const Stream& stream : encoderStreams()) {
        SCOPED_TRACE(stream.name);
        EXPECT_TRUE(looksLikeJpeg(stream.bytes.data(), stream.bytes.size()));
        EXPECT_TRUE(complete(stream.bytes));
        for (size_t length = 0; length < stream.bytes.size(); ++length)
            ASSERT_FALSE(complete(prefix(stream.bytes, length))) << "prefix of " << length << " bytes";
    }
}

TEST(JpegCompleteness, ThumbnailEndMarkerDoesNotCount) {
    const std::vector<uchar> bytes = jpegWithThumbnail(testing_support::randomPhoto(19, 23, 6));
    const size_t thumbnailEnd = testing_support::thumbnailEndOffset(bytes);
    ASSERT_EQ(bytes[thumbnailEnd - 2], 0xFF);
    ASSERT_EQ(bytes[thumbnailEnd - 1], 0xD9);
    EXPECT_FALSE(complete(prefix(bytes, thumbnailEnd)));
    EXPECT_FALSE(complete(prefix(bytes, bytes.size() - 2)));
}

TEST(JpegCompleteness, BytesAfterTheEndMarkerAndFillBytesAreAccepted) {
    std::vector<uchar> bytes = encodedJpeg(testing_support::randomPhoto(8, 8, 7));
    std::vector<uchar> trailing = bytes;
    trailing.insert(trailing.end(), {0x00, 0x12, 0xFF, 0xD8, 0xFF});
    EXPECT_TRUE(complete(trailing));
    std::vector<uchar> filled = bytes;
    filled.insert(filled.end() - 2, {0xFF, 0xFF});   // fill bytes before the end marker
    EXPECT_TRUE(complete(filled));
}

TEST(JpegCompleteness, BrokenStructureIsIncomplete) {
    const std::vector<uchar> good = encodedJpeg(testing_support::randomPhoto(8, 8, 8));
    ASSERT_EQ(good[2], 0xFF);
    std::vector<uchar> longSegment = good;   // the first segment claims more bytes than exist
    longSegment[4] = 0xFF;
    longSegment[5] = 0xFF;
    EXPECT_FALSE(complete(longSegment));
    std::vector<uchar> shortLength = good;   // a length below its own two bytes
    shortLength[4] = 0;
    shortLength[5] = 1;
    EXPECT_FALSE(complete(shortLength));
    const std::vector<uchar> noEnd = {0xFF, 0xD8, 0xFF, 0xDA, 0x00, 0x02, 0x12, 0x34, 0xFF, 0x00};
    EXPECT_FALSE(complete(noEnd));
    const std::vector<uchar> minimal = {0xFF, 0xD8, 0xFF, 0xD9};
    EXPECT_TRUE(complete(minimal));
}

TEST(JpegCompleteness, OtherFormatsAreNotJpeg) {
    std::vector<uchar> png;
    ASSERT_TRUE(cv::imencode(".png", testing_support::randomPhoto(4, 4, 9), png));
    EXPECT_FALSE(looksLikeJpeg(png.data(), png.size()));
    EXPECT_FALSE(complete(png));
    const std::vector<uchar> twoBytes = {0xFF, 0xD8};
    EXPECT_FALSE(looksLikeJpeg(twoBytes.data(), twoBytes.size()));
    EXPECT_FALSE(looksLikeJpeg(nullptr, 0));
}
