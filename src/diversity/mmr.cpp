// Maximal Marginal Relevance selection: picks greedily while keeping each candidate's redundancy,
// computing float32 similarities only as the picks need them: the seed's row against the whole
// pool, then either each pick's row (eager scan) or single pairs for the positions whose score
// bound reaches the top (lazy scan).
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

// The score of an unpicked position: its relevance gain less its redundancy penalty, each product
// rounded to double before the difference. Both scans compute every score through this one
// expression, so they agree bit for bit.
inline double mmr_score(double rel, double lambda, double max_sim, double redundancy_weight) {
    const double gain = rel * lambda;
    const double penalty = max_sim * redundancy_weight;
    return gain - penalty;
}

// What both scans share: the caller's pool, the weights, and the picks made so far.
struct Selection {
    std::span<const std::uint64_t> candidates;
    const double* rel;
    const float* const* rows;
    std::size_t d;
    std::uint64_t k;
    double lambda;
    double redundancy_weight;
    SimilarityRowFn similarity_row;
    std::vector<MmrPick> result;

    std::size_t n() const { return candidates.size(); }
    bool wants_more() const { return result.size() < k && result.size() < n(); }
    double score(std::size_t pos, double max_sim) const {
        return mmr_score(rel[pos], lambda, max_sim, redundancy_weight);
    }
};

Selection start_selection(std::span<const std::uint64_t> candidates, const double* rel, const float* const* rows,
                          std::size_t d, std::uint64_t k, double lambda, SimilarityRowFn similarity_row) {
    Selection s{candidates, rel, rows, d, k, lambda, 1.0 - lambda, similarity_row, {}};
    // Nothing below allocates: at most min(n, max(k, 1)) picks are ever appended.
    const std::size_t cap =
        static_cast<std::size_t>(std::min<std::uint64_t>(candidates.size(), std::max<std::uint64_t>(k, 1)));
    try {
        s.result.reserve(cap);
    } catch (const std::bad_alloc&) {
        throw OutOfMemory{cap * sizeof(MmrPick), "mmr picks"};
    }
    return s;
}

// The seed's similarities to every position as the first redundancies (sim_row is scratch of n
// floats). Only later picks read them, so a selection of one pick never computes them.
void seed_redundancy(const Selection& s, double* max_sim, float* sim_row) {
    const std::size_t n = s.n();
    std::fill_n(max_sim, n, -std::numeric_limits<double>::infinity());
    s.similarity_row(s.rows[0], s.rows, n, s.d, sim_row);
    merge_max(max_sim, sim_row, n);
}

// The eager scan: after each pick one row of similarities (n dot products), one merge into
// max_sim and one scan of every unpicked position; only one row is held at a time.
std::vector<MmrPick> select_eager(Selection s) {
    const std::size_t n = s.n();
    Buffer<float> sim_row(n, "similarity row");
    Buffer<double> max_sim(n, "mmr redundancy");
    Buffer<unsigned char> selected(n, "mmr picked flags");
    std::fill_n(selected.data(), n, static_cast<unsigned char>(0));
    seed_redundancy(s, max_sim.data(), sim_row.data());
    selected[0] = 1;

    while (s.wants_more()) {
        double best = -std::numeric_limits<double>::infinity();
        std::size_t best_pos = 0;
        for (std::size_t i = 0; i < n; ++i) {
            if (selected[i]) continue;
            const double score = s.score(i, max_sim[i]);
            // Strictly greater: the earliest position wins ties, and NaN never passes.
            if (score > best) {
                best = score;
                best_pos = i;
            }
        }
        if (best == -std::numeric_limits<double>::infinity()) break;
        s.result.push_back({s.candidates[best_pos], best});
        selected[best_pos] = 1;
        s.similarity_row(s.rows[best_pos], s.rows, n, s.d, sim_row.data());
        merge_max(max_sim.data(), sim_row.data(), n);
    }
    return std::move(s.result);
}

