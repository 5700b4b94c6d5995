// Read-only strided views over caller memory. A view never owns or copies its data; strides are
// in bytes and may be negative, zero (broadcast) or not a multiple of the element size, and the
// data need not be aligned, so every element is read with memcpy unless a fast path has checked
// that plain pointer arithmetic is valid.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace quorvel {

template <class T>
inline T load_unaligned(const std::byte* p) {
    T v;
    std::memcpy(&v, p, sizeof(T));
    return v;
}

// 1-D view: element i lives at data + i * stride.
template <class T>
struct Strided1 {
    const std::byte* data = nullptr;
    std::size_t len = 0;
    std::ptrdiff_t stride = sizeof(T);  // bytes

    T operator[](std::size_t i) const {
        return load_unaligned<T>(data + static_cast<std::ptrdiff_t>(i) * stride);
    }
    std::size_t size() const { return len; }
    // True when the elements are packed, in order and naturally aligned: readable as const T*.
    bool contiguous() const {
        return (stride == static_cast<std::ptrdiff_t>(sizeof(T)) || len <= 1) &&
               reinterpret_cast<std::uintptr_t>(data) % alignof(T) == 0;
    }
    const T* ptr() const { return reinterpret_cast<const T*>(data); }
};

// 2-D view: element (r, c) lives at data + r * row_stride + c * col_stride.
template <class T>
struct Strided2 {
    const std::byte* data = nullptr;
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::ptrdiff_t row_stride = 0;  // bytes
    std::ptrdiff_t col_stride = sizeof(T);  // bytes

    T at(std::size_t r, std::size_t c) const {
        return load_unaligned<T>(data + static_cast<std::ptrdiff_t>(r) * row_stride +
                                 static_cast<std::ptrdiff_t>(c) * col_stride);
    }
    const std::byte* row_ptr(std::size_t r) const {
        return data + static_cast<std::ptrdiff_t>(r) * row_stride;
    }
    Strided1<T> row(std::size_t r) const { return {row_ptr(r), cols, col_stride}; }
    // Rows whose elements are packed and aligned: row r readable as const T*.
    bool rows_contiguous() const {
        return (col_stride == static_cast<std::ptrdiff_t>(sizeof(T)) || cols <= 1) &&
               reinterpret_cast<std::uintptr_t>(data) % alignof(T) == 0 &&
               (rows <= 1 || row_stride % static_cast<std::ptrdiff_t>(alignof(T)) == 0);
    }
    const T* row_as_ptr(std::size_t r) const { return reinterpret_cast<const T*>(row_ptr(r)); }
};

using FloatVector = Strided1<float>;
using DoubleVector = Strided1<double>;
using ByteVector = Strided1<std::uint8_t>;
using FloatMatrix = Strided2<float>;

// A contiguous row-major float32 matrix owned by the code that made it, viewed as a FloatMatrix.
inline FloatMatrix view_packed(const float* data, std::size_t rows, std::size_t cols) {
    return {reinterpret_cast<const std::byte*>(data), rows, cols,
            static_cast<std::ptrdiff_t>(cols * sizeof(float)), sizeof(float)};
}

}  // namespace quorvel
