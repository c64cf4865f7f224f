#pragma once
#include "nightdehaze/nightdehaze.hpp"

#include <opencv2/core.hpp>

#include <cstddef>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace nightdehaze::detail {

// Counters of a reusing allocator, for tests and benchmarks.
struct BufferReuseCounters {
    std::size_t liveBytes = 0;     // large buffers in use
    std::size_t keptBytes = 0;     // large buffers freed and kept for reuse
    std::size_t peakBytes = 0;     // highest liveBytes so far
    std::size_t mappedBlocks = 0;  // large buffers obtained from the system
    std::size_t reusedBlocks = 0;  // allocations served by a kept buffer
};

// cv::Mat allocator that keeps large buffers (128 KiB and up) for reuse once
// freed, instead of handing them back to the system and having the next plane
// of the same size fault in and zero fresh pages; large buffers are mapped
// with transparent huge pages where the system allows. A freed buffer is kept
// only while the live and kept bytes together stay within the peak of the
// live bytes plus a slack, so the allocator never holds much more memory than
// the program once needed; there a larger kept buffer, cut down, serves a
// smaller request. Smaller buffers come from OpenCV's usual allocation.
// Thread-safe.
class ReusingMatAllocator : public cv::MatAllocator {
public:
    static constexpr std::size_t kLargeBytes = std::size_t(128) << 10;

    // The slack spares a loop whose working set sits just above an earlier
    // peak from mapping and unmapping a buffer on every turn; 32 MiB is small
    // next to the memory of a large picture.
    static constexpr std::size_t kDefaultSlackBytes = std::size_t(32) << 20;
    explicit ReusingMatAllocator(std::size_t slackBytes = kDefaultSlackBytes)
        : slackBytes_(slackBytes) {}

    cv::UMatData* allocate(int dims, const int* sizes, int type, void* data, size_t* step,
                           cv::AccessFlag flags, cv::UMatUsageFlags usage) const override;
    bool allocate(cv::UMatData* data, cv::AccessFlag flags, cv::UMatUsageFlags usage) const override;
    void deallocate(cv::UMatData* data) const override;

    BufferReuseCounters counters() const;

    // Hands every kept buffer back to the system.
    void releaseKept() const;

private:
    struct Block {
        void* address;
        std::size_t bytes;
    };

    void* takeLarge(std::size_t bytes) const;
    std::vector<Block>::iterator latestKeptOf(std::size_t bytes) const;
    std::vector<Block>::iterator smallestKeptHolding(std::size_t bytes) const;
    void* reuseKept(std::vector<Block>::iterator block, std::size_t bytes) const;
    void keepOrUnmap(void* address) const;

    const std::size_t slackBytes_;
    mutable std::mutex mutex_;
    mutable std::vector<Block> kept_;  // oldest first
    mutable std::unordered_map<void*, std::size_t> blockBytes_;  // large buffers in use
    mutable BufferReuseCounters counters_;
};

// While one of these lives, matrices allocated anywhere in the process use the
// process-wide ReusingMatAllocator; when the last one ends, the default
// allocator it found is put back and the kept buffers are handed back, so a
// program that calls the library (the Python package) keeps OpenCV's own
// allocation outside the calls. Nothing changes where installBufferReuse made
// the reusing allocator the default already, or under AddressSanitizer.
// Thread-safe; calls may overlap.
class BufferReuseDuringCall {
public:
    BufferReuseDuringCall();
    ~BufferReuseDuringCall();
    BufferReuseDuringCall(const BufferReuseDuringCall&) = delete;
    BufferReuseDuringCall& operator=(const BufferReuseDuringCall&) = delete;

private:
    bool entered_ = false;
};

}  // namespace nightdehaze::detail
