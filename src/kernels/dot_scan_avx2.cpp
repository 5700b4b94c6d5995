// The scan's AVX2+FMA kernels: row order (packed rows and column slices with step 2, 3, 5 and 7)
// and column order. Each function is compiled for AVX2 alone and runs only when simd_available().
#include <algorithm>
#include <array>
#include <cstdint>
#include <type_traits>

#include "core/buffer.hpp"
#include "kernels/scan_layout.hpp"
#include "kernels/simd.hpp"

namespace quorvel::scan {
namespace {

alignas(32) constexpr std::int32_t kMaskTable[16] = {-1, -1, -1, -1, -1, -1, -1, -1,
                                                      0,  0,  0,  0,  0,  0,  0,  0};

// Lanes 0..n-1 set, n in 0..8. A masked-off lane is neither read nor able to fault.
QUORVEL_AVX2_INLINE __m256i lane_mask(std::size_t n) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(kMaskTable + 8 - n));
}

QUORVEL_AVX2_INLINE const float* as_floats(const std::byte* p) {
    return reinterpret_cast<const float*>(p);
}

// Block loaders for the row kernel. Block k covers row elements 8k..8k+7 and arrives in the
// loader's own lane order; the vectors are laid out in the same order, so products pair up.
// full_blocks(cols) blocks are read whole; the rest (1..8 elements) goes through last(), which
// reads no byte past the row's last element and leaves the lanes beyond it zero.

// Packed rows (column stride 4): plain unaligned loads; the vectors are used in place.
struct PackedLoader {
    static constexpr bool kPaddedVectors = false;
    static constexpr bool kStrided = false;
    static constexpr std::size_t kBlockBytes = 32;
    static std::size_t full_blocks(std::size_t cols) { return cols / 8; }
    QUORVEL_AVX2_INLINE __m256 block(const std::byte* row, std::size_t k) const {
        return _mm256_loadu_ps(as_floats(row) + 8 * k);
    }
    QUORVEL_AVX2_INLINE __m256 last(const std::byte* row, std::size_t k, std::size_t t) const {
        return _mm256_maskload_ps(as_floats(row) + 8 * k, lane_mask(t));
    }
};

// Column step 2 (m[:, ::2]): two contiguous loads and one in-lane shuffle per 8 elements, lane
// order 0 1 4 5 2 3 6 7. A gather instead took 1.80x / 2.39x the read probe against 1.12x /
// 1.23x (1M x 192 of a 1M x 384 matrix, one / three vectors). A whole block also reads the gap
// float after its last element, so it is safe only when another element follows.
struct Step2Loader {
    static constexpr bool kPaddedVectors = true;
    static constexpr bool kStrided = true;
    static constexpr std::size_t kBlockBytes = 64;
    static constexpr int kLaneElement[8] = {0, 1, 4, 5, 2, 3, 6, 7};
    static std::size_t full_blocks(std::size_t cols) { return (cols - 1) / 8; }
    QUORVEL_AVX2_INLINE __m256 block(const std::byte* row, std::size_t k) const {
        const float* b = as_floats(row) + 16 * k;
        return _mm256_shuffle_ps(_mm256_loadu_ps(b), _mm256_loadu_ps(b + 8), 0x88);
    }
    QUORVEL_AVX2_INLINE __m256 last(const std::byte* row, std::size_t k, std::size_t t) const {
        const float* b = as_floats(row) + 16 * k;
        const std::size_t raw = 2 * t - 1;  // floats from the block start to its last element
        const __m256 lo = _mm256_maskload_ps(b, lane_mask(std::min<std::size_t>(raw, 8)));
        const __m256 hi = _mm256_maskload_ps(b + 8, lane_mask(raw > 8 ? raw - 8 : 0));
        return _mm256_shuffle_ps(lo, hi, 0x88);
    }
};

