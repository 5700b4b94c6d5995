// The scan's checks, its layout normalisation and the dispatch between the scalar and the AVX2
// kernels: reversed columns become forward ones against reversed vectors, broadcast rows are
// scanned once, and the kernels only ever see a non-negative column stride.
#include "kernels/dot_scan.hpp"

#include <algorithm>
#include <string>

#include "core/buffer.hpp"
#include "core/failure.hpp"
#include "kernels/scan_layout.hpp"
#include "kernels/simd.hpp"

namespace quorvel {
namespace {

using scan::Scan;

// The arguments' failures; true when there is a row and a column to scan.
bool check_arguments(const FloatMatrix& m, std::span<const float* const> vectors,
                     std::span<float* const> outs) {
    const std::size_t nv = vectors.size();
    if (nv == 0 || nv > kMaxScanVectors)
        fail("dot_scan takes 1 to " + std::to_string(kMaxScanVectors) + " vectors, got " +
             std::to_string(nv));
    if (outs.size() != nv)
        fail("dot_scan got " + std::to_string(nv) + " vectors but " + std::to_string(outs.size()) +
             " outputs");
    if (m.rows == 0) return false;
    for (std::size_t v = 0; v < nv; ++v) {
        if (outs[v] == nullptr) fail("dot_scan output is null");
        if (m.cols != 0 && vectors[v] == nullptr) fail("dot_scan vector is null");
    }
    if (m.cols == 0) {
        for (std::size_t v = 0; v < nv; ++v) std::fill_n(outs[v], m.rows, 0.0f);
        return false;
    }
    if (m.data == nullptr) fail("dot_scan matrix data is null");
    return true;
}

Scan make_scan(const FloatMatrix& m, std::span<const float* const> vectors, std::span<float* const> outs) {
    Scan s;
    s.base = m.data;
    s.rows = m.rows;
    s.cols = m.cols;
    s.row_stride = m.rows == 1 ? 0 : m.row_stride;
    s.col_stride = m.cols == 1 ? scan::kFloat : m.col_stride;
    s.vector_count = vectors.size();
    for (std::size_t v = 0; v < s.vector_count; ++v) {
        s.vec[v] = vectors[v];
        s.out[v] = outs[v];
    }
    return s;
}

// Reversed columns: start from each row's last element and walk forward against reversed
// copies of the vectors, which the returned buffer holds.
Buffer<float> reverse_columns(Scan& s) {
    Buffer<float> reversed(s.vector_count * s.cols, "reversed scan vectors");
    for (std::size_t v = 0; v < s.vector_count; ++v) {
        float* dst = reversed.data() + v * s.cols;
        for (std::size_t c = 0; c < s.cols; ++c) dst[c] = s.vec[v][s.cols - 1 - c];
        s.vec[v] = dst;
    }
    s.base += static_cast<std::ptrdiff_t>(s.cols - 1) * s.col_stride;
    s.col_stride = -s.col_stride;
    return reversed;
}

template <class Kernel>
void run_scan(const FloatMatrix& m, std::span<const float* const> vectors, std::span<float* const> outs,
              Kernel&& kernel) {
    if (!check_arguments(m, vectors, outs)) return;
    Scan s = make_scan(m, vectors, outs);
    const Buffer<float> reversed = s.col_stride < 0 ? reverse_columns(s) : Buffer<float>();
    // Broadcast rows (row stride 0): one row is scanned and its result copied.
    if (s.row_stride == 0 && s.rows > 1) {
        const std::size_t rows = s.rows;
        s.rows = 1;
        kernel(s);
        for (std::size_t v = 0; v < s.vector_count; ++v) std::fill_n(s.out[v] + 1, rows - 1, s.out[v][0]);
        return;
    }
    kernel(s);
}

}  // namespace

bool scan_reads_columns(const FloatMatrix& matrix) {
    if (matrix.rows <= 1 || matrix.cols <= 1) return false;
    const std::ptrdiff_t rs = matrix.row_stride < 0 ? -matrix.row_stride : matrix.row_stride;
    const std::ptrdiff_t cs = matrix.col_stride < 0 ? -matrix.col_stride : matrix.col_stride;
    return rs != 0 && rs < cs;
}

void dot_scan_scalar(const FloatMatrix& matrix, std::span<const float* const> vectors,
                     std::span<float* const> outs) {
    run_scan(matrix, vectors, outs, scan::scan_scalar);
}

void dot_scan_avx2(const FloatMatrix& matrix, std::span<const float* const> vectors,
                   std::span<float* const> outs) {
    if (!simd_available()) fail("dot_scan_avx2 called on a CPU without AVX2 and FMA");
    run_scan(matrix, vectors, outs, scan::scan_avx2);
}

void dot_scan(const FloatMatrix& matrix, std::span<const float* const> vectors,
              std::span<float* const> outs) {
    if (simd_available())
        dot_scan_avx2(matrix, vectors, outs);
    else
        dot_scan_scalar(matrix, vectors, outs);
}

}  // namespace quorvel
