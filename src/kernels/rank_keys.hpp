// The rank key of a score, which orders scores as the candidate pool ranks them, and the kernels
// that count the keys' top digits and find the positions whose key reaches a bar: each a scalar
// path and an AVX2 path that computes the same keys eight scores at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace quorvel {

// Larger key ranks earlier. Numbers map monotonically onto 1..0xFF800000 (-inf to +inf; -0.0
// just below +0.0, an order among equal scores that is allowed); every NaN maps to 0.
// Branch-free: the sign of random scores is unpredictable, and a branch on it cost 5.8 ns per
// score in the running selection.
inline std::uint32_t rank_key(float f) {
    std::uint32_t u;
    std::memcpy(&u, &f, sizeof u);
    const std::uint32_t flip = static_cast<std::uint32_t>(static_cast<std::int32_t>(u) >> 31) | 0x80000000u;
    return f != f ? 0 : u ^ flip;
}

// The top digit of a key: its 11 high bits (sign, exponent, two mantissa bits of the score).
inline constexpr int kTopDigitShift = 21;
inline constexpr std::size_t kTopDigits = std::size_t{1} << (32 - kTopDigitShift);

// counts[d] = how many of scores[0..m) have top key digit d, for d < kTopDigits (m < 2^32).
void count_top_digits_scalar(const float* scores, std::size_t m, std::uint32_t* counts);
// Needs simd_available() (kernels/simd.hpp): throws InternalFailure without it.
void count_top_digits_avx2(const float* scores, std::size_t m, std::uint32_t* counts);
// The AVX2 path when the CPU has it, the scalar path otherwise.
void count_top_digits(const float* scores, std::size_t m, std::uint32_t* counts);

// The positions i < m, ascending, whose rank_key(scores[i]) >= low, into out; returns how many.
// out has room for that many plus 8: the AVX2 path stores eight lanes at a time.
std::size_t positions_from_key_scalar(const float* scores, std::size_t m, std::uint32_t low, std::uint32_t* out);
// Needs simd_available() (kernels/simd.hpp): throws InternalFailure without it.
std::size_t positions_from_key_avx2(const float* scores, std::size_t m, std::uint32_t low, std::uint32_t* out);
// The AVX2 path when the CPU has it, the scalar path otherwise. Positions must fit 32 bits.
std::size_t positions_from_key(const float* scores, std::size_t m, std::uint32_t low, std::uint32_t* out);

}  // namespace quorvel
