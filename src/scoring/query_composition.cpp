// Centroid blending, trajectory and contrast, all in float32.
#include "scoring/query_composition.hpp"

#include <string>

#include "core/failure.hpp"
#include "scoring/vector_ops.hpp"

namespace quorvel {

void blend_towards_centroid(float* q, float query_squared_norm, const FloatMatrix& matrix,
                            std::span<const std::uint64_t> liked_rows) {
    const std::size_t dims = matrix.cols;
    Buffer<float> centroid(dims, "centroid");
    for (std::size_t d = 0; d < dims; ++d) centroid[d] = 0.0f;
    for (const std::uint64_t r : liked_rows) {
        if (r >= matrix.rows) fail("assertion failed: index < dim");
        const FloatVector row = matrix.row(r);
        for (std::size_t d = 0; d < dims; ++d) centroid[d] += row[d];
    }
    const float count = static_cast<float>(liked_rows.size());
    for (std::size_t d = 0; d < dims; ++d) centroid[d] = centroid[d] / count;
    normalise(centroid.data(), dims);

    if (!(query_squared_norm > 0.0f)) {
        for (std::size_t d = 0; d < dims; ++d) q[d] = centroid[d];
        return;
    }
    for (std::size_t d = 0; d < dims; ++d) {
        const float a = 0.5f * q[d];
        const float b = 0.5f * centroid[d];
        q[d] = a + b;
    }
    normalise(q, dims);
}

Buffer<float> trajectory_direction(const FloatVector& from, const FloatVector& to) {
    const bool same = from.len == to.len;
    if (!same && from.len != 1 && to.len != 1) {
        fail("incompatible shapes: cannot broadcast trajectory vectors of lengths " +
             std::to_string(from.len) + " and " + std::to_string(to.len));
    }
    const std::size_t len = same ? from.len : (from.len == 1 ? to.len : from.len);
    Buffer<float> d(len, "trajectory direction");
    for (std::size_t i = 0; i < len; ++i) {
        const float t = to[to.len == 1 ? 0 : i];
        const float f = from[from.len == 1 ? 0 : i];
        d[i] = t - f;
    }
    normalise(d.data(), len);
    return d;
}

void blend_trajectory(float* s, const float* t, std::size_t m) {
    for (std::size_t i = 0; i < m; ++i) {
        const float a = 0.7f * s[i];
        const float b = 0.3f * t[i];
        s[i] = a + b;
    }
}

void apply_contrast(float* s, const float* u, std::size_t m) {
    for (std::size_t i = 0; i < m; ++i) {
        const float b = 0.5f * u[i];
        s[i] = s[i] - b;
    }
}

void check_product_shape(std::size_t vector_len, std::size_t dims, const char* what) {
    if (vector_len != dims) {
        fail(std::string("shapes not compatible for matrix multiplication: rows of length ") +
             std::to_string(dims) + " and a " + what + " of length " + std::to_string(vector_len));
    }
}

}  // namespace quorvel
