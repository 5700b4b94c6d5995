// What the SIMD kernels share: the target attributes of their AVX2+FMA functions, the one CPU
// check that chooses between each kernel's scalar and AVX2 paths, the vendor check behind the
// scan's choice of prefetch, and the horizontal sums.
// Every AVX2 function is compiled for its target alone, so the module runs on any x86-64 CPU.
#pragma once

#include <immintrin.h>

// An AVX2+FMA function, and one that must also be inlined into its AVX2 caller.
#define QUORVEL_AVX2 __attribute__((target("avx2,fma")))
#define QUORVEL_AVX2_INLINE __attribute__((target("avx2,fma"), always_inline)) inline

// Loops over rows of a group, vectors and columns of a pass have compile-time trip counts but
// -O2 leaves them rolled, which keeps the accumulators in memory: 2.8x slower for 3 vectors.
#define QUORVEL_UNROLL _Pragma("GCC unroll 16")

namespace quorvel {

// True when this CPU (and its OS) runs AVX2 with FMA; tested once per process. The CPU test
// also requires the OS to save the ymm registers (XGETBV), as AVX2 needs.
inline bool simd_available() {
    static const bool available = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    }();
    return available;
}

// True on an Intel CPU; tested once per process. It only tunes how a kernel reads memory, never
// what it computes.
inline bool cpu_is_intel() {
    static const bool intel = [] {
        __builtin_cpu_init();
        return __builtin_cpu_is("intel") != 0;
    }();
    return intel;
}

// The sum of the eight lanes of v: halves, then pairs, then the last two.
QUORVEL_AVX2_INLINE float horizontal_sum(__m256 v) {
    __m128 s = _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
    s = _mm_add_ps(s, _mm_movehl_ps(s, s));
    s = _mm_add_ss(s, _mm_movehdup_ps(s));
    return _mm_cvtss_f32(s);
}

// [sum(a), sum(b), sum(c), sum(d)]
QUORVEL_AVX2_INLINE __m128 horizontal_sums(__m256 a, __m256 b, __m256 c, __m256 d) {
    const __m256 ab = _mm256_hadd_ps(a, b);
    const __m256 cd = _mm256_hadd_ps(c, d);
    const __m256 abcd = _mm256_hadd_ps(ab, cd);
    return _mm_add_ps(_mm256_castps256_ps128(abcd), _mm256_extractf128_ps(abcd, 1));
}

}  // namespace quorvel
