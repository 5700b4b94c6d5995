// The scoring pipeline, stage by stage: prepare the query, restrict the rows, score them (every
// modulation applied a chunk at a time, the best positions kept), select the picks, diversifying
// when asked. Each optional stage is a call into its own file and changes nothing when its
// option is absent.
#include "scoring/pipeline.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <string>

#include "core/buffer.hpp"
#include "core/failure.hpp"
#include "diversity/mmr.hpp"
#include "kernels/dot_scan.hpp"
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

// ---------------------------------------------------------------------------------------------
// Prepare the query.

// The call's own copy of the query, normalised and blended towards the liked rows' centroid, and
// the trajectory direction when both of its ends are given.
struct PreparedQuery {
    Buffer<float> query;
    std::optional<Buffer<float>> direction;
};

// Fails when the query does not fit the rows; nothing when the liked identifiers resolved to no
// row, which leaves the call nothing to return.
std::optional<PreparedQuery> prepare_query(const ScoreRequest& request) {
    const std::size_t dims = request.matrix.cols;
    if (request.query.len != dims) {
        throw InvalidValue{"Query vector dimension " + std::to_string(request.query.len) +
                           " doesn't match cache dimension " + std::to_string(dims)};
    }
    PreparedQuery prepared{copy_vector(request.query, "query vector"), std::nullopt};
    float* q = prepared.query.data();
    const float query_squared_norm = squared_norm(q, dims);
    normalise(q, dims);
    // Centroid blending reads the whole matrix, even when a pre-filter follows.
    if (request.like_rows) {
        if (request.like_rows->empty()) return std::nullopt;
        blend_towards_centroid(q, query_squared_norm, request.matrix, *request.like_rows);
    }
    if (request.traj_from && request.traj_to)
        prepared.direction = trajectory_direction(*request.traj_from, *request.traj_to);
    return prepared;
}

// ---------------------------------------------------------------------------------------------
// Score the rows.

// What scoring applies besides the query: the trajectory direction, the negative query
// (normalised here so that its product joins the one scan of the rows) and the decay.
struct Modulations {
    const Buffer<float>* direction = nullptr;
    std::optional<Buffer<float>> negative;
    std::optional<Decay> decay;
};

// Raises the modulations' failures in the order their stages run (the direction's length, the
// clock and the timestamps' length, the mask's length, the negative query's length) before any
// row is scored: the scan itself cannot fail on these.
Modulations prepare_modulations(const ScoreRequest& request, const WorkingSet& working,
                                const PreparedQuery& prepared) {
    const std::size_t dims = request.matrix.cols;
    Modulations mods;
    if (request.not_like) {
        mods.negative = copy_vector(*request.not_like, "negative query");
        normalise(mods.negative->data(), mods.negative->size());
    }
    if (prepared.direction) {
        check_product_shape(prepared.direction->size(), dims, "trajectory direction");
        mods.direction = &*prepared.direction;
    }
    if (request.recent && request.timestamps)
        mods.decay = make_decay(working, *request.timestamps, request.recent_days, wall_clock_seconds());
    if (request.mask) check_mask_length(working, *request.mask);
    if (mods.negative) check_product_shape(mods.negative->size(), dims, "negative query");
    return mods;
}

// Rows scored per pass: the chunk's scores (and trajectory and contrast products) stay in L2
// while every stage runs over them, and feed the pool selection before the next chunk, so that a
// call holds no per-row buffer when its pool is small against m. 8K rows (at most 96 KiB of
// scores), or 64K when the scan reads columns: its column runs are then 256 KiB long (8K-row runs
// took 1.08-1.15x as long on 1M x 384 in Fortran order). Small working sets are still cut into
// four or more chunks (of at least 256 rows), so that chunk boundaries are crossed on every size
// that a test builds. Scores do not depend on the chunking.
std::size_t chunk_rows(const FloatMatrix& rows) {
    const std::size_t max = scan_reads_columns(rows) ? 65536 : 8192;
    return std::min(std::clamp<std::size_t>((rows.rows / 4 + 7) / 8 * 8, 256, max), rows.rows);
}

// The vectors of the one scan over a chunk's rows (the query, then the trajectory direction and
// the negative query when given) and where their products go.
struct ChunkScan {
    const float* vectors[3] = {};
    float* outs[3] = {};
    std::size_t count = 0;
    Buffer<float> trajectory;  // the direction's products, chunk rows
    Buffer<float> contrast;    // the negative query's products, chunk rows

    ChunkScan(const float* q, const Modulations& mods, std::size_t chunk)
        : trajectory(mods.direction ? chunk : 0, "trajectory scores"),
          contrast(mods.negative ? chunk : 0, "contrast scores") {
        add(q, nullptr);
        if (mods.direction) add(mods.direction->data(), trajectory.data());
        if (mods.negative) add(mods.negative->data(), contrast.data());
    }
    void add(const float* vector, float* out) {
        vectors[count] = vector;
        outs[count++] = out;
    }
};

// The products of rows first..first+n-1 into scan.outs, then the interleaved work, if any, up to
// the end of these rows. Finer turns cost more than they hide: on 1M x 384 rows (Zen 4, the
// identifier checks of a plain call), turns of a chunk's 1/16 and 1/64 took 1.08x and 1.18x the
// CPU time of turns of a whole chunk, and turns every 64 rows inside the kernel about 1.5x the
// wall time: the objects the work reads at random slow the scan's streams more than the work
// gains.
void scan_rows(const InterleavedWork& work, const FloatMatrix& matrix, ChunkScan& scan, std::size_t first,
               std::size_t n) {
    dot_scan(row_range(matrix, first, n), std::span<const float* const>(scan.vectors, scan.count),
             std::span<float* const>(scan.outs, scan.count));
    if (work.advance != nullptr) work.advance(work.state, first + n, matrix.rows);
}

