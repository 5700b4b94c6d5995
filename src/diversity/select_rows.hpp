// Row gathering: copies the rows of a strided float32 matrix named by a list of row indices into
// a new packed row-major buffer. Shared by the diversity selection and the candidate pre-filter.
#pragma once

#include <cstdint>
#include <span>

#include "core/buffer.hpp"
#include "core/views.hpp"

namespace quorvel {

// Returns indices.size() x matrix.cols floats, row i a bit-exact copy of matrix row indices[i].
// Each index is checked against matrix.rows just before its row is copied; an index out of range
// throws InternalFailure("assertion failed: index < dim") and rows copied so far are discarded.
Buffer<float> select_rows(const FloatMatrix& matrix, std::span<const std::uint64_t> indices);

}  // namespace quorvel
