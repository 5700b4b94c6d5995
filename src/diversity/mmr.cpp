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
// path from its leaf, a comparison per level. Building compares in a fixed pattern, where a
// binary heap's sift-downs branch on data: on a 10,000-position pool of 384-dim rows (AMD EPYC
// Zen 4) building the heap took 0.09-0.11 ms of a diverse call, building this tree 0.034-0.035
// ms. Memory: 32 bytes a position.
class BoundTree {
public:
    // Leaves of positions 1..count, bound_of(p) the bound of position p.
    template <class BoundOf>
    BoundTree(std::size_t count, BoundOf bound_of)
        : leaves_(std::max<std::size_t>(count, 1)), node_(2 * leaves_, "mmr score bounds") {
        Bound* leaf = node_.data() + leaves_;
        for (std::size_t p = 1; p <= count; ++p) leaf[p - 1] = bound_of(p);
        if (count == 0) leaf[0] = kNone;
        for (std::size_t t = leaves_ - 1; t >= 1; --t) node_[t] = higher_child(t);
    }

    const Bound& top() const { return node_[1]; }

    // Gives position pos (1..count) a new bound; kNone takes it out.
    void set(std::size_t pos, const Bound& bound) {
        std::size_t t = leaves_ + (pos - 1);
        node_[t] = bound;
        for (t /= 2; t >= 1; t /= 2) node_[t] = higher_child_branching(t);
    }

    // Ranks below every position's bound, -inf included.
    static constexpr Bound kNone{-std::numeric_limits<double>::infinity(), std::numeric_limits<std::size_t>::max()};

private:
    // The higher of inner node t's children, chosen by index: the comparison is evaluated
    // without short cuts, so that no branch depends on it. Building, whose comparisons are
    // independent, took 0.039-0.045 ms with a branch and 0.034-0.035 ms so on a 10,000-position
    // pool (AMD EPYC Zen 4).
    const Bound& higher_child(std::size_t t) const {
        const Bound& a = node_[2 * t];
        const Bound& b = node_[2 * t + 1];
        const bool b_higher = (a.score < b.score) | ((a.score == b.score) & (a.pos > b.pos));
        return node_[2 * t + b_higher];
    }

    // The same with a branch, for a replay: each level reads the node written at the level
    // below, and a predicted branch lets the next level start before that comparison resolves,
    // where a select makes every level wait for it (the picks after the seed of the pool above:
    // 0.053-0.055 ms with the branch, 0.070 ms with the select).
    const Bound& higher_child_branching(std::size_t t) const {
        return ranks_below(node_[2 * t], node_[2 * t + 1]) ? node_[2 * t + 1] : node_[2 * t];
    }

    std::size_t leaves_;
    Buffer<Bound> node_;  // node_[1] the root, node_[t]'s children at 2t and 2t + 1; node_[0] unused
};

// Stale positions brought up to date at once: the similarity calls then read several of their
// rows side by side, whose loads (mostly from L3 or memory, a row each) overlap instead of
// following one another. On a 10,000-position pool of 384-dim rows, 10 picks (AMD EPYC Zen 4),
// the picks after the seed took 0.066-0.075 ms one stale position at a time (its row against
// the picks it missed in one call), 0.055-0.059 ms eight at a time, 0.054 ms sixteen at a time.
constexpr std::size_t kStaleBatch = 8;

struct StaleBatch {
    std::size_t pos[kStaleBatch];
    std::size_t count = 0;
};

// Compares each stale position with the picks it has not met, pick by pick in pick order (so each
// position's maximum folds its similarities in that order): one call per pick, the pick's row
// against the rows of the positions that missed it, the same kernel as the pick's full row, so
// each value is that row's bit for bit.
void update_stale(const Selection& s, const StaleBatch& stale, const float* const* picked_rows,
                  std::size_t* compared, double* max_sim) {
    const std::size_t picks = s.result.size();
    std::size_t first = picks;
    for (std::size_t b = 0; b < stale.count; ++b) first = std::min(first, compared[stale.pos[b]]);
    for (std::size_t t = first; t < picks; ++t) {
        const float* rows[kStaleBatch];
        std::size_t pos[kStaleBatch];
        std::size_t n = 0;
        for (std::size_t b = 0; b < stale.count; ++b) {
            if (compared[stale.pos[b]] > t) continue;
            pos[n] = stale.pos[b];
            rows[n++] = s.rows[stale.pos[b]];
        }
        float sims[kStaleBatch];
        s.similarity_row(picked_rows[t], rows, n, s.d, sims);
        for (std::size_t b = 0; b < n; ++b) merge_max(&max_sim[pos[b]], &sims[b], 1);
    }
    for (std::size_t b = 0; b < stale.count; ++b) compared[stale.pos[b]] = picks;
}

// The lazy scan: after the seed's row, each unpicked position holds its score as of the picks it
// has been compared with, which bounds its current score from above (scores_only_fall). The
// highest bound is the top of a winner tree; if it is current it is the eager scan's pick,
// otherwise it and the stale positions right below it are compared with the picks made since
// (update_stale) and given their new scores.
//
// Why a current top is the eager pick: every other unpicked position j ranks below it, so
// score_j <= bound_j <= top's score (NaN counted as -inf), and bound_j is strictly lower for
// every j before the top; the eager scan keeps the earliest of the highest scores above -inf,
// which is the top. When the top's bound is -inf, every score is -inf or NaN (or every position
// is picked) and the eager scan stops too. Bringing any position up to date keeps its bound a
// bound, so how many are updated at once changes the work, never a pick.
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
    // The picks' rows in pick order.
    Buffer<const float*> picked_rows(static_cast<std::size_t>(std::min<std::uint64_t>(n, s.k)), "mmr picked rows");
    picked_rows[0] = s.rows[0];
    BoundTree tree(n - 1, [&](std::size_t j) { return make_bound(j, s.score(j, max_sim[j])); });

    constexpr double kNoScore = -std::numeric_limits<double>::infinity();
    StaleBatch stale;
    while (s.wants_more()) {
        const Bound top = tree.top();
        if (top.score == kNoScore) break;
        const std::size_t picks = s.result.size();
        if (compared[top.pos] == picks) {
            picked_rows[picks] = s.rows[top.pos];
            s.result.push_back({s.candidates[top.pos], top.score});
            tree.set(top.pos, BoundTree::kNone);
            continue;
        }
        // The stale positions at the top, taken out until a current one surfaces, brought up to
        // date together and put back with their new scores.
        stale.count = 0;
        do {
            stale.pos[stale.count++] = tree.top().pos;
            tree.set(tree.top().pos, BoundTree::kNone);
        } while (stale.count < kStaleBatch && tree.top().score != kNoScore && compared[tree.top().pos] != picks);
        update_stale(s, stale, picked_rows.data(), compared.data(), max_sim.data());
        for (std::size_t b = 0; b < stale.count; ++b) {
            const std::size_t pos = stale.pos[b];
            tree.set(pos, make_bound(pos, s.score(pos, max_sim[pos])));
        }
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