// Whether a position's last computed score bounds every later one from above (a NaN score
// counted as -inf, since no scan picks either), which the lazy scan rests on. max_sim never
// decreases (a NaN similarity never replaces a value, and nothing else lowers it) and is never
// NaN, so with a finite positive redundancy weight the penalty never decreases and is never NaN,
// and rounding keeps that order: a score can only fall. It is NaN only where it can never be
// picked again: a NaN gain, a gain of -inf, or a gain of +inf less a penalty of +inf (max_sim
// +inf stays). A weight of 0 (lambda 1) breaks this: 0 x -inf is NaN while a position has seen
// only NaN similarities, and turns into its gain later; a negative weight (lambda > 1) raises
// scores, and NaN or infinite weights make every score NaN.
bool scores_only_fall(double redundancy_weight) {
    return redundancy_weight > 0.0 && redundancy_weight < std::numeric_limits<double>::infinity();
}

// A position and a score it can no longer exceed. NaN is kept as -inf: no scan picks a NaN score
// nor one of -inf, and NaN has no place in an order.
struct Bound {
    double score;
    std::size_t pos;
};

Bound make_bound(std::size_t pos, double score) {
    return {std::isnan(score) ? -std::numeric_limits<double>::infinity() : score, pos};
}

// The order of bounds: the higher score first, the earlier position first among equal scores
// (-0.0 and 0.0 are equal, as in the eager scan's comparison).
bool ranks_below(const Bound& a, const Bound& b) {
    return a.score < b.score || (a.score == b.score && a.pos > b.pos);
}

// The bounds of the unpicked positions in a winner tree: leaves hold the bounds, each inner node
// the higher of its two children, so the root is the highest bound (the order is total, and the
// root covers every leaf whatever their number), and changing the root's bound replays the one
// path from its leaf, a comparison per level. Building and replaying compare in a fixed pattern
// that the compiler turns into selects, where a binary heap's sift-downs branch on every
// comparison: on a 10,000-position pool of 384-dim rows (AMD EPYC Zen 4) building the heap took
// 0.09-0.11 ms of a diverse call, building this tree 0.04-0.045 ms. Memory: 32 bytes a position.
class BoundTree {
public:
    // Leaves of positions 1..count, bound_of(p) the bound of position p.
    template <class BoundOf>
    BoundTree(std::size_t count, BoundOf bound_of)
        : leaves_(std::max<std::size_t>(count, 1)), node_(2 * leaves_, "mmr score bounds") {
        Bound* leaf = node_.data() + leaves_;
        for (std::size_t p = 1; p <= count; ++p) leaf[p - 1] = bound_of(p);
        if (count == 0) leaf[0] = kNone;
        for (std::size_t t = leaves_ - 1; t >= 1; --t) node_[t] = higher(node_[2 * t], node_[2 * t + 1]);
    }

    const Bound& top() const { return node_[1]; }

    // Gives the top's position a new bound; kNone takes it out.
    void replace_top(const Bound& bound) {
        std::size_t t = leaves_ + (node_[1].pos - 1);
        node_[t] = bound;
        for (t /= 2; t >= 1; t /= 2) node_[t] = higher(node_[2 * t], node_[2 * t + 1]);
    }

    // Ranks below every position's bound, -inf included.
    static constexpr Bound kNone{-std::numeric_limits<double>::infinity(), std::numeric_limits<std::size_t>::max()};

private:
    static Bound higher(const Bound& a, const Bound& b) { return ranks_below(a, b) ? b : a; }

    std::size_t leaves_;
    Buffer<Bound> node_;  // node_[1] the root, node_[t]'s children at 2t and 2t + 1; node_[0] unused
};

