#include "core/memory/buffer_reuse.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <string>

namespace nightdehaze::detail {

namespace {

// Most kept buffers are planes of the picture's size or of a grid twice as
// coarse (the fast engine holds dozens of those); a few hundred cover every
// plane a pipeline holds at once, and the searches over them stay short next
// to the work on a plane.
constexpr std::size_t kMaxKeptBlocks = 256;

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

// Large buffers start at varying offsets into their first page: planes that
// all started on a page boundary would compete for the same cache sets when
// a loop reads and writes several of them at once.
constexpr std::size_t kPageBytes = 4096;
constexpr std::size_t kCacheLine = 64;

std::size_t nextCacheColour() {
    static std::atomic<std::size_t> count{0};
    return (count.fetch_add(1, std::memory_order_relaxed) % (kPageBytes / kCacheLine)) * kCacheLine;
}

std::uintptr_t pageStart(std::uintptr_t a) { return a - a % kPageBytes; }
std::uintptr_t roundUp(std::uintptr_t a, std::size_t unit) { return (a + unit - 1) / unit * unit; }

// Buffers of half a megabyte and more are laid out on whole huge pages, so
// that every page of them is a huge one: a small page faulted in costs about
// as much as a huge one on some virtual machines. The rounding adds under
// 2 MiB to a buffer, at most three times its size (the 8-bit planes of
// pictures under a megapixel).
constexpr std::size_t kHugePageBytes = std::size_t(2) << 20;
constexpr std::size_t kHugeLayoutBytes = std::size_t(512) << 10;

// Bytes from the start of a large buffer's first page to the end of its
// mapping: its colour offset and bytes, on whole pages, or on whole huge pages.
std::size_t mappedSpan(std::size_t bytes) {
    return roundUp(bytes + kPageBytes, bytes >= kHugeLayoutBytes ? kHugePageBytes : kPageBytes);
}

// A fresh anonymous mapping of span bytes; one of a whole number of huge pages
// starts on a huge page boundary (the surplus of a larger mapping is cut off).
std::uintptr_t mapSpan(std::size_t span) {
    const bool huge = span % kHugePageBytes == 0;
    const std::size_t asked = huge ? span + kHugePageBytes : span;
    void* mapped = mmap(nullptr, asked, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) return 0;
    const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(mapped);
    const std::uintptr_t base = huge ? roundUp(start, kHugePageBytes) : start;
    if (base > start) munmap(mapped, base - start);
    const std::uintptr_t end = base + span;
    if (start + asked > end) munmap(reinterpret_cast<void*>(end), start + asked - end);
#ifdef MADV_HUGEPAGE
    madvise(reinterpret_cast<void*>(base), span, MADV_HUGEPAGE);  // a refusal costs nothing
#endif
    return base;
}

void* mapLarge(std::size_t bytes) {
    const std::uintptr_t base = mapSpan(mappedSpan(bytes));
    if (base == 0) CV_Error(cv::Error::StsNoMem, "Failed to allocate " + std::to_string(bytes) + " bytes");
    return reinterpret_cast<uchar*>(base) + nextCacheColour();
}

// End of the pages a large buffer of the given bytes at the given address
// holds: a fresh mapping ends here, and a cut-down one is kept to the same
// end, so that unmapping it later never reaches pages mapped since the cut.
std::uintptr_t mappingEnd(void* address, std::size_t bytes) {
    return pageStart(reinterpret_cast<std::uintptr_t>(address)) + mappedSpan(bytes);
}

void unmapLarge(void* address, std::size_t bytes) {
    const std::uintptr_t base = pageStart(reinterpret_cast<std::uintptr_t>(address));
    munmap(reinterpret_cast<void*>(base), mappingEnd(address, bytes) - base);
}

// Gives back the pages of a large buffer beyond its first bytes, so that it
// holds just the pages a fresh buffer of that size would.
void unmapTail(void* address, std::size_t bytes, std::size_t oldBytes) {
    const std::uintptr_t keepEnd = mappingEnd(address, bytes), mapEnd = mappingEnd(address, oldBytes);
    if (keepEnd < mapEnd) munmap(reinterpret_cast<void*>(keepEnd), mapEnd - keepEnd);
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
            keepOrUnmap(u->origdata);
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
        auto kept = latestKeptOf(bytes);
        // At the peak a fresh buffer would cost kept ones: a larger kept
        // buffer serves instead, cut down to the size asked for.
        if (kept == kept_.end() &&
            counters_.liveBytes + counters_.keptBytes + bytes > counters_.peakBytes + slackBytes_)
            kept = smallestKeptHolding(bytes);
        if (kept != kept_.end()) return reuseKept(kept, bytes);
        // A fresh buffer: give back the oldest kept ones that would lift the
        // memory held above the peak the program has needed so far.
        const std::size_t live = counters_.liveBytes + bytes;
        const std::size_t ceiling = std::max(counters_.peakBytes, live);
        while (!kept_.empty() && live + counters_.keptBytes > ceiling + slackBytes_) {
            surplus.push_back(kept_.front());
            counters_.keptBytes -= kept_.front().bytes;
            kept_.erase(kept_.begin());
        }
        counters_.liveBytes = live;
        counters_.peakBytes = ceiling;
        ++counters_.mappedBlocks;
    }
    for (const Block& b : surplus) unmapLarge(b.address, b.bytes);
    void* address = nullptr;
    try {
        address = mapLarge(bytes);
    } catch (...) {
        std::lock_guard<std::mutex> lock(mutex_);
        counters_.liveBytes -= bytes;
        --counters_.mappedBlocks;
        throw;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    blockBytes_[address] = bytes;
    return address;
}

// The most recently kept buffer of exactly the given bytes, or kept_.end().
std::vector<ReusingMatAllocator::Block>::iterator ReusingMatAllocator::latestKeptOf(
    std::size_t bytes) const {
    for (auto b = kept_.end(); b != kept_.begin();)
        if ((--b)->bytes == bytes) return b;
    return kept_.end();
}

// The smallest kept buffer of at least the given bytes, or kept_.end().
std::vector<ReusingMatAllocator::Block>::iterator ReusingMatAllocator::smallestKeptHolding(
    std::size_t bytes) const {
    auto best = kept_.end();
    for (auto b = kept_.begin(); b != kept_.end(); ++b)
        if (b->bytes >= bytes && (best == kept_.end() || b->bytes < best->bytes)) best = b;
    return best;
}

void* ReusingMatAllocator::reuseKept(std::vector<Block>::iterator block, std::size_t bytes) const {
    void* address = block->address;
    const std::size_t blockBytes = block->bytes;
    kept_.erase(block);
    counters_.keptBytes -= blockBytes;
    counters_.liveBytes += bytes;
    ++counters_.reusedBlocks;
    blockBytes_[address] = bytes;
    if (blockBytes > bytes) unmapTail(address, bytes, blockBytes);
    return address;
}

void ReusingMatAllocator::keepOrUnmap(void* address) const {
    std::size_t bytes;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto entry = blockBytes_.find(address);
        CV_Assert(entry != blockBytes_.end());
        bytes = entry->second;
        blockBytes_.erase(entry);
        counters_.liveBytes -= bytes;
        if (kept_.size() < kMaxKeptBlocks) {
            kept_.push_back({address, bytes});
            counters_.keptBytes += bytes;
            return;
        }
    }
    unmapLarge(address, bytes);
}

void ReusingMatAllocator::releaseKept() const {
    std::vector<Block> released;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        released.swap(kept_);
        counters_.keptBytes = 0;
    }
    for (const Block& block : released) unmapLarge(block.address, block.bytes);
}

