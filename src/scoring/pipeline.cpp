// The scoring pipeline. Steps run in a fixed order; each optional stage is a call into its own
// file and leaves the state unchanged when its option is absent.
#include "scoring/pipeline.hpp"

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

// The products one call needs, computed in a single pass over the working rows: the query
// always, the trajectory direction and the negative query when given and of the right length.
struct Products {
    Buffer<float> s;  // similarity, then the running score
    Buffer<float> t;  // trajectory direction
    Buffer<float> u;  // negative query
};

Products compute_products(const FloatMatrix& rows, const float* q, const Buffer<float>* direction,
                          const Buffer<float>* negative) {
    const std::size_t m = rows.rows;
    Products p{Buffer<float>(m, "score vector"), {}, {}};
    const float* vectors[3] = {q, nullptr, nullptr};
    float* outs[3] = {p.s.data(), nullptr, nullptr};
    std::size_t count = 1;
    if (direction && direction->size() == rows.cols) {
        p.t = Buffer<float>(m, "trajectory scores");
        vectors[count] = direction->data();
        outs[count++] = p.t.data();
    }
    if (negative && negative->size() == rows.cols) {
        p.u = Buffer<float>(m, "contrast scores");
        vectors[count] = negative->data();
        outs[count++] = p.u.data();
    }
    dot_scan(rows, std::span<const float* const>(vectors, count), std::span<float* const>(outs, count));
    return p;
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
    const std::size_t m = working.size();

    // The negative query is normalised now so that its product joins the single pass of step 7.
    std::optional<Buffer<float>> negative;
    if (request.not_like) {
        negative = copy_vector(*request.not_like, "negative query");
        normalise(negative->data(), negative->size());
    }

    // 7. Similarity (and the other products) in one pass over the working rows.
    Products products = compute_products(working.matrix, q.data(), direction ? &*direction : nullptr,
                                         negative ? &*negative : nullptr);
    float* s = products.s.data();

    // 8. Trajectory blend.
    if (direction) {
        check_product_shape(direction->size(), dims, "trajectory direction");
        blend_trajectory(s, products.t.data(), m);
    }
    // 9. Temporal decay against the wall clock, read once.
    if (request.recent && request.timestamps)
        apply_decay(s, working, *request.timestamps, request.recent_days, wall_clock_seconds());
    // 10-11. Mask and threshold.
    if (request.mask) apply_mask(s, working, *request.mask);
    apply_threshold(s, m, request.threshold);
    // 12. Contrast, after the threshold: excluded rows stay excluded.
    if (negative) {
        check_product_shape(negative->size(), dims, "negative query");
        apply_contrast(s, products.u.data(), m);
    }

    // 13-14. The best P positions, best first, finite scores only.
    const std::uint64_t pool_size = request.diverse ? request.oversample : request.limit;
    const TopPositions pool = select_top(s, m, pool_size);

    // 15. Picks: diversity selection over the pool, or its head.
    std::vector<ScoredRow> rows;
    auto add_row = [&](std::uint64_t position, double score) {
        const std::uint64_t id_index = working.input_row(position);
        check_index(id_index, request.id_count);
        rows.push_back({id_index, round_score(score)});
    };
    if (request.diverse && pool.size() > request.limit) {
        const FloatVector relevance{reinterpret_cast<const std::byte*>(s), m, sizeof(float)};
        const std::vector<MmrPick> picks =
            mmr_select(pool.span(), relevance, working.matrix, request.limit, request.mmr_lambda);
        rows.reserve(picks.size());
        for (const MmrPick& pick : picks) add_row(pick.index, pick.score);
    } else {
        const std::size_t count = std::min<std::uint64_t>(request.limit, pool.size());
        rows.reserve(count);
        for (std::size_t i = 0; i < count; ++i) add_row(pool[i], static_cast<double>(s[pool[i]]));
    }
    return rows;
}

}  // namespace quorvel
