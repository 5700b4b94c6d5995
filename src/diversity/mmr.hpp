// Greedy Maximal Marginal Relevance selection over a caller's candidate rows: each pick trades a
// candidate's relevance against its highest similarity to the rows already picked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/views.hpp"
#include "kernels/similarity.hpp"

namespace quorvel {

struct MmrPick {
    std::uint64_t index;  // the candidate's row index (its value, not its position in the list)
    double score;         // MMR score of the pick
};

// How the picks after the seed are found; both ways give the same picks and scores, bit for bit.
// `automatic` keeps each position's last score as an upper bound of its current one and compares
// only the positions that reach the top of those bounds with the picks made since, when
// 0 < 1 - lambda < inf guarantees that scores only fall (a handful of dot products per pick
// instead of a row of n); otherwise, and with `eager`, every pick computes its full row of
// similarities and every unpicked position is rescored.
enum class MmrScan { automatic, eager };

// Picks up to max(1, k) candidates, in pick order. candidates[0] is always the first pick, with
// score relevance[candidates[0]] * lambda. Similarities are raw float32 dot products of the
// candidates' matrix rows: the seed's row against the whole pool, then as the scan needs them
// (see MmrScan); lambda is used as given. An empty list returns empty without reading anything
// else. Throws InternalFailure for a candidate >= matrix.rows ("assertion failed: index < dim")
// or, after that check, >= relevance.len; OutOfMemory when the working state cannot be had.
std::vector<MmrPick> mmr_select(std::span<const std::uint64_t> candidates, const FloatVector& relevance,
                                const FloatMatrix& matrix, std::uint64_t k, double lambda,
                                SimilarityRowFn similarity_row = similarity_row_kernel(),
                                MmrScan scan = MmrScan::automatic);

// The same selection with the relevance given per position: scores[i] belongs to candidates[i]
// (the scoring pipeline's pool, whose scores are kept beside its positions). scores.size() must
// equal candidates.size().
std::vector<MmrPick> mmr_select_scored(std::span<const std::uint64_t> candidates, std::span<const float> scores,
                                       const FloatMatrix& matrix, std::uint64_t k, double lambda,
                                       SimilarityRowFn similarity_row = similarity_row_kernel(),
                                       MmrScan scan = MmrScan::automatic);

}  // namespace quorvel
