// The fuzzing step on the committed seeds and on prefixes of them (every one
// near both ends, about a hundred in between), so that each build checks what
// the fuzzer starts from.
#include "fuzz/fuzz_one_input.hpp"

#include "files/input_image.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

using namespace nightdehaze::files;

namespace fs = std::filesystem;

namespace {

std::vector<uchar> bytesOf(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uchar>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<fs::path> seeds() {
    std::vector<fs::path> paths;
    for (const auto& entry : fs::directory_iterator(NIGHTDEHAZE_FUZZ_CORPUS)) paths.push_back(entry.path());
    return paths;
}

// Every length within 16 bytes of either end; about a hundred in between.
size_t nextPrefixLength(size_t length, size_t size) {
    const bool nearAnEnd = length < 16 || length + 16 > size;
    return length + (nearAnEnd ? 1 : std::max<size_t>(1, size / 100));
}

}  // namespace

TEST(FuzzCorpus, EverySeedDecodesAndRunsThroughThePipeline) {
    const std::vector<fs::path> paths = seeds();
    ASSERT_GE(paths.size(), 15u);
    for (const fs::path& path : paths) {
        SCOPED_TRACE(path.filename().string());
        const std::vector<uchar> bytes = bytesOf(path);
        EXPECT_NO_THROW(decodeColorImage(bytes, path.string()));
        EXPECT_EQ(fuzzing::processBytes(bytes.data(), bytes.size()), "");
    }
}

TEST(FuzzCorpus, PrefixesOfEverySeedAreProcessedOrRefused) {
    for (const fs::path& path : seeds()) {
        SCOPED_TRACE(path.filename().string());
        const std::vector<uchar> bytes = bytesOf(path);
        for (size_t length = 0; length < bytes.size(); length = nextPrefixLength(length, bytes.size()))
            ASSERT_EQ(fuzzing::processBytes(bytes.data(), length), "") << "prefix of " << length << " bytes";
    }
}
