// Chunked element-wise evaluation: chunks cover the elements in order from
// aligned starts, and expressions whose vector loops fuse multiply and add give
// the whole matrix's bits whatever the thread count.
#include "util/elementwise_in_chunks.hpp"
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

// Odd in both directions and several chunks long at every thread count.
cv::Mat oddDoubles(int type, double high, std::uint64_t seed) {
    return randomImage(411, 641, type, 0.0, high, seed);
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
TEST(ElementwiseInChunks, FusedMultiplyAddExpressionsGiveTheWholeMatrixBits) {
    const cv::Mat a = oddDoubles(CV_64FC1, 1.0, 1), b = oddDoubles(CV_64FC1, 300.0, 2);
    const cv::Mat transmission = 1 - 0.95 * a;
    const cv::Mat weighted = a * 0.3 + b * 0.7 + 0.1;
    const cv::Mat grey = ((a + b) + a) / 3.0 / 255.0;
    cv::Mat scaled;
    a.convertTo(scaled, -1, 1 / 3., 0.1);
    onOneAndManyThreads([&] {
        cv::Mat out(a.size(), CV_64FC1);
        evaluateInChunks(out, [&](const Chunk& c) { return 1 - 0.95 * elementsOf(a, c); });
        EXPECT_BIT_EQUAL(out, transmission);
        evaluateInChunks(out, [&](const Chunk& c) {
            return elementsOf(a, c) * 0.3 + elementsOf(b, c) * 0.7 + 0.1;
        });
        EXPECT_BIT_EQUAL(out, weighted);
        evaluateInChunks(out, [&](const Chunk& c) {
            return ((elementsOf(a, c) + elementsOf(b, c)) + elementsOf(a, c)) / 3.0 / 255.0;
        });
        EXPECT_BIT_EQUAL(out, grey);
        forEachChunk(a.total(), [&](const Chunk& c) {
            elementsOf(a, c).convertTo(elementsOf(out, c), -1, 1 / 3., 0.1);
        });
        EXPECT_BIT_EQUAL(out, scaled);
    });
}

// A weighted sum with an offset (addWeighted) evaluated row by row: each
// row's scalar tail now holds elements that the whole matrix computes in its
// fused vector body.
TEST(ElementwiseInChunks, RowsOfOddWidthWouldChangeBitsWhereChunksDoNot) {
    if (!cv::checkHardwareSupport(CV_CPU_FMA3)) GTEST_SKIP() << "no fused multiply-add here";
    const cv::Mat a = oddDoubles(CV_64FC1, 300.0, 3), b = oddDoubles(CV_64FC1, 300.0, 4);
    const auto weighted = [](const cv::Mat& x, const cv::Mat& y) {
        return x * 0.3 + y * 0.7 + 0.1;
    };
    const cv::Mat whole = weighted(a, b);
    cv::Mat byRows(a.size(), CV_64FC1), byChunks(a.size(), CV_64FC1);
    for (int i = 0; i < a.rows; ++i) assignInto(byRows.row(i), weighted(a.row(i), b.row(i)));
    evaluateInChunks(byChunks,
                     [&](const Chunk& c) { return weighted(elementsOf(a, c), elementsOf(b, c)); });
    EXPECT_NE(testing_support::firstBitDifference(byRows, whole), -1);
    EXPECT_BIT_EQUAL(byChunks, whole);
}

// Three-channel images count their channels as elements; rounding and
// saturation to 8 bits hold at ties, beyond the range and for NaN, and values
// beyond the int range give 0 as OpenCV's x86 conversion gives them.
TEST(ElementwiseInChunks, ConversionsMatchConvertTo) {
    cv::Mat values = oddDoubles(CV_64FC3, 300.0, 4);
    const double special[] = {0.5, 1.5, 2.5, 254.5, 255.5, -0.5, 1e300, -1e300,
                              std::numeric_limits<double>::quiet_NaN(),
                              std::numeric_limits<double>::infinity()};
    for (int k = 0; k < 2000; ++k)
        values.ptr<double>()[(k * 7919) % (values.total() * 3)] = special[k % 10];
    cv::Mat expected8u, expectedFromView;
    values.convertTo(expected8u, CV_8U);
    const cv::Mat view = values(cv::Rect(3, 2, 600, 400));
    view.convertTo(expectedFromView, CV_32F);
    onOneAndManyThreads([&] {
        EXPECT_BIT_EQUAL(convertedInChunks(values, CV_8U), expected8u);
        EXPECT_BIT_EQUAL(convertedInChunks(view, CV_32F), expectedFromView);
    });
}

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
TEST(ElementwiseInChunks, AssignIntoNeverLeavesTheViewUnwritten) {
    const cv::Mat a = randomImage(1, 600, CV_64FC1, 0, 1, 8);
    cv::Mat out(1, 600, CV_64FC1, cv::Scalar(-1));
    assignInto(out.colRange(100, 300), a.colRange(0, 200) * 2.0);
    EXPECT_BIT_EQUAL(out.colRange(100, 300), cv::Mat(a.colRange(0, 200) * 2.0));
    EXPECT_EQ(out.at<double>(0, 99), -1.0);
    EXPECT_EQ(out.at<double>(0, 300), -1.0);
    cv::Mat narrow(1, 200, CV_32FC1);
    EXPECT_THROW(assignInto(narrow, a.colRange(0, 200) * 2.0), std::invalid_argument);
}
