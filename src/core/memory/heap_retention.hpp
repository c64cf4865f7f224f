#pragma once

namespace nightdehaze::detail {

// Makes the C library's allocator keep memory freed by the program for its
// next allocations instead of handing it back to the system, up to a large
// bound: blocks of up to 32 MiB come from its heap, which is not trimmed below
// 1 GiB. The non-local filter grows and frees hundreds of megabytes of weight
// logs in every call; handed back, they would be faulted in afresh by the next
// call. Process-wide: for programs that own their process, such as the tool.
void retainFreedHeapMemory();

}  // namespace nightdehaze::detail
