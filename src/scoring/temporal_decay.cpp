// The temporal decay stage: the call's decay, and the scores of a chunk decayed through the
// kernels of kernels/decay.hpp, the AVX2 one when the CPU has it.
#include "scoring/temporal_decay.hpp"

#include <algorithm>

#include "core/failure.hpp"
#include "kernels/decay.hpp"
#include "kernels/simd.hpp"

namespace quorvel {

Decay make_decay(const WorkingSet& working, const DoubleVector& timestamps,
                 std::optional<double> recent_days, double now) {
    if (working.rows.empty() && timestamps.len < working.size()) fail_index(timestamps.len, timestamps.len);
    return {timestamps, recent_days ? static_cast<float>(*recent_days) : kDefaultHalfLifeDays, now};
}

void apply_decay(float* s, const WorkingSet& working, const Decay& decay, std::size_t first,
                 std::size_t count) {
    const DoubleVector& ts = decay.timestamps;
    if (!simd_available()) {
        for (std::size_t i = 0; i < count; ++i)
            s[i] = decayed_score(s[i], ts[working.input_row(first + i)], decay.half_life, decay.now);
        return;
    }
    if (working.rows.empty() && ts.contiguous()) {
        decay_packed_avx2(s, ts.ptr() + first, count, decay.half_life, decay.now);
        return;
    }
    // Pre-filtered or strided timestamps: gathered a block at a time, then decayed packed.
    constexpr std::size_t kBlock = 256;
    double t[kBlock];
    for (std::size_t b = 0; b < count; b += kBlock) {
        const std::size_t n = std::min(kBlock, count - b);
        for (std::size_t i = 0; i < n; ++i) t[i] = ts[working.input_row(first + b + i)];
        decay_packed_avx2(s + b, t, n, decay.half_life, decay.now);
    }
}

}  // namespace quorvel