// Scores working positions first..first+n-1 into s: the products of the chunk's rows, then the
// trajectory blend, the decay, the mask, the threshold and the contrast, in that order. The
// contrast comes after the threshold, which compares scores before it is subtracted; an excluded
// position (-inf) stays excluded.
void score_chunk(const ScoreRequest& request, const WorkingSet& working, const Modulations& mods,
                 ChunkScan& scan, float* s, std::size_t first, std::size_t n) {
    scan.outs[0] = s;
    scan_rows(request.interleaved, working.matrix, scan, first, n);
    if (mods.direction) blend_trajectory(s, scan.trajectory.data(), n);
    if (mods.decay) apply_decay(s, working, *mods.decay, first, n);
    if (request.mask) apply_mask(s, working, *request.mask, first, n);
    apply_threshold(s, n, request.threshold);
    if (mods.negative) apply_contrast(s, scan.contrast.data(), n);
}

// The candidate pool: the best pool_size positions, best first, finite scores only, each with
// its score.
struct ScoredPool {
    TopPositions positions;
    Buffer<float> scores;  // scores[j]: the score of positions[j]
};

// Scores the working set a chunk at a time and keeps its pool: a running selection fed chunk by
// chunk when the pool is small against the working set (below 1024 positions or m/64), else a
// selection over all scores, kept at 4 bytes a position.
ScoredPool score_rows(const ScoreRequest& request, const WorkingSet& working, const float* q,
                      const Modulations& mods, std::uint64_t pool_size) {
    const std::size_t m = working.size();
    ScoredPool pool;
    if (std::min<std::uint64_t>(pool_size, m) == 0) return pool;  // nothing to keep: nothing to score

    const std::size_t chunk = chunk_rows(working.matrix);
    const bool running = RunningTop::suits(m, pool_size);
    Buffer<float> all_scores(running ? 0 : m, "score vector");
    Buffer<float> chunk_scores(running ? chunk : 0, "score vector");
    ChunkScan scan(q, mods, chunk);
    std::optional<RunningTop> top;
    if (running) top.emplace(m, pool_size);
    for (std::size_t first = 0; first < m; first += chunk) {
        const std::size_t n = std::min(chunk, m - first);
        float* s = running ? chunk_scores.data() : all_scores.data() + first;
        score_chunk(request, working, mods, scan, s, first, n);
        if (running) top->add(s, first, n);
    }
    if (running) {
        pool.positions = top->finish(pool.scores);
        return pool;
    }
    pool.positions = select_top(all_scores.data(), m, pool_size);
    pool.scores = Buffer<float>(pool.positions.size(), "top scores");
    for (std::size_t j = 0; j < pool.positions.size(); ++j) pool.scores[j] = all_scores[pool.positions[j]];
    return pool;
}

// ---------------------------------------------------------------------------------------------
// Select the picks, diversifying when asked.

// The diversity selection over the pool: its scores serve as the relevance vector, and the
// selection reads the pool's rows in the working set itself.
std::vector<MmrPick> diversify(const ScoreRequest& request, const WorkingSet& working, const ScoredPool& pool) {
    return mmr_select_scored(pool.positions.span(), {pool.scores.data(), pool.positions.size()},
                             working.matrix, request.limit, request.mmr_lambda);
}

// The result rows: the diversity selection's picks when diverse is asked and the pool holds more
// than `limit` positions, else the pool's head with its plain scores; each named by the input row
// of its position, with its score rounded.
std::vector<ScoredRow> select_picks(const ScoreRequest& request, const WorkingSet& working,
                                    const ScoredPool& pool) {
    std::vector<ScoredRow> rows;
    auto add_row = [&](std::uint64_t position, double score) {
        const std::uint64_t id_index = working.input_row(position);
        check_index(id_index, request.id_count);
        rows.push_back({id_index, round_score(score)});
    };
    const std::size_t pooled = pool.positions.size();
    if (request.diverse && pooled > request.limit) {
        const std::vector<MmrPick> picks = diversify(request, working, pool);
        rows.reserve(picks.size());
        for (const MmrPick& pick : picks) add_row(pick.index, pick.score);
        return rows;
    }
    const std::size_t count = std::min<std::uint64_t>(request.limit, pooled);
    rows.reserve(count);
    for (std::size_t i = 0; i < count; ++i) add_row(pool.positions[i], static_cast<double>(pool.scores[i]));
    return rows;
}

}  // namespace

std::vector<ScoredRow> score_candidates(const ScoreRequest& request) {
    // Nothing to name means nothing to return, whatever else the request holds.
    if (request.id_count == 0) return {};
    const std::optional<PreparedQuery> prepared = prepare_query(request);
    if (!prepared) return {};
    const std::optional<WorkingSet> working = build_working_set(request);
    if (!working) return {};
    const Modulations mods = prepare_modulations(request, *working, *prepared);
    const std::uint64_t pool_size = request.diverse ? request.oversample : request.limit;
    const ScoredPool pool = score_rows(request, *working, prepared->query.data(), mods, pool_size);
    return select_picks(request, *working, pool);
}

}  // namespace quorvel
