#pragma once
// Kernels compiled twice, for AVX2 and for the baseline, chosen at run time.
// Both versions perform the same IEEE operations lane by lane (AVX2 without
// FMA, and -ffp-contract=off everywhere), so they give the same bits; AVX2
// only handles four doubles per instruction instead of two.
//
//   NIGHTDEHAZE_KERNEL_INLINE void body(...) { plain loop }
//   NIGHTDEHAZE_AVX2_TARGET void bodyAvx2(...) { body(...); }
//   void bodyBaseline(...) { body(...); }
//   void kernel(...) { avx2Kernels() ? bodyAvx2(...) : bodyBaseline(...); }

#if defined(__GNUC__) && defined(__x86_64__)
#define NIGHTDEHAZE_AVX2_TARGET __attribute__((target("avx2")))
#define NIGHTDEHAZE_KERNEL_INLINE inline __attribute__((always_inline))
// For a lambda a kernel calls: [&](int y) NIGHTDEHAZE_LAMBDA_INLINE { ... }
#define NIGHTDEHAZE_LAMBDA_INLINE __attribute__((always_inline))
#else
#define NIGHTDEHAZE_AVX2_TARGET
#define NIGHTDEHAZE_KERNEL_INLINE inline
#define NIGHTDEHAZE_LAMBDA_INLINE
#endif

namespace nightdehaze::detail {

// True where the CPU has AVX2 (and the build targets x86-64), unless a test
// forced the baseline kernels.
bool avx2Kernels();

// For tests: runs the baseline kernels even where AVX2 is present (true), or
// the CPU's choice again (false). Not thread-safe against running kernels.
void forceBaselineKernels(bool force);

template <typename Body>
NIGHTDEHAZE_AVX2_TARGET void runWithAvx2(const Body& body) {
    body();
}
template <typename Body>
void runWithBaseline(const Body& body) {
    body();
}

// Runs body() compiled for AVX2 where the CPU has it, else for the baseline:
// body must be a lambda marked NIGHTDEHAZE_LAMBDA_INLINE, so that each
// version compiles its own copy of the loop.
template <typename Body>
void withVectorKernels(const Body& body) {
    if (avx2Kernels())
        runWithAvx2(body);
    else
        runWithBaseline(body);
}

}  // namespace nightdehaze::detail
