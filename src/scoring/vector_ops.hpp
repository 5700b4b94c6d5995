// Small float32 vector operations shared by the pipeline's stages: copying a strided vector,
// the squared norm and unit normalisation.
#pragma once

#include <cmath>
#include <cstddef>

#include "core/buffer.hpp"
#include "core/views.hpp"

namespace quorvel {

inline Buffer<float> copy_vector(const FloatVector& v, const char* what) {
    Buffer<float> out(v.len, what);
    for (std::size_t i = 0; i < v.len; ++i) out[i] = v[i];
    return out;
}

// Sum of squares accumulated in float32, in element order.
inline float squared_norm(const float* v, std::size_t len) {
    float sum = 0.0f;
    for (std::size_t i = 0; i < len; ++i) sum += v[i] * v[i];
    return sum;
}

// Divides by the norm when the squared norm is greater than 0 (a zero or NaN vector is left as
// it is: there is no epsilon and no error).
inline void normalise(float* v, std::size_t len) {
    const float sq = squared_norm(v, len);
    if (!(sq > 0.0f)) return;
    const float norm = std::sqrt(sq);
    for (std::size_t i = 0; i < len; ++i) v[i] = v[i] / norm;
}

}  // namespace quorvel
