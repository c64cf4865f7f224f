#pragma once
#include <opencv2/core.hpp>

#include <cstddef>
#include <mutex>
#include <vector>

// Counters of a reusing allocator, for tests and benchmarks.
struct BufferReuseCounters {
    std::size_t liveBytes = 0;     // large buffers in use
    std::size_t keptBytes = 0;     // large buffers freed and kept for reuse
    std::size_t peakBytes = 0;     // highest liveBytes so far
    std::size_t mappedBlocks = 0;  // large buffers obtained from the system
    std::size_t reusedBlocks = 0;  // allocations served by a kept buffer
};

// cv::Mat allocator that keeps large buffers (1 MiB and up) for reuse once
// freed, instead of handing them back to the system and having the next plane
// of the same size fault in and zero fresh pages; large buffers are mapped
// with transparent huge pages where the system allows. A freed buffer is kept
// only while the live and kept bytes together stay within the peak of the
// live bytes, so the allocator never holds more memory than the program once
// needed. Smaller buffers come from OpenCV's usual allocation. Thread-safe.
class ReusingMatAllocator : public cv::MatAllocator {
public:
    static constexpr std::size_t kLargeBytes = std::size_t(1) << 20;

    cv::UMatData* allocate(int dims, const int* sizes, int type, void* data, size_t* step,
                           cv::AccessFlag flags, cv::UMatUsageFlags usage) const override;
    bool allocate(cv::UMatData* data, cv::AccessFlag flags, cv::UMatUsageFlags usage) const override;
    void deallocate(cv::UMatData* data) const override;

    BufferReuseCounters counters() const;

private:
    struct Block {
        void* address;
        std::size_t bytes;
    };

    void* takeLarge(std::size_t bytes) const;
    void keepOrUnmap(void* address, std::size_t bytes) const;

    mutable std::mutex mutex_;
    mutable std::vector<Block> kept_;  // oldest first
    mutable BufferReuseCounters counters_;
};

// Makes every cv::Mat allocated from now on use one process-wide
// ReusingMatAllocator. Idempotent. Under AddressSanitizer it does nothing, so
// that every buffer stays watched.
void installBufferReuse();
