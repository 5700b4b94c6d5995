// Greedy Maximal Marginal Relevance selection over a caller's candidate rows: each pick trades a
// candidate's relevance against its highest similarity to the rows already picked.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/views.hpp"

namespace quorvel {

struct MmrPick {
    std::uint64_t index;  // the candidate's row index (its value, not its position in the list)
    double score;         // MMR score of the pick
};

// Picks up to max(1, k) candidates, in pick order. candidates[0] is always the first pick, with
// score relevance[candidates[0]] * lambda. Similarities are raw float32 dot products of the
// candidates' matrix rows; lambda is used as given. An empty list returns empty without reading
// anything else. Throws InternalFailure for a candidate >= matrix.rows ("assertion failed:
// index < dim") or, after that check, >= relevance.len; OutOfMemory when the n x n similarity
// matrix or the gathered rows cannot be had.
std::vector<MmrPick> mmr_select(std::span<const std::uint64_t> candidates, const FloatVector& relevance,
                                const FloatMatrix& matrix, std::uint64_t k, double lambda);

// sim = g * g^T (n x n, row-major) for n packed rows of d floats, float32 sums, exactly symmetric.
// gram() picks the AVX2+FMA path once per process when the CPU has it; both paths are exposed so
// the kernel tests can check each against the same reference.
void gram(const float* g, std::size_t n, std::size_t d, float* sim);
void gram_scalar(const float* g, std::size_t n, std::size_t d, float* sim);
void gram_avx2(const float* g, std::size_t n, std::size_t d, float* sim);
bool gram_avx2_available();

}  // namespace quorvel
