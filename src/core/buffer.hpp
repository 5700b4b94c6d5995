// Work buffers owned by one call. Allocation never aborts: a request that cannot be met throws
// OutOfMemory naming the buffer and its size, which the call frame reports as MemoryError.
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <span>
#include <type_traits>

#include "core/failure.hpp"

namespace quorvel {

// A fixed-size array of trivially copyable T, left uninitialised.
template <class T>
class Buffer {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    Buffer() = default;
    Buffer(std::size_t count, const char* what) : size_(count) {
        const std::size_t bytes = checked_product(count, sizeof(T), what);
        if (count == 0) return;
        data_.reset(new (std::nothrow) T[count]);
        if (!data_) throw OutOfMemory{bytes, what};
    }

    T* data() { return data_.get(); }
    const T* data() const { return data_.get(); }
    std::size_t size() const { return size_; }
    T& operator[](std::size_t i) { return data_[i]; }
    const T& operator[](std::size_t i) const { return data_[i]; }
    std::span<T> span() { return {data_.get(), size_}; }
    std::span<const T> span() const { return {data_.get(), size_}; }

private:
    std::unique_ptr<T[]> data_;
    std::size_t size_ = 0;
};

}  // namespace quorvel
