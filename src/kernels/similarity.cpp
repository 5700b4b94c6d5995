// The diversity selection's similarity kernels: a row of float32 dot products of one pool row with
// every pool row, a portable path that the compiler vectorises and an AVX2+FMA path.
#include "kernels/similarity.hpp"

#include "core/failure.hpp"
#include "kernels/simd.hpp"

namespace quorvel {
namespace {

constexpr std::size_t kLanes = 8;

// Dot products of row a with rows b0..b3 (all d floats). Eight independent partial sums per
// pair keep the loop free of a serial dependency so the compiler can vectorise it, and sharing
// the loads of a across four rows halves the memory traffic of four separate dot products.
void dot4(const float* a, const float* b0, const float* b1, const float* b2, const float* b3,
          std::size_t d, float* out) {
    float s0[kLanes] = {}, s1[kLanes] = {}, s2[kLanes] = {}, s3[kLanes] = {};
    std::size_t i = 0;
    for (; i + kLanes <= d; i += kLanes) {
        for (std::size_t l = 0; l < kLanes; ++l) {
            const float x = a[i + l];
            s0[l] += x * b0[i + l];
            s1[l] += x * b1[i + l];
            s2[l] += x * b2[i + l];
            s3[l] += x * b3[i + l];
        }
    }
    for (std::size_t l = 0; i < d; ++i, ++l) {
        const float x = a[i];
        s0[l] += x * b0[i];
        s1[l] += x * b1[i];
        s2[l] += x * b2[i];
        s3[l] += x * b3[i];
    }
    float* sums[4] = {s0, s1, s2, s3};
    for (std::size_t r = 0; r < 4; ++r) {
        const float* s = sums[r];
        out[r] = ((s[0] + s[4]) + (s[1] + s[5])) + ((s[2] + s[6]) + (s[3] + s[7]));
    }
}

float dot1(const float* a, const float* b, std::size_t d) {
    float s[kLanes] = {};
    std::size_t i = 0;
    for (; i + kLanes <= d; i += kLanes)
        for (std::size_t l = 0; l < kLanes; ++l) s[l] += a[i + l] * b[i + l];
    for (std::size_t l = 0; i < d; ++i, ++l) s[l] += a[i] * b[i];
    return ((s[0] + s[4]) + (s[1] + s[5])) + ((s[2] + s[6]) + (s[3] + s[7]));
}

}  // namespace

void similarity_row_scalar(const float* a, const float* const* rows, std::size_t n, std::size_t d, float* out) {
    std::size_t j = 0;
    for (; j + 4 <= n; j += 4) dot4(a, rows[j], rows[j + 1], rows[j + 2], rows[j + 3], d, out + j);
    for (; j < n; ++j) out[j] = dot1(a, rows[j], d);
}

namespace {

// Row a against rows b[0..R), two accumulators per pair so that 2R independent FMA chains hide
// the FMA latency; the 16-float step loads a once for all R rows. Each pair's sum runs the same
// steps whatever R is, and fma(x, y, acc) is fma(y, x, acc), so a pair's value is the same in
// every group and in either order. With kRequestAhead, each 16-float step (one cache line) also
// requests the matching line of each of the R rows ahead[0..R) into L2, and the tail requests
// their last lines: requests spread over the sums instead of in one burst per group (see
// similarity_row_avx2). Requests change no value.
template <int R, bool kRequestAhead = false>
QUORVEL_AVX2_INLINE void dot_rows_avx2(const float* a, const float* const* b, std::size_t d, float* out,
                                       const float* const* ahead = nullptr) {
    __m256 acc0[R], acc1[R];
    for (int r = 0; r < R; ++r) acc0[r] = acc1[r] = _mm256_setzero_ps();
    std::size_t i = 0;
    for (; i + 16 <= d; i += 16) {
        if constexpr (kRequestAhead)
            for (int r = 0; r < R; ++r) _mm_prefetch(reinterpret_cast<const char*>(ahead[r] + i), _MM_HINT_T1);
        const __m256 x0 = _mm256_loadu_ps(a + i);
        const __m256 x1 = _mm256_loadu_ps(a + i + 8);
        for (int r = 0; r < R; ++r) {
            acc0[r] = _mm256_fmadd_ps(x0, _mm256_loadu_ps(b[r] + i), acc0[r]);
            acc1[r] = _mm256_fmadd_ps(x1, _mm256_loadu_ps(b[r] + i + 8), acc1[r]);
        }
    }
    if (i + 8 <= d) {
        const __m256 x0 = _mm256_loadu_ps(a + i);
        for (int r = 0; r < R; ++r) acc0[r] = _mm256_fmadd_ps(x0, _mm256_loadu_ps(b[r] + i), acc0[r]);
        i += 8;
    }
    if constexpr (kRequestAhead) {
        // The lines past the last full step: the row's tail, and its last line when the row does
        // not start on a line boundary.
        for (int r = 0; r < R; ++r) {
            if (i < d) _mm_prefetch(reinterpret_cast<const char*>(ahead[r] + i), _MM_HINT_T1);
            _mm_prefetch(reinterpret_cast<const char*>(ahead[r] + d) - 1, _MM_HINT_T1);
        }
    }
    for (int r = 0; r < R; ++r) {
        float sum = horizontal_sum(_mm256_add_ps(acc0[r], acc1[r]));
        for (std::size_t t = i; t < d; ++t) sum += a[t] * b[r][t];
        out[r] = sum;
    }
}

// Rows of a large pool are scattered through a matrix that the scan has just streamed through the
// caches, so most come from memory, and a row of 1.5 KiB ends before the hardware prefetcher has
// ramped up. The row group kPrefetchRowsAhead rows ahead is therefore requested into L2, every
// line of it, while the current group is summed. Measured on the seed's row of a 10,000-row pool
// of 100,000 x 384 after a scan (AMD EPYC Zen 4, 2 MiB pages, medians of 31): 1.18 ms without,
// 0.85-0.91 ms with 8-16 rows ahead into L2; into L1 the requests crowded out the loads (1.7 ms
// for every line, 1.0-1.1 ms for every eighth). Spread one line per row over the group's steps
// rather than issued as one burst of 96 before it, the requests keep memory busier: 0.76-0.86
// ms against 0.83-0.98 ms in the same runs (the caches emptied between rounds; 8 to 64 rows
// ahead alike), and a diverse call with oversample 10,000 took 0.13-0.17 ms less. Spread requests
// into L1 took 1.56 ms against 1.0 ms into L2. Pools smaller than kPrefetchFromFloats are
// likely cached, and rows longer than kPrefetchRowsUpTo floats long enough for the hardware
// prefetcher; both skip the requests.
constexpr std::size_t kPrefetchRowsAhead = 16;
constexpr std::size_t kPrefetchFromFloats = std::size_t{1} << 18;  // 1 MiB of rows
constexpr std::size_t kPrefetchRowsUpTo = 4096;                     // 16 KiB rows

}  // namespace

QUORVEL_AVX2 void similarity_row_avx2(const float* a, const float* const* rows, std::size_t n, std::size_t d,
                                     float* out) {
    if (!simd_available()) fail("the AVX2 similarity kernel needs a CPU with AVX2 and FMA");
    std::size_t j = 0;
    if (d > 0 && d <= kPrefetchRowsUpTo && n >= kPrefetchFromFloats / d) {
        for (; j + 4 + kPrefetchRowsAhead <= n; j += 4)
            dot_rows_avx2<4, true>(a, rows + j, d, out + j, rows + j + kPrefetchRowsAhead);
    }
    for (; j + 4 <= n; j += 4) dot_rows_avx2<4>(a, rows + j, d, out + j);
    for (; j < n; ++j) dot_rows_avx2<1>(a, rows + j, d, out + j);
}

// Measured on the full 200 x 200 product of 384-dim rows (medians of 31, -O3, busy 2-core
// machine): the scalar path, which the compiler vectorises to SSE, 2.2 ms; AVX2+FMA 0.33 ms.
SimilarityRowFn similarity_row_kernel() {
    return simd_available() ? similarity_row_avx2 : similarity_row_scalar;
}

}  // namespace quorvel
