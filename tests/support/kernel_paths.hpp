#pragma once
// Runs a test body with the kernels the CPU selects (AVX2 where present) and
// again with the baseline kernels forced: both must give the same bits.
#include "core/runtime/vector_kernels.hpp"

#include <gtest/gtest.h>

template <typename Body>
void onBothKernelPaths(const Body& body) {
    for (bool baseline : {false, true}) {
        SCOPED_TRACE(baseline ? "baseline kernels" : "the CPU's kernels");
        nightdehaze::detail::forceBaselineKernels(baseline);
        body();
    }
    nightdehaze::detail::forceBaselineKernels(false);
}
