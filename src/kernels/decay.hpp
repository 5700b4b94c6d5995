// The temporal decay of scores by document age, one row and a packed run of rows: a scalar path
// and an AVX2 path that does the same IEEE operations eight rows at a time, so both give the same
// bits.
#pragma once

#include <cmath>
#include <cstddef>

namespace quorvel {

// One row: (now - t) / 86400 in double, clamped to 0 when negative or NaN, narrowed to float32;
// then factor = 1 / (age / half_life + 1) and factor * s, in float32. Undated rows (t zero,
// negative or NaN) keep their score.
inline float decayed_score(float s, double t, float half_life, double now) {
    if (!(t > 0.0)) return s;
    double age_days = (now - t) / 86400.0;
    if (age_days < 0.0 || std::isnan(age_days)) age_days = 0.0;
    const float age = static_cast<float>(age_days);
    const float factor = 1.0f / (age / half_life + 1.0f);
    return factor * s;
}

// s[i] = decayed_score(s[i], t[i], half_life, now) for i < count; s and t packed.
void decay_packed_scalar(float* s, const double* t, std::size_t count, float half_life, double now);
// The same, eight rows at a time. Needs simd_available() (kernels/simd.hpp): throws
// InternalFailure without it.
void decay_packed_avx2(float* s, const double* t, std::size_t count, float half_life, double now);

}  // namespace quorvel
