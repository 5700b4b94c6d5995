// The scoring pipeline. Steps run in a fixed order; each optional stage is a call into its own
// file and leaves the state unchanged when its option is absent.
#include "scoring/pipeline.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <string>

#include "core/buffer.hpp"
#include "core/failure.hpp"
#include "diversity/mmr.hpp"
#include "scoring/dot_scan.hpp"
#include "scoring/query_composition.hpp"
#include "scoring/restriction.hpp"
#include "scoring/temporal_decay.hpp"
#include "scoring/top_select.hpp"
#include "scoring/vector_ops.hpp"

namespace quorvel {

double wall_clock_seconds() {
    const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
    if (since_epoch.count() < 0) fail("system time error: the clock reads a time before the Unix epoch");
    const auto secs = std::chrono::duration_cast<std::chrono::seconds>(since_epoch);
    const auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch - secs);
    return static_cast<double>(secs.count()) + static_cast<double>(nanos.count()) / 1000000000.0;
}

double round_score(double score) { return std::round(score * 10000.0) / 10000.0; }

namespace {

// Rows scored per pass of steps 7-12: the chunk's scores (and trajectory and contrast products)
// stay in L2 while every stage runs over them, and feed the pool selection before the next chunk,
// so that a call holds no per-row buffer when its pool is small against m. 8K rows (at most
// 96 KiB of scores), or 64K when the scan reads columns: its column runs are then 256 KiB long
// (8K-row runs took 1.08-1.15x as long on 1M x 384 in Fortran order). Small working sets are
// still cut into four or more chunks (of at least 256 rows), so that chunk boundaries are crossed
// on every size that a test builds. Scores do not depend on the chunking.
std::size_t chunk_rows(const FloatMatrix& rows) {
    const std::size_t max = scan_reads_columns(rows) ? 65536 : 8192;
    return std::min(std::clamp<std::size_t>((rows.rows / 4 + 7) / 8 * 8, 256, max), rows.rows);
}

// The scores of steps 7-12 for the working set, a chunk at a time, and the candidate pool of steps
// 13-14 with each kept position's score.
struct ScoredPool {
    TopPositions positions;
    Buffer<float> scores;  // scores[j]: the score of positions[j]
};

ScoredPool score_and_select(const ScoreRequest& request, const WorkingSet& working, const float* q,
                            const Buffer<float>* direction, const Buffer<float>* negative,
                            const std::optional<Decay>& decay, std::uint64_t pool_size) {
    const std::size_t m = working.size();
    ScoredPool pool;
    if (std::min<std::uint64_t>(pool_size, m) == 0) return pool;  // nothing to keep: nothing to score

    const std::size_t chunk = chunk_rows(working.matrix);
    const bool running = RunningTop::suits(m, pool_size);
    // Without the running selection, the pool is chosen from all m scores at once.
    Buffer<float> all_scores(running ? 0 : m, "score vector");
    Buffer<float> chunk_scores(running ? chunk : 0, "score vector");
    Buffer<float> t(direction ? chunk : 0, "trajectory scores");
    Buffer<float> u(negative ? chunk : 0, "contrast scores");
    std::optional<RunningTop> top;
    if (running) top.emplace(m, pool_size);

    const float* vectors[3] = {q, nullptr, nullptr};
    float* outs[3] = {nullptr, nullptr, nullptr};
    std::size_t count = 1;
    if (direction) {
        vectors[count] = direction->data();
        outs[count++] = t.data();
    }
    if (negative) {
        vectors[count] = negative->data();
        outs[count++] = u.data();
    }
    for (std::size_t first = 0; first < m; first += chunk) {
        const std::size_t n = std::min(chunk, m - first);
        float* s = running ? chunk_scores.data() : all_scores.data() + first;
        outs[0] = s;
        // 7. Similarity (and the other products) in one pass over the chunk's rows.
        dot_scan(row_range(working.matrix, first, n), std::span<const float* const>(vectors, count),
                 std::span<float* const>(outs, count));
        // 8. Trajectory blend.
        if (direction) blend_trajectory(s, t.data(), n);
        // 9. Temporal decay.
        if (decay) apply_decay(s, working, *decay, first, n);
        // 10-11. Mask and threshold.
        if (request.mask) apply_mask(s, working, *request.mask, first, n);
        apply_threshold(s, n, request.threshold);
        // 12. Contrast, after the threshold: excluded rows stay excluded.
        if (negative) apply_contrast(s, u.data(), n);
        // 13. Candidates (running selection).
        if (running) top->add(s, first, n);
    }
    // 13-14. The best P positions, best first, finite scores only.
    if (running) {
        pool.positions = top->finish(pool.scores);
    } else {
        pool.positions = select_top(all_scores.data(), m, pool_size);
        pool.scores = Buffer<float>(pool.positions.size(), "top scores");
        for (std::size_t j = 0; j < pool.positions.size(); ++j)
            pool.scores[j] = all_scores[pool.positions[j]];
    }
    return pool;
}

}  // namespace