// Odd column step S (3, 5, 7 floats): element e of a block sits at float e*S, in load e*S/8 and
// lane e*S%8; with S odd those lanes are all different, so S loads merged by S-1 blends put the
// 8 elements in 8 distinct lanes without any cross-lane shuffle.
template <std::size_t S>
struct OddStepLoader {
    static_assert(S % 2 == 1 && S < 8);
    static constexpr bool kPaddedVectors = true;
    static constexpr bool kStrided = true;
    static constexpr std::size_t kBlockBytes = 32 * S;
    static constexpr auto kLaneElement = [] {
        std::array<int, 8> lanes{};
        for (int e = 0; e < 8; ++e) lanes[(e * S) % 8] = e;
        return lanes;
    }();
    // kFrom[j]: the lanes that load j fills, as a blend mask.
    static constexpr auto kFrom = [] {
        std::array<std::array<std::int32_t, 8>, S> from{};
        for (std::size_t lane = 0; lane < 8; ++lane)
            from[static_cast<std::size_t>(kLaneElement[lane]) * S / 8][lane] = -1;
        return from;
    }();
    QUORVEL_AVX2_INLINE static __m256 from(std::size_t j) {
        return _mm256_castsi256_ps(
            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(kFrom[j].data())));
    }
    static std::size_t full_blocks(std::size_t cols) { return (cols - 1) / 8; }
    QUORVEL_AVX2_INLINE __m256 block(const std::byte* row, std::size_t k) const {
        const float* b = as_floats(row) + 8 * S * k;
        __m256 x = _mm256_loadu_ps(b);
        QUORVEL_UNROLL
        for (std::size_t j = 1; j < S; ++j) x = _mm256_blendv_ps(x, _mm256_loadu_ps(b + 8 * j), from(j));
        return x;
    }
    QUORVEL_AVX2_INLINE __m256 last(const std::byte* row, std::size_t k, std::size_t t) const {
        const float* b = as_floats(row) + 8 * S * k;
        const std::size_t raw = S * (t - 1) + 1;
        __m256 x = _mm256_maskload_ps(b, lane_mask(std::min<std::size_t>(raw, 8)));
        QUORVEL_UNROLL
        for (std::size_t j = 1; j < S; ++j) {
            const std::size_t n = raw > 8 * j ? std::min<std::size_t>(raw - 8 * j, 8) : 0;
            x = _mm256_blendv_ps(x, _mm256_maskload_ps(b + 8 * j, lane_mask(n)), from(j));
        }
        return x;
    }
};

// Distance in bytes from the block being read to the block prefetched with it. Rows walked
// forward form one stream per row group, prefetched 2 KiB ahead (or one row ahead when rows are
// farther apart than that); rows walked backward are prefetched whole rows ahead. On 1M x 384 C
// order with one / three / four vectors, 2 KiB took 1.07 / 1.11 / 1.10x the read probe, against
// 1.12 / 1.40 / 1.29x without prefetch and 1.07 / 1.15 / 1.17x one row (1.5 KiB) ahead.
std::ptrdiff_t prefetch_ahead(std::ptrdiff_t rs) {
    constexpr std::ptrdiff_t kAhead = 2048;
    if (rs >= 0) return rs == 0 ? 0 : std::max(rs, kAhead);
    return rs * ((kAhead - rs - 1) / -rs);
}

// Packed rows are always prefetched. Strided rows (column steps 2, 3, 5, 7) read every line of
// their span anyway, and whether a software prefetch helps them depends on the CPU. Before and
// after builds in alternating processes, 1M rows:
//   Zen 4: the hardware prefetcher alone is faster. m[:, ::2] took 1.03-1.10x the read probe
//          without the prefetch against 1.12-1.28x with it (trajectory and contrast: 1.08-1.27x
//          against 1.31-1.74x); m[:, ::3] 1.04-1.20x against 1.19x.
//   Intel Xeon (Sapphire Rapids class): the prefetch is level or faster. Plain calls without /
//          with it: m[:, ::2] 92-93 / 92-93 ms, m[:, ::3] 102 / 92 ms, m[:, ::5] 98 / 93 ms;
//          m[:, ::2] with trajectory and contrast 106-107 / 97-98 ms.
bool prefetch_strided_rows() { return cpu_is_intel(); }

