// Temporal decay: scores of dated rows fall hyperbolically with age, half at one half-life.
#pragma once

#include <optional>

#include "core/views.hpp"
#include "scoring/restriction.hpp"

namespace quorvel {

// s[i] *= 1 / (age_days / half_life + 1) for rows with a timestamp > 0; `now` in epoch seconds.
// `timestamps` is indexed by input row.
void apply_decay(float* s, const WorkingSet& working, const DoubleVector& timestamps,
                 std::optional<double> recent_days, double now);

}  // namespace quorvel
