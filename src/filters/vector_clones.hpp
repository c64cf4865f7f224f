#pragma once

// Hot loops compiled twice, for AVX2 and for the baseline, chosen when the
// program loads; both builds do the same IEEE operations lane by lane and
// nothing is fused into multiply-adds. Helpers of such a loop are forced
// inline so that each build gets its own copy.
#if defined(__GNUC__) && defined(__x86_64__) && !defined(__clang__)
#define NIGHTDEHAZE_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#define NIGHTDEHAZE_ALWAYS_INLINE __attribute__((always_inline))
#else
#define NIGHTDEHAZE_VECTOR_CLONES
#define NIGHTDEHAZE_ALWAYS_INLINE
#endif
