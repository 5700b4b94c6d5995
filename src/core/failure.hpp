// Failures raised by the module's plain C++ code. None of these types knows Python:
// the call frame in src/boundary/ maps each of them to a Python exception, in one place.
#pragma once

#include <cstddef>
#include <source_location>
#include <string>
#include <utility>

namespace quorvel {

// A violated internal check: an index out of range, vectors of incompatible shapes, a clock
// before the epoch. Carries the place where it arose for the report on standard error.
struct InternalFailure {
    std::string message;
    const char* file;
    unsigned line;
};

// A bad request that the caller is told about as ValueError.
struct InvalidValue {
    std::string message;
};

// A work buffer that could not be had. Reported as MemoryError with the size that was asked.
struct OutOfMemory {
    std::size_t bytes;
    const char* what;  // which buffer, e.g. "gathered rows"
};

[[noreturn]] inline void fail(std::string message,
                              std::source_location where = std::source_location::current()) {
    throw InternalFailure{std::move(message), where.file_name(), static_cast<unsigned>(where.line())};
}

// "index out of bounds" failure with the index and the length it was checked against.
[[noreturn]] inline void fail_index(std::size_t index, std::size_t len,
                                    std::source_location where = std::source_location::current()) {
    fail("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
             std::to_string(index),
         where);
}

inline void check_index(std::size_t index, std::size_t len,
                        std::source_location where = std::source_location::current()) {
    if (index >= len) [[unlikely]]
        fail_index(index, len, where);
}

// count * size (a buffer's bytes, or its elements), or OutOfMemory for the buffer `what` when the
// product does not fit in a size_t.
inline std::size_t checked_product(std::size_t count, std::size_t size, const char* what) {
    std::size_t product = 0;
    if (__builtin_mul_overflow(count, size, &product)) throw OutOfMemory{static_cast<std::size_t>(-1), what};
    return product;
}

}  // namespace quorvel
