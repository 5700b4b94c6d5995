// Candidate restriction: the pre-filtered working set, the mask and the similarity threshold.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "core/buffer.hpp"
#include "core/views.hpp"
#include "scoring/score_request.hpp"

namespace quorvel {

// The rows a call scores. Without a pre-filter it is the caller's matrix itself (no copy) and
// position i is row i; with one, the resolved rows are gathered and rows[i] names the input row
// of position i.
struct WorkingSet {
    FloatMatrix matrix;
    Buffer<float> gathered;
    RowList rows;  // the resolved pre-filter rows; empty without a pre-filter
    std::size_t size() const { return matrix.rows; }
    // The input row (and identifier index) of a working position.
    std::uint64_t input_row(std::size_t position) const { return rows.empty() ? position : rows[position]; }
};

// Builds the working set for `request`; an empty result means the pre-filter resolved nothing.
// Fails, in this order, on a resolved row beyond the matrix, the identifiers, the timestamps
// and the mask.
std::optional<WorkingSet> build_working_set(const ScoreRequest& request);

// The rows first..first+count-1 of a matrix, viewed in place.
inline FloatMatrix row_range(const FloatMatrix& matrix, std::size_t first, std::size_t count) {
    FloatMatrix part = matrix;
    if (count != 0) part.data = matrix.row_ptr(first);
    part.rows = count;
    return part;
}

// The mask stage's failure, raised before any score is touched: without a pre-filter, a mask
// shorter than the working set fails as the stage would on reaching the first position it lacks.
void check_mask_length(const WorkingSet& working, const ByteVector& mask);

// Excluded positions (mask byte 0) among first..first+count-1 get -inf; s[0] holds position
// `first`. `mask` is indexed by input row and checked by check_mask_length.
void apply_mask(float* s, const WorkingSet& working, const ByteVector& mask, std::size_t first,
                std::size_t count);

// Positions scoring strictly below `threshold` get -inf; runs only for threshold > 0.
void apply_threshold(float* s, std::size_t m, float threshold);

}  // namespace quorvel
