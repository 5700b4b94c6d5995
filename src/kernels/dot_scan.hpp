// The matrix-vector scan: float32 dot products of every matrix row with one to four vectors,
// reading each row once for all of them. Owns the layout dispatch (row order, column order,
// reversed and sliced axes, broadcast, unaligned byte strides) and its scalar and AVX2 kernels.
#pragma once

#include <cstddef>
#include <span>

#include "core/views.hpp"

namespace quorvel {

// Most vectors one scan takes. Four covers the query, the trajectory direction and the
// negative query with one to spare; more would not fit the AVX2 accumulators of a row group.
inline constexpr std::size_t kMaxScanVectors = 4;

// outs[v][i] = float32 dot product of matrix row i with vectors[v], for v < vectors.size().
// Each vector is contiguous and matrix.cols long; each out has room for matrix.rows floats and
// overlaps neither the matrix nor a vector. cols == 0 writes zeros; rows == 0 writes nothing.
// The summation order is unspecified (blocked and fused), the accumulation is float32.
// Throws InternalFailure when vectors.size() is not 1..4 or differs from outs.size(), or when
// a pointer that would be read or written is null; OutOfMemory when a per-call work buffer
// (reversed or reordered vector copies, row sums of reversed column-order rows: at most 1 MiB)
// cannot be had. Nothing is allocated per row.
void dot_scan(const FloatMatrix& matrix, std::span<const float* const> vectors,
              std::span<float* const> outs);

// True when dot_scan reads this matrix column by column (rows closer together in memory than
// columns, as in Fortran order): it then runs fastest on long runs of rows, 64K at a time, and a
// caller that scans in chunks of rows should make them that long.
bool scan_reads_columns(const FloatMatrix& matrix);

// The two implementations behind dot_scan, exposed so that tests compare both on every run.
// dot_scan_scalar runs anywhere; dot_scan_avx2 throws InternalFailure unless simd_available()
// (kernels/simd.hpp).
void dot_scan_scalar(const FloatMatrix& matrix, std::span<const float* const> vectors,
                     std::span<float* const> outs);
void dot_scan_avx2(const FloatMatrix& matrix, std::span<const float* const> vectors,
                   std::span<float* const> outs);

}  // namespace quorvel
