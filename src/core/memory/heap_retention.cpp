#include "core/memory/heap_retention.hpp"

#include <malloc.h>

namespace nightdehaze::detail {

namespace {

constexpr int kLargestHeapBlock = 32 << 20;  // the C library's ceiling for this setting
constexpr int kRetainedTop = 1 << 30;

}  // namespace

void retainFreedHeapMemory() {
    mallopt(M_MMAP_THRESHOLD, kLargestHeapBlock);
    mallopt(M_TRIM_THRESHOLD, kRetainedTop);
}

}  // namespace nightdehaze::detail
