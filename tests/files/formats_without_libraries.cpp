// The HEIF and raw readers as a build without libheif and LibRaw compiles
// them (tests/CMakeLists.txt builds this apart): such files are still told
// apart, and fail with one line that names what the build lacks.
#include "files/file_error.hpp"
#include "files/heif_picture.hpp"
#include "files/raw_picture.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

using namespace nightdehaze::files;

namespace {

std::vector<uchar> heifHeader() {
    const unsigned char box[] = {0, 0, 0, 24, 'f', 't', 'y', 'p', 'h', 'e', 'i', 'c', 0, 0, 0, 0,
                                 'm', 'i', 'f', '1', 'h', 'e', 'i', 'c'};
    return std::vector<uchar>(box, box + sizeof box);
}

std::string failureOf(const std::function<void()>& read) {
    try {
        read();
    } catch (const FileError& e) {
        return e.what();
    }
    return "no failure";
}

}  // namespace

TEST(FormatsWithoutLibraries, SayWhatIsMissing) {
    EXPECT_TRUE(looksLikeHeif(heifHeader()));
    EXPECT_EQ(failureOf([] { decodeHeif(heifHeader(), "IMG_1.HEIC"); }),
              "cannot read 'IMG_1.HEIC': a HEIF or AVIF picture, and this build of nightdehaze has no libheif to "
              "decode it");
    EXPECT_FALSE(canEncodeHeif("out.heic"));

    const std::vector<uchar> tiff = {'I', 'I', 42, 0, 8, 0, 0, 0};
    EXPECT_TRUE(isCameraRaw(tiff, "DSC_0042.NEF"));
    EXPECT_FALSE(isCameraRaw(tiff, "scan.tif"));
    EXPECT_EQ(failureOf([&] { developRaw(tiff, "DSC_0042.NEF"); }),
              "cannot read 'DSC_0042.NEF': a camera raw file, and this build of nightdehaze has no LibRaw to "
              "develop it");
}
