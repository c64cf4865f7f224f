#include "core/runtime/vector_kernels.hpp"

#include <atomic>

namespace nightdehaze::detail {

namespace {

bool cpuHasAvx2() {
#if defined(__GNUC__) && defined(__x86_64__)
    return __builtin_cpu_supports("avx2");
#else
    return false;
#endif
}

std::atomic<bool> baselineForced{false};

}  // namespace

bool avx2Kernels() {
    static const bool available = cpuHasAvx2();
    return available && !baselineForced.load(std::memory_order_relaxed);
}

void forceBaselineKernels(bool force) { baselineForced.store(force, std::memory_order_relaxed); }

}  // namespace nightdehaze::detail
