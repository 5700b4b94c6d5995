// The body of score_candidates: from a query vector and options to the selected rows, in order.
// Plain C++ over views; the boundary converts the arguments and builds the Python result.
#pragma once

#include <cstdint>
#include <vector>

#include "scoring/score_request.hpp"

namespace quorvel {

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
