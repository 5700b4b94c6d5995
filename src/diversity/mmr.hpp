// Greedy Maximal Marginal Relevance selection over a caller's candidate rows: each pick trades a
// candidate's relevance against its highest similarity to the rows already picked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/views.hpp"

namespace quorvel {

struct MmrPick {
    std::uint64_t index;  // the candidate's row index (its value, not its position in the list)
    double score;         // MMR score of the pick
};

// out[j] = dot(a, rows[j]) for j < n, each over d floats with float32 sums. The value of a pair
// does not depend on its place in the list nor on which of the two rows is a: the products
// commute and every pair is summed in the same fixed order, so a row of these values equals the
// matching row of the full product of the rows with themselves, bit for bit.
using SimilarityRowFn = void (*)(const float* a, const float* const* rows, std::size_t n, std::size_t d,
                                 float* out);
void similarity_row_scalar(const float* a, const float* const* rows, std::size_t n, std::size_t d, float* out);
void similarity_row_avx2(const float* a, const float* const* rows, std::size_t n, std::size_t d, float* out);
bool similarity_avx2_available();
// The AVX2+FMA path when the CPU has it (checked once per process), the scalar path otherwise.
SimilarityRowFn similarity_row_kernel();

// Picks up to max(1, k) candidates, in pick order. candidates[0] is always the first pick, with
// score relevance[candidates[0]] * lambda. Similarities are raw float32 dot products of the
// candidates' matrix rows, computed one row of the pool at a time when a position is picked;
// lambda is used as given. An empty list returns empty without reading anything else. Throws
// InternalFailure for a candidate >= matrix.rows ("assertion failed: index < dim") or, after
// that check, >= relevance.len; OutOfMemory when the working state cannot be had.
std::vector<MmrPick> mmr_select(std::span<const std::uint64_t> candidates, const FloatVector& relevance,
                                const FloatMatrix& matrix, std::uint64_t k, double lambda,
                                SimilarityRowFn similarity_row = similarity_row_kernel());

// The same selection with the relevance given per position: scores[i] belongs to candidates[i]
// (the scoring pipeline's pool, whose scores are kept beside its positions). scores.size() must
// equal candidates.size().
std::vector<MmrPick> mmr_select_scored(std::span<const std::uint64_t> candidates, std::span<const float> scores,
                                       const FloatMatrix& matrix, std::uint64_t k, double lambda,
                                       SimilarityRowFn similarity_row = similarity_row_kernel());

}  // namespace quorvel
