// The pool selection as it ran before its running branch kept candidates in position order: the
// candidate buffer compacted by nth_element under a (key, position) comparison and sorted by
// std::sort, and the packed or indirect partial sort over all positions. Kept as the reference
// that select_top and RunningTop must match position for position, score for score.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace top_select_reference {

inline std::uint32_t rank_key(float f) {
    std::uint32_t u;
    std::memcpy(&u, &f, sizeof u);
    const std::uint32_t flip = static_cast<std::uint32_t>(static_cast<std::int32_t>(u) >> 31) | 0x80000000u;
    return f != f ? 0 : u ^ flip;
}

struct Candidate {
    std::uint32_t key;
    float score;
    std::uint64_t pos;
};

inline bool candidate_before(const Candidate& a, const Candidate& b) {
    return a.key > b.key || (a.key == b.key && a.pos < b.pos);
}

struct Top {
    std::vector<std::uint64_t> positions;
    std::vector<float> scores;
};

inline bool running_suits(std::size_t m, std::uint64_t p) {
    const std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(p, m));
    return k != 0 && k <= m / 8;
}

inline Top select_running(const float* scores, std::size_t m, std::size_t k) {
    const std::size_t cap = std::max(2 * k, std::min<std::size_t>(512, m / 4));
    std::vector<Candidate> c(cap);
    std::size_t n = 0;
    std::uint64_t bar = 0;
    for (std::size_t i = 0; i < m; ++i) {
        const std::uint32_t key = rank_key(scores[i]);
        if (key < bar) continue;
        c[n++] = {key, scores[i], i};
        if (n == cap) {
            std::nth_element(c.begin(), c.begin() + (k - 1), c.begin() + cap, candidate_before);
            bar = static_cast<std::uint64_t>(c[k - 1].key) + 1;
            n = k;
        }
    }
    if (n > k) {
        std::nth_element(c.begin(), c.begin() + (k - 1), c.begin() + n, candidate_before);
        n = k;
    }
    std::sort(c.begin(), c.begin() + n, candidate_before);
    Top top;
    for (std::size_t j = 0; j < n; ++j) {
        if (!std::isfinite(c[j].score)) continue;
        top.positions.push_back(c[j].pos);
        top.scores.push_back(c[j].score);
    }
    return top;
}

inline Top select_all(const float* scores, std::size_t m, std::size_t k, bool packed) {
    std::vector<std::uint64_t> pos(m);
    if (packed) {
        constexpr std::uint64_t kLow = 0xFFFFFFFFu;
        for (std::size_t i = 0; i < m; ++i)
            pos[i] = (static_cast<std::uint64_t>(rank_key(scores[i])) << 32) | (kLow - i);
        const auto before = [](std::uint64_t a, std::uint64_t b) { return a > b; };
        if (k < m) std::nth_element(pos.begin(), pos.begin() + k, pos.end(), before);
        std::sort(pos.begin(), pos.begin() + k, before);
        for (std::size_t j = 0; j < k; ++j) pos[j] = kLow - (pos[j] & kLow);
    } else {
        for (std::size_t i = 0; i < m; ++i) pos[i] = i;
        const auto before = [scores](std::uint64_t a, std::uint64_t b) {
            const std::uint32_t ka = rank_key(scores[a]);
            const std::uint32_t kb = rank_key(scores[b]);
            return ka > kb || (ka == kb && a < b);
        };
        if (k < m) std::nth_element(pos.begin(), pos.begin() + k, pos.end(), before);
        std::sort(pos.begin(), pos.begin() + k, before);
    }
    Top top;
    for (std::size_t j = 0; j < k; ++j) {
        if (!std::isfinite(scores[pos[j]])) continue;
        top.positions.push_back(pos[j]);
        top.scores.push_back(scores[pos[j]]);
    }
    return top;
}

// select_top as it ran: the running branch for P <= m/8, else the packed partial sort.
inline Top select_top(const float* scores, std::size_t m, std::uint64_t p) {
    const std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(p, m));
    if (k == 0) return {};
    if (running_suits(m, k)) return select_running(scores, m, k);
    return select_all(scores, m, k, true);
}

}  // namespace top_select_reference