// A prefetch is only a hint and never faults, so the address may lie past the matrix; it is
// formed in integers because such a pointer could not be formed by pointer arithmetic.
QUORVEL_AVX2_INLINE void prefetch_at(const std::byte* p, std::ptrdiff_t offset) {
    _mm_prefetch(reinterpret_cast<const char*>(reinterpret_cast<std::uintptr_t>(p) +
                                               static_cast<std::uintptr_t>(offset)),
                 _MM_HINT_T0);
}

// R rows against NV vectors. vec[v] is either the caller's vector (packed loader) or a copy in
// the loader's lane order padded with zeros to whole blocks.
template <std::size_t NV, std::size_t R, bool kPrefetch, class Loader>
QUORVEL_AVX2 void rows_avx2_group(const Scan& s, const Loader& ld, const float* const* vec,
                                  std::ptrdiff_t ahead, const std::size_t (&idx)[R]) {
    const std::byte* p[R];
    for (std::size_t r = 0; r < R; ++r) p[r] = row_at(s, idx[r]);
    __m256 acc[R][NV];
    QUORVEL_UNROLL
    for (std::size_t r = 0; r < R; ++r)
        QUORVEL_UNROLL
        for (std::size_t v = 0; v < NV; ++v) acc[r][v] = _mm256_setzero_ps();
    const std::size_t full = Loader::full_blocks(s.cols);
    for (std::size_t k = 0; k < full; ++k) {
        QUORVEL_UNROLL
        for (std::size_t r = 0; r < R; ++r) {
            if constexpr (kPrefetch) {
                QUORVEL_UNROLL
                for (std::size_t line = 0; line < Loader::kBlockBytes; line += 64)
                    prefetch_at(p[r], ahead + static_cast<std::ptrdiff_t>(Loader::kBlockBytes * k + line));
            }
            const __m256 x = ld.block(p[r], k);
            QUORVEL_UNROLL
            for (std::size_t v = 0; v < NV; ++v)
                acc[r][v] = _mm256_fmadd_ps(x, _mm256_loadu_ps(vec[v] + 8 * k), acc[r][v]);
        }
    }
    const std::size_t t = s.cols - 8 * full;
    if (t != 0) {
        __m256 w[NV];
        QUORVEL_UNROLL
        for (std::size_t v = 0; v < NV; ++v)
            w[v] = Loader::kPaddedVectors ? _mm256_loadu_ps(vec[v] + 8 * full)
                                          : _mm256_maskload_ps(vec[v] + 8 * full, lane_mask(t));
        QUORVEL_UNROLL
        for (std::size_t r = 0; r < R; ++r) {
            const __m256 x = ld.last(p[r], full, t);
            QUORVEL_UNROLL
            for (std::size_t v = 0; v < NV; ++v) acc[r][v] = _mm256_fmadd_ps(x, w[v], acc[r][v]);
        }
    }
    for (std::size_t v = 0; v < NV; ++v) {
        __m256 four[4] = {_mm256_setzero_ps(), _mm256_setzero_ps(), _mm256_setzero_ps(),
                          _mm256_setzero_ps()};
        for (std::size_t r = 0; r < R; ++r) four[r] = acc[r][v];
        alignas(16) float sums[4];
        _mm_store_ps(sums, horizontal_sums(four[0], four[1], four[2], four[3]));
        for (std::size_t r = 0; r < R; ++r) s.out[v][idx[r]] = sums[r];
    }
}

