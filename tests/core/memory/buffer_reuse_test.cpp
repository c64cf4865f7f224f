#include "core/memory/buffer_reuse.hpp"
#include "nightdehaze/nightdehaze.hpp"
#include "test_images.hpp"

#include <gtest/gtest.h>
#include <opencv2/core/utility.hpp>
#include <sys/mman.h>

#include <cstdint>
#include <vector>

using namespace nightdehaze;
using namespace nightdehaze::detail;

namespace {

// The allocator steps aside under AddressSanitizer, so that it sees every buffer.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kUnderAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kUnderAddressSanitizer = true;
#else
constexpr bool kUnderAddressSanitizer = false;
#endif
#else
constexpr bool kUnderAddressSanitizer = false;
#endif

constexpr std::size_t kMiB = std::size_t(1) << 20;

// A matrix of the given bytes (one row of bytes) from the allocator.
cv::Mat bufferOf(const ReusingMatAllocator& allocator, std::size_t bytes) {
    cv::Mat m;
    m.allocator = const_cast<ReusingMatAllocator*>(&allocator);
    m.create(1, static_cast<int>(bytes), CV_8UC1);
    return m;
}

void expectWithinPeak(const BufferReuseCounters& c, std::size_t slack = 0) {
    EXPECT_LE(c.liveBytes + c.keptBytes, c.peakBytes + slack);
}

TEST(BufferReuse, AFreedLargeBufferServesTheNextOfTheSameSize) {
    ReusingMatAllocator allocator;
    const uchar* first;
    {
        cv::Mat a = bufferOf(allocator, 3 * kMiB);
        a.setTo(7);
        first = a.data;
    }
    EXPECT_EQ(allocator.counters().keptBytes, 3 * kMiB);
    cv::Mat b = bufferOf(allocator, 3 * kMiB);
    EXPECT_EQ(b.data, first);
    const BufferReuseCounters c = allocator.counters();
    EXPECT_EQ(c.mappedBlocks, 1u);
    EXPECT_EQ(c.reusedBlocks, 1u);
    EXPECT_EQ(c.liveBytes, 3 * kMiB);
    EXPECT_EQ(c.keptBytes, 0u);
}

TEST(BufferReuse, KeptBuffersNeverLiftMemoryAboveThePeak) {
    ReusingMatAllocator allocator(0);
    {
        cv::Mat a = bufferOf(allocator, 4 * kMiB);
        cv::Mat b = bufferOf(allocator, 4 * kMiB);
    }
    EXPECT_EQ(allocator.counters().keptBytes, 8 * kMiB);
    cv::Mat c = bufferOf(allocator, 6 * kMiB);  // no kept buffer fits: both go back
    BufferReuseCounters counters = allocator.counters();
    EXPECT_EQ(counters.keptBytes, 0u);
    EXPECT_EQ(counters.peakBytes, 8 * kMiB);
    expectWithinPeak(counters);

    cv::Mat d = bufferOf(allocator, 2 * kMiB);
    c.release();
    // 6 kept + 2 live + 5 new would pass the peak: the kept 6, cut to 5, serves.
    cv::Mat e = bufferOf(allocator, 5 * kMiB);
    e.setTo(9);
    counters = allocator.counters();
    EXPECT_EQ(counters.keptBytes, 0u);
    EXPECT_EQ(counters.peakBytes, 8 * kMiB);
    EXPECT_EQ(counters.liveBytes, 7 * kMiB);
    EXPECT_EQ(counters.mappedBlocks, 4u);
    EXPECT_EQ(cv::countNonZero(e != 9), 0);
    e.release();
    EXPECT_EQ(allocator.counters().keptBytes, 5 * kMiB);
    expectWithinPeak(allocator.counters());
}

// A page of our own mapped at the first free page past the end of m's data,
// holding a marker; stands in for whatever the system maps there next.
uchar* neighbourPageAfter(const cv::Mat& m) {
    constexpr std::uintptr_t kPage = 4096;
    std::uintptr_t page = (reinterpret_cast<std::uintptr_t>(m.dataend) + kPage - 1) / kPage * kPage;
    constexpr int kTries = (2 << 20) / kPage + 4;  // buffers may end on a whole huge page
    for (int tries = 0; tries < kTries; ++tries, page += kPage) {
        void* got = mmap(reinterpret_cast<void*>(page), kPage, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
        if (got == reinterpret_cast<void*>(page)) {
            *static_cast<uchar*>(got) = 0x5a;
            return static_cast<uchar*>(got);
        }
        if (got != MAP_FAILED) munmap(got, kPage);
    }
    return nullptr;
}

bool stillMappedWithMarker(uchar* page) {
    unsigned char resident;
    return mincore(page, 4096, &resident) == 0 && *page == 0x5a;
}

// Sizes just past a page boundary, where a cut-down buffer ends a page short
// of a fresh one; mapping the neighbour there is what a crash needs.
TEST(BufferReuse, ACutDownBufferGivesBackOnlyItsOwnPages) {
    ReusingMatAllocator allocator(0);
    { cv::Mat spike = bufferOf(allocator, 4 * kMiB); }
    cv::Mat cut = bufferOf(allocator, 2 * kMiB + 8);  // the kept 4, cut to 2
    ASSERT_EQ(allocator.counters().reusedBlocks, 1u);
    uchar* const first = neighbourPageAfter(cut);
    ASSERT_NE(first, nullptr);

    cv::Mat other = bufferOf(allocator, kMiB + 8);
    cut.release();
    cv::Mat recut = bufferOf(allocator, kMiB + 8);  // cut again, down to 1
    ASSERT_EQ(allocator.counters().reusedBlocks, 2u);
    EXPECT_TRUE(stillMappedWithMarker(first));
    uchar* const second = neighbourPageAfter(recut);
    ASSERT_NE(second, nullptr);

    recut.release();
    other.release();
    cv::Mat fresh = bufferOf(allocator, 5 * kMiB);  // both kept buffers go back
    EXPECT_EQ(allocator.counters().keptBytes, 0u);
    EXPECT_TRUE(stillMappedWithMarker(second));
    fresh.setTo(3);
    for (uchar* page : {first, second})
        if (stillMappedWithMarker(page)) munmap(page, 4096);
}

TEST(BufferReuse, SmallAndForeignBuffersAreLeftToTheirOwners) {
    ReusingMatAllocator allocator;
    {
        cv::Mat small = bufferOf(allocator, ReusingMatAllocator::kLargeBytes - 1);
        small.setTo(1);
    }
    std::vector<uchar> foreign(2 * kMiB, 5);
    {
        cv::Mat wrapped(1, static_cast<int>(foreign.size()), CV_8UC1, foreign.data());
        cv::Mat copy;
        copy.allocator = &allocator;
        wrapped.copyTo(copy);
        EXPECT_EQ(cv::countNonZero(copy == 5), static_cast<int>(foreign.size()));
    }
    const BufferReuseCounters c = allocator.counters();
    EXPECT_EQ(c.mappedBlocks, 1u);  // the copy only
    EXPECT_EQ(c.liveBytes, 0u);
    EXPECT_EQ(foreign.front(), 5);
}

TEST(BufferReuse, ThreadsShareTheBuffersWithoutMixingThem) {
    ReusingMatAllocator allocator(kMiB);
    cv::parallel_for_(cv::Range(0, 64), [&](const cv::Range& range) {
        for (int k = range.start; k < range.end; ++k) {
            const std::size_t bytes = (1 + k % 3) * kMiB;
            cv::Mat a = bufferOf(allocator, bytes);
            cv::Mat b = bufferOf(allocator, bytes);
            a.setTo(k);
            b.setTo(k + 1);
            ASSERT_EQ(cv::countNonZero(a != (k & 0xff)), 0);
            ASSERT_EQ(cv::countNonZero(b != ((k + 1) & 0xff)), 0);
        }
    });
    const BufferReuseCounters c = allocator.counters();
    EXPECT_EQ(c.liveBytes, 0u);
    EXPECT_GT(c.reusedBlocks, 0u);
    expectWithinPeak(c, kMiB);
}

TEST(BufferReuse, MatricesOfEveryShapeKeepTheirData) {
    ReusingMatAllocator allocator;
    cv::Mat planes;
    planes.allocator = &allocator;
    planes.create(700, 900, CV_64FC3);
    cv::randu(planes, -1.0, 1.0);
    cv::Mat copy;
    copy.allocator = &allocator;
    for (int round = 0; round < 3; ++round) {
        planes.copyTo(copy);
        EXPECT_EQ(cv::norm(planes, copy, cv::NORM_INF), 0.0);
        copy.release();
    }
    EXPECT_EQ(allocator.counters().reusedBlocks, 2u);
}

TEST(BufferReuse, TheSlackKeepsALoopJustAboveThePeakFromRemapping) {
    for (std::size_t slack : {std::size_t(0), 4 * kMiB}) {
        ReusingMatAllocator allocator(slack);
        { cv::Mat spike = bufferOf(allocator, 6 * kMiB); }  // peak 6, then 6 kept
        for (int turn = 0; turn < 5; ++turn) {  // never more than 5 live, but 8 to keep
            bufferOf(allocator, 3 * kMiB).setTo(1);
            bufferOf(allocator, 5 * kMiB).setTo(2);
        }
        const BufferReuseCounters c = allocator.counters();
        if (slack == 0) {
            EXPECT_GT(c.mappedBlocks, 5u);  // 8 to keep, 6 allowed: a fresh buffer every turn
        } else {
            EXPECT_LE(c.mappedBlocks, 3u);
            expectWithinPeak(c, slack);
        }
    }
}

}  // namespace

// A program that calls the library keeps OpenCV's own allocator outside the
// calls (the Python package's promise): enhance reuses buffers only while it
// runs, and overlapping calls hand the allocator back once the last ends.
TEST(BufferReuse, EnhanceReusesBuffersOnlyWhileItRuns) {
    struct AllocatorProbe : ProgressMonitor {
        cv::MatAllocator* during = nullptr;
        void stageBegins(const char*) override { during = cv::Mat::getDefaultAllocator(); }
    };
    cv::MatAllocator* const before = cv::Mat::getDefaultAllocator();
    const cv::Mat picture = testing_support::randomPhoto(40, 56, 7);
    AllocatorProbe probe;
    {
        const BufferReuseDuringCall outer;
        enhance(picture, DehazeContext(), nullptr, probe);
        EXPECT_EQ(cv::Mat::getDefaultAllocator(), probe.during);
    }
    EXPECT_EQ(cv::Mat::getDefaultAllocator(), before);
    if (!kUnderAddressSanitizer) {
        EXPECT_NE(probe.during, before);
    }
}
