// The decay kernels over packed rows: the scalar loop and its AVX2 twin.
#include "kernels/decay.hpp"

#include "core/failure.hpp"
#include "kernels/simd.hpp"

namespace quorvel {

void decay_packed_scalar(float* s, const double* t, std::size_t count, float half_life, double now) {
    for (std::size_t i = 0; i < count; ++i) s[i] = decayed_score(s[i], t[i], half_life, now);
}

// Rows whose timestamps lie packed at t[0..count): eight at a time, each operation the IEEE one
// of decayed_score() (divisions, not reciprocals; no fused multiply-add), lanes of undated rows kept.
// The scalar loop, bound by a double and two float divisions a row, takes 2.8 ms per million
// rows; this one 0.5 ms (1M rows in 8K-row chunks, against about 45 ms for the scan).
QUORVEL_AVX2 void decay_packed_avx2(float* s, const double* t, std::size_t count, float half_life, double now) {
    if (!simd_available()) fail("the AVX2 decay kernel needs a CPU with AVX2 and FMA");
    const __m256d zero_d = _mm256_setzero_pd();
    const __m256d day = _mm256_set1_pd(86400.0);
    const __m256d now_d = _mm256_set1_pd(now);
    const __m256 h = _mm256_set1_ps(half_life);
    const __m256 one = _mm256_set1_ps(1.0f);
    const __m256i lane_bit = _mm256_setr_epi32(1, 2, 4, 8, 16, 32, 64, 128);
    std::size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        const __m256d t0 = _mm256_loadu_pd(t + i);
        const __m256d t1 = _mm256_loadu_pd(t + i + 4);
        // Dated lanes (t > 0, false for NaN), as one bit each, spread to a float lane mask.
        const int bits = _mm256_movemask_pd(_mm256_cmp_pd(t0, zero_d, _CMP_GT_OQ)) |
                         (_mm256_movemask_pd(_mm256_cmp_pd(t1, zero_d, _CMP_GT_OQ)) << 4);
        if (bits == 0) continue;
        const __m256 dated = _mm256_castsi256_ps(
            _mm256_cmpeq_epi32(_mm256_and_si256(_mm256_set1_epi32(bits), lane_bit), lane_bit));
        __m256d a0 = _mm256_div_pd(_mm256_sub_pd(now_d, t0), day);
        __m256d a1 = _mm256_div_pd(_mm256_sub_pd(now_d, t1), day);
        // age >= 0 keeps the age (-0.0 included); negative or NaN becomes +0.0.
        a0 = _mm256_and_pd(a0, _mm256_cmp_pd(a0, zero_d, _CMP_GE_OQ));
        a1 = _mm256_and_pd(a1, _mm256_cmp_pd(a1, zero_d, _CMP_GE_OQ));
        const __m256 age = _mm256_set_m128(_mm256_cvtpd_ps(a1), _mm256_cvtpd_ps(a0));
        const __m256 factor = _mm256_div_ps(one, _mm256_add_ps(_mm256_div_ps(age, h), one));
        const __m256 x = _mm256_loadu_ps(s + i);
        _mm256_storeu_ps(s + i, _mm256_blendv_ps(x, _mm256_mul_ps(factor, x), dated));
    }
    for (; i < count; ++i) s[i] = decayed_score(s[i], t[i], half_life, now);
}

}  // namespace quorvel