// Rows per group: two far-apart rows for any vector count. R * NV accumulators must fit the 16
// ymm registers beside the row block being multiplied, and on some CPUs more streams cost time
// even when they fit. 1M x 384 C order in chunks of 8K rows, medians of 5 runs:
//   Zen 5: with four vectors 4 rows (16 accumulators, spilled) 1.23x the read probe, 3 rows
//          1.04x, 2 rows 1.07x; with one to three vectors 2, 3 and 4 rows within noise
//          (0.95-1.08x).
//   Zen 4: 2 rows against 4 rows took 54 / 61 ms with one vector, 53 / 69 ms with two and
//          60 / 100 ms with three; in m[:, ::2] 58 / 63, 61 / 79 and 64 / 107 ms.
constexpr std::size_t kRowGroup = 2;

template <std::size_t NV, bool kPrefetch, class Loader>
QUORVEL_AVX2 void rows_avx2_groups(const Scan& s, const Loader& ld, const float* const* vec) {
    constexpr std::size_t R = kRowGroup;
    const std::ptrdiff_t ahead = prefetch_ahead(s.row_stride);
    for_row_groups<R>(
        s.rows,
        [&](const std::size_t(&idx)[R]) { rows_avx2_group<NV, R, kPrefetch>(s, ld, vec, ahead, idx); },
        [&](std::size_t i) {
            const std::size_t idx[1] = {i};
            rows_avx2_group<NV, 1, kPrefetch>(s, ld, vec, ahead, idx);
        });
}

template <std::size_t NV, class Loader>
void rows_avx2(const Scan& s, const Loader& ld, const float* const* vec) {
    if constexpr (!Loader::kStrided)
        rows_avx2_groups<NV, true>(s, ld, vec);
    else if (prefetch_strided_rows())
        rows_avx2_groups<NV, true>(s, ld, vec);
    else
        rows_avx2_groups<NV, false>(s, ld, vec);
}

// Copies the vectors into lane order: out[v][8k + lane] = vec[v][8k + lane_element[lane]], and 0
// past the last column.
Buffer<float> lane_ordered_vectors(const Scan& s, const int (&lane_element)[8], const float** vec) {
    const std::size_t padded = (s.cols + 7) / 8 * 8;
    Buffer<float> buf(s.vector_count * padded, "scan vectors");
    for (std::size_t v = 0; v < s.vector_count; ++v) {
        float* dst = buf.data() + v * padded;
        for (std::size_t k = 0; k < padded; k += 8)
            for (std::size_t lane = 0; lane < 8; ++lane) {
                const std::size_t c = k + static_cast<std::size_t>(lane_element[lane]);
                dst[k + lane] = c < s.cols ? s.vec[v][c] : 0.0f;
            }
        vec[v] = dst;
    }
    return buf;
}

template <class Loader>
void rows_avx2_ordered(const Scan& s, const Loader& ld) {
    int lanes[8];
    for (int l = 0; l < 8; ++l) lanes[l] = Loader::kLaneElement[l];
    const float* vec[kMaxScanVectors] = {};
    const Buffer<float> buf = lane_ordered_vectors(s, lanes, vec);
    with_vector_count(s.vector_count, [&]<std::size_t NV>() { rows_avx2<NV>(s, ld, vec); });
}