// The lazy scan: after the seed's row, each unpicked position holds its score as of the picks it
// has been compared with, which bounds its current score from above (scores_only_fall). The
// highest bound is the top of a winner tree; if it is current it is the eager scan's pick,
// otherwise it is compared with the picks made since (one pair each, the same kernel with the
// pick's row first as in the pick's full row, so each similarity is that row's value bit for
// bit), merged in pick order and given its new score.
//
// Why a current top is the eager pick: every other unpicked position j ranks below it, so
// score_j <= bound_j <= top's score (NaN counted as -inf), and bound_j is strictly lower for
// every j before the top; the eager scan keeps the earliest of the highest scores above -inf,
// which is the top. When the top's bound is -inf, every score is -inf or NaN (or every position
// is picked) and the eager scan stops too.
std::vector<MmrPick> select_lazy(Selection s) {
    const std::size_t n = s.n();
    Buffer<double> max_sim(n, "mmr redundancy");
    {
        Buffer<float> seed_row(n, "similarity row");
        seed_redundancy(s, max_sim.data(), seed_row.data());
    }

    // compared[j]: how many picks max_sim[j] holds (the seed's row covered every position).
    Buffer<std::size_t> compared(n, "mmr compared picks");
    std::fill_n(compared.data(), n, std::size_t{1});
    // The picks' rows in pick order, and room for one position's similarities to all of them.
    const std::size_t most_picks = static_cast<std::size_t>(std::min<std::uint64_t>(n, s.k));
    Buffer<const float*> picked_rows(most_picks, "mmr picked rows");
    Buffer<float> sims(most_picks, "similarity row");
    picked_rows[0] = s.rows[0];
    BoundTree tree(n - 1, [&](std::size_t j) { return make_bound(j, s.score(j, max_sim[j])); });

    while (s.wants_more()) {
        const Bound top = tree.top();
        if (top.score == -std::numeric_limits<double>::infinity()) break;
        const std::size_t pos = top.pos;
        const std::size_t picks = s.result.size();
        if (compared[pos] == picks) {
            picked_rows[picks] = s.rows[pos];
            s.result.push_back({s.candidates[pos], top.score});
            tree.replace_top(BoundTree::kNone);
            continue;
        }
        // The position's row against the picks' rows in one call: row groups of the picks sum
        // side by side instead of one pair after another (the values are the pairs' own).
        const std::size_t missed = picks - compared[pos];
        s.similarity_row(s.rows[pos], picked_rows.data() + compared[pos], missed, s.d, sims.data());
        for (std::size_t t = 0; t < missed; ++t) merge_max(&max_sim[pos], &sims[t], 1);
        compared[pos] = picks;
        tree.replace_top(make_bound(pos, s.score(pos, max_sim[pos])));
    }
    return std::move(s.result);
}

// The greedy selection over n positions with row pointers rows[0..n) of d floats and relevance
// rel[0..n): the lazy scan where scores only fall, the eager one otherwise or when asked for.
std::vector<MmrPick> select_greedy(std::span<const std::uint64_t> candidates, const double* rel,
                                   const float* const* rows, std::size_t d, std::uint64_t k, double lambda,
                                   SimilarityRowFn similarity_row, MmrScan scan) {
    Selection s = start_selection(candidates, rel, rows, d, k, lambda, similarity_row);
    // The seed is taken whatever its relevance and carries no redundancy term.
    s.result.push_back({candidates[0], rel[0] * lambda});
    if (k < 2) return std::move(s.result);
    if (scan == MmrScan::automatic && scores_only_fall(s.redundancy_weight)) return select_lazy(std::move(s));
    return select_eager(std::move(s));
}

}  // namespace

std::vector<MmrPick> mmr_select(std::span<const std::uint64_t> candidates, const FloatVector& relevance,
                                const FloatMatrix& matrix, std::uint64_t k, double lambda,
                                SimilarityRowFn similarity_row, MmrScan scan) {
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
    return select_greedy(candidates, rel.data(), pool.rows.data(), matrix.cols, k, lambda, similarity_row, scan);
}

std::vector<MmrPick> mmr_select_scored(std::span<const std::uint64_t> candidates, std::span<const float> scores,
                                       const FloatMatrix& matrix, std::uint64_t k, double lambda,
                                       SimilarityRowFn similarity_row, MmrScan scan) {
    const std::size_t n = candidates.size();
    if (scores.size() != n) fail("mmr pool: " + std::to_string(scores.size()) + " scores for " +
                                 std::to_string(n) + " candidates");
    if (n == 0) return {};
    const CandidateRows pool = candidate_rows(matrix, candidates);
    Buffer<double> rel(n, "mmr relevance");
    for (std::size_t i = 0; i < n; ++i) rel[i] = static_cast<double>(scores[i]);
    return select_greedy(candidates, rel.data(), pool.rows.data(), matrix.cols, k, lambda, similarity_row, scan);
}

}  // namespace quorvel
