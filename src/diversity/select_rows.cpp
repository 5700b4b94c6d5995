// Row gathering for the diversity selection and the candidate pre-filter: a memcpy per row when
// a row's elements are packed, an element-by-element strided copy otherwise.
#include "diversity/select_rows.hpp"

#include <cstddef>
#include <cstring>

#include "core/failure.hpp"

namespace quorvel {

Buffer<float> select_rows(const FloatMatrix& matrix, std::span<const std::uint64_t> indices) {
    const std::size_t cols = matrix.cols;
    Buffer<float> out(checked_product(indices.size(), cols, "gathered rows"), "gathered rows");
    float* dst = out.data();

    // memcpy has no alignment needs, so a packed row qualifies whatever its address; a single
    // column is one element whatever the column stride.
    const bool packed_rows =
        matrix.col_stride == static_cast<std::ptrdiff_t>(sizeof(float)) || cols <= 1;
    for (const std::uint64_t index : indices) {
        if (index >= matrix.rows) [[unlikely]]
            fail("assertion failed: index < dim");
        if (cols == 0) continue;  // data may be null: nothing to read
        const std::byte* src = matrix.row_ptr(index);
        if (packed_rows) {
            std::memcpy(dst, src, cols * sizeof(float));
        } else {
            for (std::size_t c = 0; c < cols; ++c)
                dst[c] = load_unaligned<float>(src + static_cast<std::ptrdiff_t>(c) * matrix.col_stride);
        }
        dst += cols;
    }
    return out;
}

}  // namespace quorvel