std::vector<ScoredRow> score_candidates(const ScoreRequest& request) {
    const FloatMatrix& matrix = request.matrix;
    const std::size_t dims = matrix.cols;

    // 1-2. Nothing to name means nothing to return; then the query must fit the rows.
    if (request.id_count == 0) return {};
    if (request.query.len != dims) {
        throw InvalidValue{"Query vector dimension " + std::to_string(request.query.len) +
                           " doesn't match cache dimension " + std::to_string(dims)};
    }

    // 3. The call's own normalised copy of the query.
    Buffer<float> q = copy_vector(request.query, "query vector");
    const float query_squared_norm = squared_norm(q.data(), dims);
    normalise(q.data(), dims);

    // 4. Centroid blending over the whole matrix, even when a pre-filter follows.
    if (request.like_rows) {
        if (request.like_rows->empty()) return {};
        blend_towards_centroid(q.data(), query_squared_norm, matrix, *request.like_rows);
    }

    // 5. Trajectory direction, applied at step 8.
    std::optional<Buffer<float>> direction;
    if (request.traj_from && request.traj_to)
        direction = trajectory_direction(*request.traj_from, *request.traj_to);

    // 6. Working set.
    std::optional<WorkingSet> working_set = build_working_set(request);
    if (!working_set) return {};
    const WorkingSet& working = *working_set;

    // The negative query is normalised now so that its product joins the single pass of step 7.
    std::optional<Buffer<float>> negative;
    if (request.not_like) {
        negative = copy_vector(*request.not_like, "negative query");
        normalise(negative->data(), negative->size());
    }

    // The failures of steps 8-12, raised in the order of the steps before any row is scored (the
    // scan itself cannot fail on these): the direction's length, the clock and the timestamps'
    // length, the mask's length, the negative query's length.
    if (direction) check_product_shape(direction->size(), dims, "trajectory direction");
    std::optional<Decay> decay;
    if (request.recent && request.timestamps)
        decay = make_decay(working, *request.timestamps, request.recent_days, wall_clock_seconds());
    if (request.mask) check_mask_length(working, *request.mask);
    if (negative) check_product_shape(negative->size(), dims, "negative query");

    // 7-14. Scores, modulated chunk by chunk, and the best P positions, best first, finite only.
    const std::uint64_t pool_size = request.diverse ? request.oversample : request.limit;
    const ScoredPool pool = score_and_select(request, working, q.data(), direction ? &*direction : nullptr,
                                             negative ? &*negative : nullptr, decay, pool_size);

    // 15. Picks: diversity selection over the pool, or its head.
    std::vector<ScoredRow> rows;
    auto add_row = [&](std::uint64_t position, double score) {
        const std::uint64_t id_index = working.input_row(position);
        check_index(id_index, request.id_count);
        rows.push_back({id_index, round_score(score)});
    };
    const std::size_t pooled = pool.positions.size();
    if (request.diverse && pooled > request.limit) {
        // The pool's scores are s at its positions, so they serve as the relevance vector; the
        // selection reads the pool's rows in the working set itself.
        const std::vector<MmrPick> picks = mmr_select_scored(pool.positions.span(), {pool.scores.data(), pooled},
                                                             working.matrix, request.limit, request.mmr_lambda);
        rows.reserve(picks.size());
        for (const MmrPick& pick : picks) add_row(pick.index, pick.score);
    } else {
        const std::size_t count = std::min<std::uint64_t>(request.limit, pooled);
        rows.reserve(count);
        for (std::size_t i = 0; i < count; ++i)
            add_row(pool.positions[i], static_cast<double>(pool.scores[i]));
    }
    return rows;
}

}  // namespace quorvel