// Adds columns q[0..P) of RB blocks of 8 rows (of the first `mask` rows when kMasked) at row
// offset i into acc. The column runs are left to the hardware prefetcher: four sequential
// streams are what it follows best, and on Zen 4 (1M x 384, Fortran order) a software prefetch
// 512 B to 2 KiB ahead of each took 1.23-1.39x the read probe against 1.08-1.09x without it,
// the same kernel otherwise (T1 and NTA hints: 1.20x and 1.45x). Two blocks a step share each
// broadcast vector element: 1.49x -> 1.28x the read probe with four vectors, 1.17x -> 1.05x with
// two.
// The sums of a masked block are read and written through the mask too: they may be the
// caller's outputs, which end with the last row.
template <std::size_t NV, std::size_t P, std::size_t RB, bool kMasked, class Weights>
QUORVEL_AVX2_INLINE void add_column_blocks(const float* const (&q)[P], const Weights& w, std::size_t i,
                                           __m256i mask, float* const* acc) {
    static_assert(RB == 1 || !kMasked);
    __m256 a[RB][NV];
    QUORVEL_UNROLL
    for (std::size_t b = 0; b < RB; ++b)
        QUORVEL_UNROLL
        for (std::size_t v = 0; v < NV; ++v)
            a[b][v] = kMasked ? _mm256_maskload_ps(acc[v] + i, mask) : _mm256_loadu_ps(acc[v] + i + 8 * b);
    QUORVEL_UNROLL
    for (std::size_t j = 0; j < P; ++j) {
        __m256 x[RB];
        QUORVEL_UNROLL
        for (std::size_t b = 0; b < RB; ++b)
            x[b] = kMasked ? _mm256_maskload_ps(q[j] + i, mask) : _mm256_loadu_ps(q[j] + i + 8 * b);
        QUORVEL_UNROLL
        for (std::size_t v = 0; v < NV; ++v) {
            const __m256 wv = w.broadcast(v, j);
            QUORVEL_UNROLL
            for (std::size_t b = 0; b < RB; ++b) a[b][v] = _mm256_fmadd_ps(x[b], wv, a[b][v]);
        }
    }
    QUORVEL_UNROLL
    for (std::size_t b = 0; b < RB; ++b)
        QUORVEL_UNROLL
        for (std::size_t v = 0; v < NV; ++v) {
            if constexpr (kMasked)
                _mm256_maskstore_ps(acc[v] + i, mask, a[b][v]);
            else
                _mm256_storeu_ps(acc[v] + i + 8 * b, a[b][v]);
        }
}

// The vector elements of a pass, broadcast. With one or two vectors they are broadcast once for
// the whole run and kept in registers: read from the vectors in the loop, each would be loaded
// again for every block, since a store to the sums might have changed it (1M x 384 Fortran order,
// one vector, Zen 4, nine pairs of alternating builds: 1.14-1.20x the read probe, median 1.17x,
// against 1.17-1.30x, median 1.19x). Those of three or four vectors would not fit beside the sums
// (trajectory and contrast: 1.64-1.73x against 1.41-1.85x), so they are loaded in the loop.
template <std::size_t NV, std::size_t P>
struct HeldWeights {
    __m256 w[NV][P];
    QUORVEL_AVX2_INLINE HeldWeights(const Scan& s, std::size_t c0) {
        QUORVEL_UNROLL
        for (std::size_t v = 0; v < NV; ++v)
            QUORVEL_UNROLL
            for (std::size_t j = 0; j < P; ++j) w[v][j] = _mm256_broadcast_ss(s.vec[v] + c0 + j);
    }
    QUORVEL_AVX2_INLINE __m256 broadcast(std::size_t v, std::size_t j) const { return w[v][j]; }
};

template <std::size_t NV, std::size_t P>
struct LoadedWeights {
    const float* w[NV];
    QUORVEL_AVX2_INLINE LoadedWeights(const Scan& s, std::size_t c0) {
        QUORVEL_UNROLL
        for (std::size_t v = 0; v < NV; ++v) w[v] = s.vec[v] + c0;
    }
    QUORVEL_AVX2_INLINE __m256 broadcast(std::size_t v, std::size_t j) const {
        return _mm256_broadcast_ss(w[v] + j);
    }
};

// Adds columns c0..c0+P-1 of the n rows starting at `first` into acc[v][0..n).
template <std::size_t NV, std::size_t P>
QUORVEL_AVX2 void add_columns(const Scan& s, const std::byte* first, std::size_t c0, std::size_t n,
                              float* const* acc) {
    const float* q[P];
    QUORVEL_UNROLL
    for (std::size_t j = 0; j < P; ++j)
        q[j] = as_floats(first + static_cast<std::ptrdiff_t>(c0 + j) * s.col_stride);
    using Weights = std::conditional_t<NV <= 2, HeldWeights<NV, P>, LoadedWeights<NV, P>>;
    const Weights w(s, c0);
    const std::size_t full = n / 8 * 8;
    const __m256i all = lane_mask(8);
    std::size_t i = 0;
    for (; i + 16 <= full; i += 16) add_column_blocks<NV, P, 2, false>(q, w, i, all, acc);
    for (; i < full; i += 8) add_column_blocks<NV, P, 1, false>(q, w, i, all, acc);
    if (full != n) add_column_blocks<NV, P, 1, true>(q, w, full, lane_mask(n - full), acc);
}

