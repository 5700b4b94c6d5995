// The diversity selection as it ran before it computed similarities per pick: the full n x n
// float32 product of the gathered candidate rows (upper triangle computed, lower mirrored), then
// the greedy picks over it. Kept verbatim as the reference that the per-pick selection must match
// bit for bit, on both kernel paths.
#pragma once

#include <immintrin.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "diversity/mmr.hpp"

namespace mmr_reference {

constexpr std::size_t kLanes = 8;

inline void dot4(const float* a, const float* b0, const float* b1, const float* b2, const float* b3,
                 std::size_t d, float* out) {
    float s0[kLanes] = {}, s1[kLanes] = {}, s2[kLanes] = {}, s3[kLanes] = {};
    std::size_t i = 0;
    for (; i + kLanes <= d; i += kLanes) {
        for (std::size_t l = 0; l < kLanes; ++l) {
            const float x = a[i + l];
            s0[l] += x * b0[i + l];
            s1[l] += x * b1[i + l];
            s2[l] += x * b2[i + l];
            s3[l] += x * b3[i + l];
        }
    }
    for (std::size_t l = 0; i < d; ++i, ++l) {
        const float x = a[i];
        s0[l] += x * b0[i];
        s1[l] += x * b1[i];
        s2[l] += x * b2[i];
        s3[l] += x * b3[i];
    }
    float* sums[4] = {s0, s1, s2, s3};
    for (std::size_t r = 0; r < 4; ++r) {
        const float* s = sums[r];
        out[r] = ((s[0] + s[4]) + (s[1] + s[5])) + ((s[2] + s[6]) + (s[3] + s[7]));
    }
}

inline float dot1(const float* a, const float* b, std::size_t d) {
    float s[kLanes] = {};
    std::size_t i = 0;
    for (; i + kLanes <= d; i += kLanes)
        for (std::size_t l = 0; l < kLanes; ++l) s[l] += a[i + l] * b[i + l];
    for (std::size_t l = 0; i < d; ++i, ++l) s[l] += a[i] * b[i];
    return ((s[0] + s[4]) + (s[1] + s[5])) + ((s[2] + s[6]) + (s[3] + s[7]));
}

inline void gram_scalar(const float* g, std::size_t n, std::size_t d, float* sim) {
    float four[4];
    for (std::size_t p = 0; p < n; ++p) {
        const float* a = g + p * d;
        std::size_t j = p;
        for (; j + 4 <= n; j += 4) {
            dot4(a, g + j * d, g + (j + 1) * d, g + (j + 2) * d, g + (j + 3) * d, d, four);
            for (std::size_t r = 0; r < 4; ++r) sim[p * n + j + r] = sim[(j + r) * n + p] = four[r];
        }
        for (; j < n; ++j) sim[p * n + j] = sim[j * n + p] = dot1(a, g + j * d, d);
    }
}

__attribute__((target("avx2,fma"))) inline float hsum(__m256 v) {
    __m128 s = _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
    s = _mm_add_ps(s, _mm_movehl_ps(s, s));
    s = _mm_add_ss(s, _mm_movehdup_ps(s));
    return _mm_cvtss_f32(s);
}

template <int R>
__attribute__((target("avx2,fma"))) inline void dot_rows_avx2(const float* a, const float* const* b,
                                                              std::size_t d, float* out) {
    __m256 acc0[R], acc1[R];
    for (int r = 0; r < R; ++r) acc0[r] = acc1[r] = _mm256_setzero_ps();
    std::size_t i = 0;
    for (; i + 16 <= d; i += 16) {
        const __m256 x0 = _mm256_loadu_ps(a + i);
        const __m256 x1 = _mm256_loadu_ps(a + i + 8);
        for (int r = 0; r < R; ++r) {
            acc0[r] = _mm256_fmadd_ps(x0, _mm256_loadu_ps(b[r] + i), acc0[r]);
            acc1[r] = _mm256_fmadd_ps(x1, _mm256_loadu_ps(b[r] + i + 8), acc1[r]);
        }
    }
    if (i + 8 <= d) {
        const __m256 x0 = _mm256_loadu_ps(a + i);
        for (int r = 0; r < R; ++r) acc0[r] = _mm256_fmadd_ps(x0, _mm256_loadu_ps(b[r] + i), acc0[r]);
        i += 8;
    }
    for (int r = 0; r < R; ++r) {
        float sum = hsum(_mm256_add_ps(acc0[r], acc1[r]));
        for (std::size_t t = i; t < d; ++t) sum += a[t] * b[r][t];
        out[r] = sum;
    }
}

__attribute__((target("avx2,fma"))) inline void gram_avx2(const float* g, std::size_t n, std::size_t d,
                                                          float* sim) {
    float out[4];
    for (std::size_t p = 0; p < n; ++p) {
        const float* a = g + p * d;
        std::size_t j = p;
        for (; j + 4 <= n; j += 4) {
            const float* b[4] = {g + j * d, g + (j + 1) * d, g + (j + 2) * d, g + (j + 3) * d};
            dot_rows_avx2<4>(a, b, d, out);
            for (std::size_t r = 0; r < 4; ++r) sim[p * n + j + r] = sim[(j + r) * n + p] = out[r];
        }
        for (; j < n; ++j) {
            const float* b[1] = {g + j * d};
            dot_rows_avx2<1>(a, b, d, out);
            sim[p * n + j] = sim[j * n + p] = out[0];
        }
    }
}

using GramFn = void (*)(const float*, std::size_t, std::size_t, float*);

// The full product of the packed rows g (n x d), n x n row-major.
inline std::vector<float> full_product(const float* g, std::size_t n, std::size_t d, GramFn gram) {
    std::vector<float> sim(n * n);
    gram(g, n, d, sim.data());
    return sim;
}

// Greedy picks over the full product sim of the candidates' rows, relevance rel per position.
inline std::vector<quorvel::MmrPick> select(const std::vector<std::uint64_t>& cands, const std::vector<double>& rel,
                                            const std::vector<float>& sim, std::uint64_t k, double lambda) {
    const std::size_t n = cands.size();
    if (n == 0) return {};
    std::vector<double> max_sim(n, -std::numeric_limits<double>::infinity());
    std::vector<unsigned char> selected(n, 0);
    auto merge = [&](std::size_t p) {
        for (std::size_t j = 0; j < n; ++j) {
            const double s = sim[p * n + j];
            if (std::isnan(max_sim[j]) || s > max_sim[j]) max_sim[j] = s;
        }
    };
    std::vector<quorvel::MmrPick> result{{cands[0], rel[0] * lambda}};
    selected[0] = 1;
    merge(0);
    if (k < 2) return result;
    const double redundancy_weight = 1.0 - lambda;
    while (result.size() < k && result.size() < n) {
        double best = -std::numeric_limits<double>::infinity();
        std::size_t best_pos = 0;
        for (std::size_t i = 0; i < n; ++i) {
            if (selected[i]) continue;
            const double gain = rel[i] * lambda;
            const double penalty = max_sim[i] * redundancy_weight;
            const double score = gain - penalty;
            if (score > best) {
                best = score;
                best_pos = i;
            }
        }
        if (best == -std::numeric_limits<double>::infinity()) break;
        result.push_back({cands[best_pos], best});
        selected[best_pos] = 1;
        merge(best_pos);
    }
    return result;
}

}  // namespace mmr_reference
