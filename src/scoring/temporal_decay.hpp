// Temporal decay: scores of dated rows fall hyperbolically with age, half at one half-life.
#pragma once

#include <cstddef>
#include <optional>

#include "core/views.hpp"
#include "scoring/restriction.hpp"

namespace quorvel {

// The decay of one call: the timestamps (indexed by input row), the half-life narrowed to float32
// (30 days when not given) and `now` in epoch seconds, read once.
inline constexpr float kDefaultHalfLifeDays = 30.0f;

struct Decay {
    DoubleVector timestamps;
    float half_life = kDefaultHalfLifeDays;
    double now = 0.0;
};

// The decay stage's failure, raised before any score is touched: without a pre-filter, fewer
// timestamps than working positions fail as the stage would on reaching the first position
// without one. Returns the call's decay.
Decay make_decay(const WorkingSet& working, const DoubleVector& timestamps,
                 std::optional<double> recent_days, double now);

// s[i] *= 1 / (age_days / half_life + 1) for the positions first..first+count-1 (s[0] holds
// position `first`) whose timestamp is > 0. Every step is the scalar IEEE operation, so the AVX
// path and the scalar path give the same bits.
void apply_decay(float* s, const WorkingSet& working, const Decay& decay, std::size_t first,
                 std::size_t count);

}  // namespace quorvel
