// Maximal Marginal Relevance selection: picks greedily while keeping each candidate's redundancy,
// computing the float32 similarities of a position to the whole pool only when it is picked.
#include "diversity/mmr.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <new>
#include <span>
#include <string>

#include "core/buffer.hpp"
#include "core/failure.hpp"
#include "diversity/select_rows.hpp"
#include "kernels/similarity.hpp"

namespace quorvel {

namespace {

// Folds one row of similarities into the running maxima. A NaN similarity never replaces a
// value, so a position whose similarities were all NaN keeps -inf.
void merge_max(double* max_sim, const float* sim_row, std::size_t n) {
    for (std::size_t j = 0; j < n; ++j) {
        const double s = sim_row[j];
        if (std::isnan(max_sim[j]) || s > max_sim[j]) max_sim[j] = s;
    }
}

// Row pointers of the candidates, in list order, each checked against the matrix in that order.
// Rows readable in place are not copied; other layouts (strided columns, unaligned data, no
// columns) are gathered into a packed copy first.
struct CandidateRows {
    Buffer<float> gathered;
    Buffer<const float*> rows;
};

CandidateRows candidate_rows(const FloatMatrix& matrix, std::span<const std::uint64_t> candidates) {
    const std::size_t n = candidates.size();
    CandidateRows out;
    if (matrix.cols > 0 && matrix.rows_contiguous()) {
        out.rows = Buffer<const float*>(n, "candidate rows");
        for (std::size_t i = 0; i < n; ++i) {
            if (candidates[i] >= matrix.rows) [[unlikely]]
                fail("assertion failed: index < dim");
            out.rows[i] = matrix.row_as_ptr(candidates[i]);
        }
        return out;
    }
    out.gathered = select_rows(matrix, candidates);
    out.rows = Buffer<const float*>(n, "candidate rows");
    for (std::size_t i = 0; i < n; ++i) out.rows[i] = out.gathered.data() + i * matrix.cols;
    return out;
}

// The greedy selection over n positions with row pointers rows[0..n) of d floats and relevance
// rel[0..n). Each pick costs one row of similarities (n dot products), one merge into max_sim and
// one scan of the unpicked positions; only one row is held at a time.
std::vector<MmrPick> select_greedy(std::span<const std::uint64_t> candidates, const double* rel,
                                   const float* const* rows, std::size_t d, std::uint64_t k, double lambda,
                                   SimilarityRowFn similarity_row) {
    const std::size_t n = candidates.size();
    Buffer<float> sim_row(n, "similarity row");
    Buffer<double> max_sim(n, "mmr redundancy");
    std::fill_n(max_sim.data(), n, -std::numeric_limits<double>::infinity());
    Buffer<unsigned char> selected(n, "mmr picked flags");
    std::fill_n(selected.data(), n, static_cast<unsigned char>(0));

    // Nothing below allocates: at most min(n, max(k, 1)) picks are ever appended.
    std::vector<MmrPick> result;
    const std::size_t cap = static_cast<std::size_t>(std::min<std::uint64_t>(n, std::max<std::uint64_t>(k, 1)));
    try {
        result.reserve(cap);
    } catch (const std::bad_alloc&) {
        throw OutOfMemory{cap * sizeof(MmrPick), "mmr picks"};
    }

    auto pick = [&](std::size_t pos, double score) {
        result.push_back({candidates[pos], score});
        selected[pos] = 1;
        similarity_row(rows[pos], rows, n, d, sim_row.data());
        merge_max(max_sim.data(), sim_row.data(), n);
    };

    // The seed is taken whatever its relevance and carries no redundancy term.
    pick(0, rel[0] * lambda);
    if (k < 2) return result;

    const double redundancy_weight = 1.0 - lambda;
    while (result.size() < k && result.size() < n) {
        double best = -std::numeric_limits<double>::infinity();
        std::size_t best_pos = 0;
        for (std::size_t i = 0; i < n; ++i) {
            if (selected[i]) continue;
            // Separate statements so both products are rounded before the difference.
            const double gain = rel[i] * lambda;
            const double penalty = max_sim[i] * redundancy_weight;
            const double score = gain - penalty;
            // Strictly greater: the earliest position wins ties, and NaN never passes.
            if (score > best) {
                best = score;
                best_pos = i;
            }
        }
        if (best == -std::numeric_limits<double>::infinity()) break;
        pick(best_pos, best);
    }
    return result;
}

}  // namespace

std::vector<MmrPick> mmr_select(std::span<const std::uint64_t> candidates, const FloatVector& relevance,
                                const FloatMatrix& matrix, std::uint64_t k, double lambda,
                                SimilarityRowFn similarity_row) {
    const std::size_t n = candidates.size();
    if (n == 0) return {};

    // Checks every candidate against the matrix, in list order, before anything else.
    const CandidateRows pool = candidate_rows(matrix, candidates);

    // The relevance check comes after the matrix check, so an index out of range for both
    // reports the matrix failure.
    Buffer<double> rel(n, "mmr relevance");
    for (std::size_t i = 0; i < n; ++i) {
        check_index(candidates[i], relevance.len);
        rel[i] = static_cast<double>(relevance[candidates[i]]);
    }
    return select_greedy(candidates, rel.data(), pool.rows.data(), matrix.cols, k, lambda, similarity_row);
}

std::vector<MmrPick> mmr_select_scored(std::span<const std::uint64_t> candidates, std::span<const float> scores,
                                       const FloatMatrix& matrix, std::uint64_t k, double lambda,
                                       SimilarityRowFn similarity_row) {
    const std::size_t n = candidates.size();
    if (scores.size() != n) fail("mmr pool: " + std::to_string(scores.size()) + " scores for " +
                                 std::to_string(n) + " candidates");
    if (n == 0) return {};
    const CandidateRows pool = candidate_rows(matrix, candidates);
    Buffer<double> rel(n, "mmr relevance");
    for (std::size_t i = 0; i < n; ++i) rel[i] = static_cast<double>(scores[i]);
    return select_greedy(candidates, rel.data(), pool.rows.data(), matrix.cols, k, lambda, similarity_row);
}

}  // namespace quorvel
