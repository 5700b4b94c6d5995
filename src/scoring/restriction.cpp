// Pre-filter resolution and gathering, mask and threshold.
#include "scoring/restriction.hpp"

#include <limits>

#include "core/failure.hpp"
#include "diversity/select_rows.hpp"

namespace quorvel {

std::optional<WorkingSet> build_working_set(const ScoreRequest& request) {
    WorkingSet working;
    if (!request.pre_filter_rows) {
        working.matrix = request.matrix;
        return working;
    }
    if (request.pre_filter_rows->empty()) return std::nullopt;
    working.rows = *request.pre_filter_rows;
    working.gathered = select_rows(request.matrix, working.rows);
    working.matrix = view_packed(working.gathered.data(), working.rows.size(), request.matrix.cols);
    // Timestamps and mask are read through `rows` later; their indices are checked here, after
    // the identifiers, so that a bad row is reported the same way whichever stages run.
    for (const std::uint64_t r : working.rows) check_index(r, request.id_count);
    if (request.timestamps)
        for (const std::uint64_t r : working.rows) check_index(r, request.timestamps->len);
    if (request.mask)
        for (const std::uint64_t r : working.rows) check_index(r, request.mask->len);
    return working;
}

void apply_mask(float* s, const WorkingSet& working, const ByteVector& mask) {
    const std::size_t m = working.size();
    if (working.rows.empty() && mask.len < m) fail_index(mask.len, mask.len);
    constexpr float excluded = -std::numeric_limits<float>::infinity();
    for (std::size_t i = 0; i < m; ++i)
        if (mask[working.input_row(i)] == 0) s[i] = excluded;
}

void apply_threshold(float* s, std::size_t m, float threshold) {
    if (!(threshold > 0.0f)) return;
    constexpr float excluded = -std::numeric_limits<float>::infinity();
    for (std::size_t i = 0; i < m; ++i)
        if (s[i] < threshold) s[i] = excluded;
}

}  // namespace quorvel