namespace {

// Never destroyed: matrices freed during exit may still return buffers.
ReusingMatAllocator& processAllocator() {
    static ReusingMatAllocator* const allocator = new ReusingMatAllocator();
    return *allocator;
}

std::mutex callsMutex;
int callsRunning = 0;
cv::MatAllocator* allocatorBeforeCalls = nullptr;

}  // namespace

BufferReuseDuringCall::BufferReuseDuringCall() {
    if (underAddressSanitizer()) return;
    std::lock_guard<std::mutex> lock(callsMutex);
    if (callsRunning == 0) {
        if (cv::Mat::getDefaultAllocator() == &processAllocator()) return;
        allocatorBeforeCalls = cv::Mat::getDefaultAllocator();
        cv::Mat::setDefaultAllocator(&processAllocator());
    }
    ++callsRunning;
    entered_ = true;
}

BufferReuseDuringCall::~BufferReuseDuringCall() {
    if (!entered_) return;
    std::lock_guard<std::mutex> lock(callsMutex);
    if (--callsRunning > 0) return;
    cv::Mat::setDefaultAllocator(allocatorBeforeCalls);
    processAllocator().releaseKept();
}

}  // namespace nightdehaze::detail

namespace nightdehaze {

void installBufferReuse() {
    if (detail::underAddressSanitizer()) return;
    cv::Mat::setDefaultAllocator(&detail::processAllocator());
}

void releaseKeptBuffers() { detail::processAllocator().releaseKept(); }

}  // namespace nightdehaze
