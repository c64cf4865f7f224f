#include "nightdehaze/nightdehaze.hpp"

#include <malloc.h>

namespace nightdehaze {

namespace {

constexpr int kLargestHeapBlock = 32 << 20;  // the C library's ceiling for this setting
constexpr int kRetainedTop = 1 << 30;

}  // namespace

// The non-local filter grows and frees hundreds of megabytes of weight logs
// in every call; handed back to the system, they would be faulted in afresh
// by the next call.
void retainFreedHeapMemory() {
    mallopt(M_MMAP_THRESHOLD, kLargestHeapBlock);
    mallopt(M_TRIM_THRESHOLD, kRetainedTop);
}

}  // namespace nightdehaze
