// The similarity rows of the diversity selection: one pool row against every pool row, float32,
// with a scalar and an AVX2+FMA path chosen once per process.
#pragma once

#include <cstddef>

namespace quorvel {

// out[j] = dot(a, rows[j]) for j < n, each over d floats with float32 sums. The value of a pair
// does not depend on its place in the list nor on which of the two rows is a: the products
// commute and every pair is summed in the same fixed order, so a row of these values equals the
// matching row of the full product of the rows with themselves, bit for bit.
using SimilarityRowFn = void (*)(const float* a, const float* const* rows, std::size_t n, std::size_t d,
                                 float* out);
void similarity_row_scalar(const float* a, const float* const* rows, std::size_t n, std::size_t d, float* out);
// Needs simd_available() (kernels/simd.hpp): throws InternalFailure without it.
void similarity_row_avx2(const float* a, const float* const* rows, std::size_t n, std::size_t d, float* out);
// The AVX2+FMA path when the CPU has it (checked once per process), the scalar path otherwise.
SimilarityRowFn similarity_row_kernel();

}  // namespace quorvel
