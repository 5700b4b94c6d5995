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

void check_mask_length(const WorkingSet& working, const ByteVector& mask) {
    if (working.rows.empty() && mask.len < working.size()) fail_index(mask.len, mask.len);
}

void apply_mask(float* s, const WorkingSet& working, const ByteVector& mask, std::size_t first,
                std::size_t count) {
    constexpr float excluded = -std::numeric_limits<float>::infinity();
    if (working.rows.empty() && mask.stride == 1) {
        const std::uint8_t* flags = reinterpret_cast<const std::uint8_t*>(mask.data) + first;
        for (std::size_t i = 0; i < count; ++i)
            if (flags[i] == 0) s[i] = excluded;
        return;
    }
    for (std::size_t i = 0; i < count; ++i)
        if (mask[working.input_row(first + i)] == 0) s[i] = excluded;
}

void apply_threshold(float* s, std::size_t m, float threshold) {
    if (!(threshold > 0.0f)) return;
    constexpr float excluded = -std::numeric_limits<float>::infinity();
    for (std::size_t i = 0; i < m; ++i)
        if (s[i] < threshold) s[i] = excluded;
}

}  // namespace quorvel
