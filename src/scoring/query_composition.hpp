// The vector-level modulations of a query: blending towards the centroid of liked rows, the
// trajectory direction and its score blend, and the contrast against a negative query.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/buffer.hpp"
#include "core/views.hpp"

namespace quorvel {

// Replaces the normalised query q (matrix.cols long) by the liked rows' centroid, or by the
// renormalised half-and-half blend of both when the query's squared norm was greater than 0.
void blend_towards_centroid(float* q, float query_squared_norm, const FloatMatrix& matrix,
                            std::span<const std::uint64_t> liked_rows);

// Normalised to - from; a vector of length 1 stands for one of any length filled with its value.
Buffer<float> trajectory_direction(const FloatVector& from, const FloatVector& to);

// s[i] = 0.7 s[i] + 0.3 t[i], each product rounded before the sum.
void blend_trajectory(float* s, const float* t, std::size_t m);

// s[i] = s[i] - 0.5 u[i]; an excluded row (-inf) stays excluded.
void apply_contrast(float* s, const float* u, std::size_t m);

// Fails unless a vector about to be dotted with the rows has the rows' length.
void check_product_shape(std::size_t vector_len, std::size_t dims, const char* what);

}  // namespace quorvel
