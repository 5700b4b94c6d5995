// The body of score_candidates: from a query vector and options to the selected rows, in order.
// Plain C++ over views; the boundary converts the arguments and builds the Python result.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/views.hpp"

namespace quorvel {

// Row indices of an identifier list, resolved through the identifier-to-row map in list order:
// identifiers the map does not hold are left out, duplicates are kept.
using RowList = std::span<const std::uint64_t>;

struct ScoreRequest {
    FloatMatrix matrix;                // n x dims, rows expected unit length
    std::size_t id_count = 0;          // length of the identifier list; row r is named by ids[r]
    FloatVector query;
    std::optional<DoubleVector> timestamps;
    std::optional<RowList> pre_filter_rows;
    std::optional<FloatVector> not_like;
    bool diverse = false;
    std::uint64_t limit = 10;
    std::uint64_t oversample = 200;
    float threshold = 0.0f;
    double mmr_lambda = 0.7;
    bool recent = false;
    std::optional<double> recent_days;
    std::optional<RowList> like_rows;
    std::optional<FloatVector> traj_from;
    std::optional<FloatVector> traj_to;
    std::optional<ByteVector> mask;
};

// One result row: the index into the identifier list, and the score rounded to four decimals.
struct ScoredRow {
    std::uint64_t id_index;
    double score;
};

// Seconds since the Unix epoch, read once per call that applies temporal decay.
double wall_clock_seconds();

std::vector<ScoredRow> score_candidates(const ScoreRequest& request);

// round(score x 10000) / 10000 in double, halves away from zero, sign kept (-0.4e-4 gives -0.0).
double round_score(double score);

}  // namespace quorvel