// Column order with packed columns (row stride 4, e.g. Fortran order): chunks of 64K rows, and
// per chunk the columns P at a time, each pass adding into per-row sums that stay in L2 (the
// outputs themselves when rows run forward). Each pass reads P column runs of up to 256 KiB, one
// stream per column. Every row's sum takes its columns in order whatever P, so P and the chunk
// change no bit of the result. 4 columns a pass and 64K-row chunks: on Zen 4 (1M x 384, one
// vector) 1.09x the read probe, against 1.10x with 8 columns and 1.08x with 256K-row chunks;
// 8K to 32K-row chunks were slower (74-89 ms against 66, measured with a software prefetch).
template <std::size_t NV>
QUORVEL_AVX2 void cols_avx2(Scan s) {
    if (s.row_stride < 0) flip_rows(s);
    constexpr std::size_t kChunk = 65536;
    constexpr std::size_t P = 4;
    // Shorter matrices go in 8K-row chunks: at that size the difference is small, and the chunk
    // loop is crossed by matrices of a few tens of thousands of rows, as the kernel tests build.
    const std::size_t chunk = s.rows >= kChunk ? kChunk : std::min<std::size_t>(8192, (s.rows + 7) / 8 * 8);
    // Rows written backwards (a flipped scan) are summed in a buffer and copied out.
    const bool direct = s.out_step == 1;
    Buffer<float> sums(direct ? 0 : NV * chunk, "scan row sums");
    for (std::size_t r0 = 0; r0 < s.rows; r0 += chunk) {
        const std::size_t n = std::min(chunk, s.rows - r0);
        float* acc[NV];
        for (std::size_t v = 0; v < NV; ++v) {
            acc[v] = direct ? s.out[v] + r0 : sums.data() + v * chunk;
            std::fill_n(acc[v], n, 0.0f);
        }
        const std::byte* first = row_at(s, r0);
        std::size_t c = 0;
        for (; c + P <= s.cols; c += P) add_columns<NV, P>(s, first, c, n, acc);
        for (; c < s.cols; ++c) add_columns<NV, 1>(s, first, c, n, acc);
        if (direct) continue;
        for (std::size_t v = 0; v < NV; ++v)
            for (std::size_t i = 0; i < n; ++i)
                s.out[v][static_cast<std::ptrdiff_t>(r0 + i) * s.out_step] = acc[v][i];
    }
}

}  // namespace

void scan_avx2(const Scan& s) {
    const bool packed_columns = (s.row_stride == kFloat || s.row_stride == -kFloat) && (s.col_stride != kFloat || s.cols == 1);
    if (packed_columns) {
        with_vector_count(s.vector_count, [&]<std::size_t NV>() { cols_avx2<NV>(s); });
    } else if (s.col_stride == kFloat) {
        const PackedLoader ld;
        with_vector_count(s.vector_count, [&]<std::size_t NV>() { rows_avx2<NV>(s, ld, s.vec); });
    } else if (s.col_stride == 2 * kFloat) {
        rows_avx2_ordered(s, Step2Loader{});
    } else if (s.col_stride == 3 * kFloat) {
        rows_avx2_ordered(s, OddStepLoader<3>{});
    } else if (s.col_stride == 5 * kFloat) {
        rows_avx2_ordered(s, OddStepLoader<5>{});
    } else if (s.col_stride == 7 * kFloat) {
        rows_avx2_ordered(s, OddStepLoader<7>{});
    } else {
        scan_scalar(s);
    }
}

}  // namespace quorvel::scan
