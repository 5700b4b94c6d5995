// Temporal decay of scores by document age.
#include "scoring/temporal_decay.hpp"

#include <cmath>

#include "core/failure.hpp"

namespace quorvel {

void apply_decay(float* s, const WorkingSet& working, const DoubleVector& timestamps,
                 std::optional<double> recent_days, double now) {
    const std::size_t m = working.size();
    if (working.rows.empty() && timestamps.len < m) fail_index(timestamps.len, timestamps.len);
    const float half_life = recent_days ? static_cast<float>(*recent_days) : 30.0f;
    for (std::size_t i = 0; i < m; ++i) {
        const double t = timestamps[working.input_row(i)];
        if (!(t > 0.0)) continue;  // undated row: zero, negative or NaN
        double age_days = (now - t) / 86400.0;
        if (age_days < 0.0 || std::isnan(age_days)) age_days = 0.0;
        const float age = static_cast<float>(age_days);
        const float factor = 1.0f / (age / half_life + 1.0f);
        s[i] = factor * s[i];
    }
}

}  // namespace quorvel
