#include "app/buffer_reuse.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <string>

namespace {

// Most kept buffers are planes of the picture's size; a few dozen cover every
// plane shape a pipeline holds at once.
constexpr std::size_t kMaxKeptBlocks = 32;

std::size_t bytesOf(int dims, const int* sizes, int type, void* data, size_t* step) {
    std::size_t total = CV_ELEM_SIZE(type);
    for (int i = dims - 1; i >= 0; --i) {
        if (step) {
            if (data && step[i] != cv::Mat::AUTO_STEP) {
                CV_Assert(total <= step[i]);
                total = step[i];
            } else {
                step[i] = total;
            }
        }
        total *= sizes[i];
    }
    return total;
}

void* mapLarge(std::size_t bytes) {
    void* address = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (address == MAP_FAILED)
        CV_Error(cv::Error::StsNoMem, "Failed to allocate " + std::to_string(bytes) + " bytes");
#ifdef MADV_HUGEPAGE
    madvise(address, bytes, MADV_HUGEPAGE);  // fewer page faults; a refusal costs nothing
#endif
    return address;
}

bool underAddressSanitizer() {
#if defined(__SANITIZE_ADDRESS__)
    return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    return true;
#else
    return false;
#endif
#else
    return false;
#endif
}

}  // namespace

cv::UMatData* ReusingMatAllocator::allocate(int dims, const int* sizes, int type, void* data0,
                                            size_t* step, cv::AccessFlag, cv::UMatUsageFlags) const {
    const std::size_t total = bytesOf(dims, sizes, type, data0, step);
    uchar* data = static_cast<uchar*>(data0);
    if (!data) data = static_cast<uchar*>(total >= kLargeBytes ? takeLarge(total) : cv::fastMalloc(total));
    cv::UMatData* u = new cv::UMatData(this);
    u->data = u->origdata = data;
    u->size = total;
    if (data0) u->flags |= cv::UMatData::USER_ALLOCATED;
    return u;
}

bool ReusingMatAllocator::allocate(cv::UMatData* data, cv::AccessFlag, cv::UMatUsageFlags) const {
    return data != nullptr;
}

void ReusingMatAllocator::deallocate(cv::UMatData* u) const {
    if (!u) return;
    CV_Assert(u->urefcount == 0 && u->refcount == 0);
    if (!(u->flags & cv::UMatData::USER_ALLOCATED)) {
        if (u->size >= kLargeBytes)
            keepOrUnmap(u->origdata, u->size);
        else
            cv::fastFree(u->origdata);
        u->origdata = nullptr;
    }
    delete u;
}

BufferReuseCounters ReusingMatAllocator::counters() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return counters_;
}

void* ReusingMatAllocator::takeLarge(std::size_t bytes) const {
    std::vector<Block> surplus;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto same = std::find_if(kept_.rbegin(), kept_.rend(),
                                       [&](const Block& b) { return b.bytes == bytes; });
        if (same != kept_.rend()) {
            void* address = same->address;
            kept_.erase(std::next(same).base());
            counters_.keptBytes -= bytes;
            counters_.liveBytes += bytes;
            ++counters_.reusedBlocks;
            return address;
        }
        // A fresh buffer: give back the oldest kept ones that would lift the
        // memory held above the peak the program has needed so far.
        const std::size_t live = counters_.liveBytes + bytes;
        const std::size_t ceiling = std::max(counters_.peakBytes, live);
        while (!kept_.empty() && live + counters_.keptBytes > ceiling) {
            surplus.push_back(kept_.front());
            counters_.keptBytes -= kept_.front().bytes;
            kept_.erase(kept_.begin());
        }
        counters_.liveBytes = live;
        counters_.peakBytes = ceiling;
        ++counters_.mappedBlocks;
    }
    for (const Block& b : surplus) munmap(b.address, b.bytes);
    try {
        return mapLarge(bytes);
    } catch (...) {
        std::lock_guard<std::mutex> lock(mutex_);
        counters_.liveBytes -= bytes;
        --counters_.mappedBlocks;
        throw;
    }
}

void ReusingMatAllocator::keepOrUnmap(void* address, std::size_t bytes) const {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        counters_.liveBytes -= bytes;
        if (kept_.size() < kMaxKeptBlocks) {
            kept_.push_back({address, bytes});
            counters_.keptBytes += bytes;
            return;
        }
    }
    munmap(address, bytes);
}

void installBufferReuse() {
    if (underAddressSanitizer()) return;
    // Never destroyed: matrices freed during exit may still return buffers.
    static ReusingMatAllocator* const allocator = new ReusingMatAllocator();
    cv::Mat::setDefaultAllocator(allocator);
}
