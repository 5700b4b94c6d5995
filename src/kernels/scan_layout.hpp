// The scan after layout normalisation, shared by its scalar and AVX2 kernels (dot_scan.cpp
// normalises and dispatches; dot_scan_scalar.cpp and dot_scan_avx2.cpp hold the kernels).
#pragma once

#include <cstddef>

#include "core/views.hpp"
#include "kernels/dot_scan.hpp"

namespace quorvel::scan {

constexpr std::ptrdiff_t kFloat = sizeof(float);

// A scan after normalisation: col_stride >= 0, and col_stride == 4 whenever there is a single
// column.
struct Scan {
    const std::byte* base = nullptr;  // element (0, 0)
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::ptrdiff_t row_stride = 0;  // bytes
    std::ptrdiff_t col_stride = 0;  // bytes
    std::size_t vector_count = 0;
    const float* vec[kMaxScanVectors] = {};
    float* out[kMaxScanVectors] = {};
    // Row i's result goes to out[v][i * out_step]; -1 after a column-order kernel flipped the rows
    // (out[v] then points at the entry of the last row).
    std::ptrdiff_t out_step = 1;
};

inline float load_float(const std::byte* p) { return load_unaligned<float>(p); }

inline const std::byte* row_at(const Scan& s, std::size_t r) {
    return s.base + static_cast<std::ptrdiff_t>(r) * s.row_stride;
}

// Column-order kernels walk rows upwards in memory: a row stride of -4 becomes +4 by starting
// from the last row and writing the results backwards.
inline void flip_rows(Scan& s) {
    const std::ptrdiff_t last = static_cast<std::ptrdiff_t>(s.rows) - 1;
    s.base += last * s.row_stride;
    s.row_stride = -s.row_stride;
    for (std::size_t v = 0; v < s.vector_count; ++v) s.out[v] += last * s.out_step;
    s.out_step = -s.out_step;
}

// Rows are taken R at a time from R equal blocks far apart (i, i + q, i + 2q, ...), so that each
// of R streams runs on sequentially from row to row; the rows % R left over run one at a time.
// group(idx) receives the R row indices. R adjacent rows instead took 1.4-1.8x the time of the
// read probe against 1.0-1.06x (1M x 384 C order, 1 to 4 vectors, with prefetch).
template <std::size_t R, class Group, class Single>
void for_row_groups(std::size_t rows, Group&& group, Single&& single) {
    const std::size_t q = rows / R;
    for (std::size_t i = 0; i < q; ++i) {
        std::size_t idx[R];
        for (std::size_t r = 0; r < R; ++r) idx[r] = i + r * q;
        group(idx);
    }
    for (std::size_t i = R * q; i < rows; ++i) single(i);
}

template <class F>
void with_vector_count(std::size_t count, F&& f) {
    switch (count) {
        case 1: f.template operator()<1>(); break;
        case 2: f.template operator()<2>(); break;
        case 3: f.template operator()<3>(); break;
        default: f.template operator()<4>(); break;
    }
}

// The kernels over a normalised scan. scan_avx2 needs simd_available(); layouts it has no kernel
// for go to scan_scalar.
void scan_scalar(const Scan& s);
void scan_avx2(const Scan& s);

}  // namespace quorvel::scan
