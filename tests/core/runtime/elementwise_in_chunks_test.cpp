// Chunked element-wise work: chunks cover the elements in order from aligned
// starts, and the chunked split and merge give OpenCV's planes and images
// whatever the thread count.
#include "core/runtime/elementwise_in_chunks.hpp"
#include "test_images.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <opencv2/core/utility.hpp>

#include <algorithm>
#include <functional>
#include <limits>
#include <mutex>
#include <vector>

using namespace nightdehaze;
using namespace nightdehaze::detail;

namespace {

using testing_support::randomImage;
using testing_support::ThreadCount;

std::vector<Chunk> chunksOf(size_t count) {
    std::vector<Chunk> chunks;
    std::mutex guard;
    forEachChunk(count, [&](const Chunk& chunk) {
        std::lock_guard<std::mutex> lock(guard);
        chunks.push_back(chunk);
    });
    std::sort(chunks.begin(), chunks.end(),
              [](const Chunk& a, const Chunk& b) { return a.start < b.start; });
    return chunks;
}

// Runs the check once on one thread and once on several.
void onOneAndManyThreads(const std::function<void()>& check) {
    for (int threads : {1, 4}) {
        SCOPED_TRACE(testing::Message() << threads << " threads");
        ThreadCount count(threads);
        check();
    }
}

}  // namespace

TEST(ElementwiseInChunks, ChunksCoverTheElementsFromAlignedStarts) {
    for (int threads : {1, 2, 4, 7}) {
        ThreadCount count(threads);
        for (size_t elements : {size_t{1}, size_t{255}, size_t{4097}, size_t{65536},
                                size_t{65537}, size_t{263451}, size_t{2359296}}) {
            SCOPED_TRACE(testing::Message() << elements << " elements, " << threads << " threads");
            const std::vector<Chunk> chunks = chunksOf(elements);
            ASSERT_FALSE(chunks.empty());
            size_t next = 0;
            for (const Chunk& chunk : chunks) {
                EXPECT_EQ(chunk.start, next);
                EXPECT_EQ(chunk.start % 256, 0u);  // whole vectors of any width up to 512 bytes
                EXPECT_GT(chunk.end, chunk.start);
                EXPECT_TRUE(chunk.end == elements || chunk.length() == int{kChunkLength});
                next = chunk.end;
            }
            EXPECT_EQ(next, elements);
        }
    }
    EXPECT_TRUE(chunksOf(0).empty());
}

// Expressions of the stages whose vector bodies fuse multiply and add:
// 1 - 0.95 * A and a * A + b (convertTo), weighted sums (addWeighted).
// A weighted sum with an offset (addWeighted) evaluated row by row: each
// row's scalar tail now holds elements that the whole matrix computes in its
// fused vector body.
// Three-channel images count their channels as elements; rounding and
// saturation to 8 bits hold at ties, beyond the range and for NaN, and values
// beyond the int range give 0 as OpenCV's x86 conversion gives them.
TEST(ElementwiseInChunks, SplitAndMergeMatchOpenCV) {
    for (int type : {CV_8UC3, CV_64FC3, CV_8UC4}) {
        const cv::Mat image = randomImage(301, 677, type, 0, 256, 5 + type);
        std::vector<cv::Mat> expected;
        cv::split(image, expected);
        onOneAndManyThreads([&] {
            const std::vector<cv::Mat> planes = splitInChunks(image);
            ASSERT_EQ(planes.size(), expected.size());
            for (size_t k = 0; k < planes.size(); ++k) EXPECT_BIT_EQUAL(planes[k], expected[k]);
            EXPECT_BIT_EQUAL(mergeInChunks(expected), image);
        });
    }
    const cv::Mat view = randomImage(40, 50, CV_8UC3, 0, 256, 6)(cv::Rect(1, 1, 30, 20));
    std::vector<cv::Mat> expected;
    cv::split(view, expected);
    EXPECT_BIT_EQUAL(splitInChunks(view)[2], expected[2]);
}

TEST(ElementwiseInChunks, RejectsViewsItCannotSeeAsOneRow) {
    const cv::Mat image = randomImage(20, 30, CV_64FC1, 0, 1, 7);
    const cv::Mat view = image(cv::Rect(1, 1, 10, 10));
    EXPECT_THROW(elementsOf(view, Chunk{0, 10}), std::invalid_argument);
    EXPECT_THROW(pixelsOf(view, Chunk{0, 10}), std::invalid_argument);
    EXPECT_THROW(elementsOf(image, Chunk{590, 601}), std::invalid_argument);
    EXPECT_NO_THROW(elementsOf(image, Chunk{590, 600}));
    EXPECT_TRUE(continuous(view).isContinuous());
    EXPECT_BIT_EQUAL(continuous(view), view);
}

// An expression of another type cannot be written into the view: the call
// fails rather than leaving the view unwritten or converting silently.
