// The scan's portable kernels: any strides, every element read with memcpy. The reference that
// the AVX2 kernels are tested against, and the path of CPUs without AVX2.
#include <algorithm>

#include "kernels/scan_layout.hpp"
#include "kernels/simd.hpp"

namespace quorvel::scan {
namespace {

template <std::size_t NV, std::size_t R>
void rows_scalar_group(const Scan& s, const std::size_t (&idx)[R]) {
    const std::byte* p[R];
    for (std::size_t r = 0; r < R; ++r) p[r] = row_at(s, idx[r]);
    float acc[R][NV] = {};
    for (std::size_t c = 0; c < s.cols; ++c) {
        float w[NV];
        QUORVEL_UNROLL
        for (std::size_t v = 0; v < NV; ++v) w[v] = s.vec[v][c];
        const std::ptrdiff_t off = static_cast<std::ptrdiff_t>(c) * s.col_stride;
        QUORVEL_UNROLL
        for (std::size_t r = 0; r < R; ++r) {
            const float x = load_float(p[r] + off);
            QUORVEL_UNROLL
            for (std::size_t v = 0; v < NV; ++v) acc[r][v] += x * w[v];
        }
    }
    for (std::size_t r = 0; r < R; ++r)
        for (std::size_t v = 0; v < NV; ++v) s.out[v][idx[r]] = acc[r][v];
}

template <std::size_t NV>
void rows_scalar(const Scan& s) {
    for_row_groups<4>(
        s.rows, [&](const std::size_t(&idx)[4]) { rows_scalar_group<NV, 4>(s, idx); },
        [&](std::size_t i) {
            const std::size_t idx[1] = {i};
            rows_scalar_group<NV, 1>(s, idx);
        });
}

// Column order: per chunk of rows, columns are added four at a time into per-row sums, so each
// column is read as a run of consecutive rows when rows are close together in memory.
template <std::size_t NV>
void cols_scalar(Scan s) {
    if (s.row_stride < 0) flip_rows(s);
    constexpr std::size_t kChunk = 256;
    float acc[NV][kChunk];
    for (std::size_t r0 = 0; r0 < s.rows; r0 += kChunk) {
        const std::size_t n = std::min(kChunk, s.rows - r0);
        for (std::size_t v = 0; v < NV; ++v) std::fill_n(acc[v], n, 0.0f);
        const std::byte* first = row_at(s, r0);
        std::size_t c = 0;
        for (; c + 4 <= s.cols; c += 4) {
            const std::byte* q = first + static_cast<std::ptrdiff_t>(c) * s.col_stride;
            float w[4][NV];
            QUORVEL_UNROLL
            for (std::size_t j = 0; j < 4; ++j)
                QUORVEL_UNROLL
                for (std::size_t v = 0; v < NV; ++v) w[j][v] = s.vec[v][c + j];
            for (std::size_t i = 0; i < n; ++i) {
                const std::byte* e = q + static_cast<std::ptrdiff_t>(i) * s.row_stride;
                const float x0 = load_float(e);
                const float x1 = load_float(e + s.col_stride);
                const float x2 = load_float(e + 2 * s.col_stride);
                const float x3 = load_float(e + 3 * s.col_stride);
                QUORVEL_UNROLL
                for (std::size_t v = 0; v < NV; ++v)
                    acc[v][i] += x0 * w[0][v] + x1 * w[1][v] + x2 * w[2][v] + x3 * w[3][v];
            }
        }
        for (; c < s.cols; ++c) {
            const std::byte* q = first + static_cast<std::ptrdiff_t>(c) * s.col_stride;
            for (std::size_t i = 0; i < n; ++i) {
                const float x = load_float(q + static_cast<std::ptrdiff_t>(i) * s.row_stride);
                QUORVEL_UNROLL
                for (std::size_t v = 0; v < NV; ++v) acc[v][i] += x * s.vec[v][c];
            }
        }
        for (std::size_t v = 0; v < NV; ++v)
            for (std::size_t i = 0; i < n; ++i)
                s.out[v][static_cast<std::ptrdiff_t>(r0 + i) * s.out_step] = acc[v][i];
    }
}

// Column order pays off when neighbouring rows are closer in memory than neighbouring columns
// (Fortran order and its slices); otherwise each row is walked on its own.
}  // namespace

void scan_scalar(const Scan& s) {
    const std::ptrdiff_t ars = s.row_stride < 0 ? -s.row_stride : s.row_stride;
    const bool column_order = ars != 0 && ars < s.col_stride;
    with_vector_count(s.vector_count, [&]<std::size_t NV>() {
        if (column_order)
            cols_scalar<NV>(s);
        else
            rows_scalar<NV>(s);
    });
}

}  // namespace quorvel::scan
