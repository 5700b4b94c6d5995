// The single-thread read bound of a buffer: how fast one core can read `bytes` bytes, split into
// `streams` equal parts that are read side by side (several far-apart streams keep more DRAM
// pages open and more requests in flight than one). Built by `make bench` as a shared library
// with the module's flags and called through ctypes on the very buffer a call reads, so that the
// probe and the call see the same pages, the same caches and the same moment of a noisy machine.
//
// Each stream is read with 32-byte AVX2 loads folded into OR accumulators (one cheap operation a
// load, so the loop is bound by the loads alone), and, when asked, prefetched `ahead` bytes in
// front. AVX2 is used only in a function with a target attribute, chosen at run time; without
// it a scalar 8-byte loop does the same.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

constexpr std::size_t kMaxStreams = 16;

__attribute__((target("avx2"))) std::uint64_t read_avx2(const unsigned char* p, std::size_t bytes,
                                                        std::size_t streams, std::size_t ahead) {
    const std::size_t part = bytes / streams / 128 * 128;  // 128 bytes per stream and step
    const unsigned char* s[kMaxStreams];
    for (std::size_t k = 0; k < streams; ++k) s[k] = p + k * part;
    __m256i acc0 = _mm256_setzero_si256(), acc1 = _mm256_setzero_si256();
    __m256i acc2 = _mm256_setzero_si256(), acc3 = _mm256_setzero_si256();
    for (std::size_t off = 0; off < part; off += 128) {
        for (std::size_t k = 0; k < streams; ++k) {
            const unsigned char* q = s[k] + off;
            if (ahead != 0) {
                // Only a hint: a prefetch past the buffer never faults.
                const std::uintptr_t at = reinterpret_cast<std::uintptr_t>(q) + ahead;
                _mm_prefetch(reinterpret_cast<const char*>(at), _MM_HINT_T0);
                _mm_prefetch(reinterpret_cast<const char*>(at + 64), _MM_HINT_T0);
            }
            acc0 = _mm256_or_si256(acc0, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q)));
            acc1 = _mm256_or_si256(acc1, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + 32)));
            acc2 = _mm256_or_si256(acc2, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + 64)));
            acc3 = _mm256_or_si256(acc3, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + 96)));
        }
    }
    // The tail (less than 128 bytes a stream, and what `streams` does not divide) is read plainly.
    std::uint64_t tail = 0;
    for (std::size_t i = part * streams; i + 8 <= bytes; i += 8) {
        std::uint64_t v;
        std::memcpy(&v, p + i, 8);
        tail |= v;
    }
    const __m256i all = _mm256_or_si256(_mm256_or_si256(acc0, acc1), _mm256_or_si256(acc2, acc3));
    alignas(32) std::uint64_t lanes[4];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), all);
    return lanes[0] | lanes[1] | lanes[2] | lanes[3] | tail;
}

std::uint64_t read_scalar(const unsigned char* p, std::size_t bytes, std::size_t streams) {
    const std::size_t part = bytes / streams / 8 * 8;
    std::uint64_t acc = 0;
    for (std::size_t off = 0; off < part; off += 8)
        for (std::size_t k = 0; k < streams; ++k) {
            std::uint64_t v;
            std::memcpy(&v, p + k * part + off, 8);
            acc |= v;
        }
    return acc;
}

}  // namespace

extern "C" {

// 1 when the AVX2 loop runs on this CPU.
int read_probe_simd() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") ? 1 : 0;
}

// Reads `bytes` bytes from `data` as `streams` (1..16) side-by-side streams, prefetching `ahead`
// bytes in front of each (0: no prefetch). Returns the OR of everything read, so that nothing
// can be left out; the caller times the call.
std::uint64_t read_probe(const void* data, std::size_t bytes, std::size_t streams, std::size_t ahead) {
    if (data == nullptr || bytes == 0) return 0;
    if (streams == 0) streams = 1;
    if (streams > kMaxStreams) streams = kMaxStreams;
    const auto* p = static_cast<const unsigned char*>(data);
    if (read_probe_simd()) return read_avx2(p, bytes, streams, ahead);
    return read_scalar(p, bytes, streams);
}

}  // extern "C"
