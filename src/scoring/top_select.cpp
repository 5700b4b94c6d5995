// Candidate pool selection. Scores are ranked through a 32-bit key whose unsigned order is the
// rank order, so that every comparison is an integer compare and NaN needs no special case there.
#include "scoring/top_select.hpp"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>

#include "core/failure.hpp"
#include "kernels/rank_keys.hpp"

namespace quorvel {
namespace {

using Candidate = RunningTop::Candidate;

// Drops the positions with non-finite scores from out[0..n), keeping order; returns the count kept.
std::size_t keep_finite(const float* scores, std::uint64_t* out, std::size_t n) {
    std::size_t kept = 0;
    for (std::size_t j = 0; j < n; ++j)
        if (std::isfinite(scores[out[j]])) out[kept++] = out[j];
    return kept;
}

// Below this many candidates the k-th key is found by nth_element over a copy of the keys on the
// stack; from here up by a radix selection, whose fixed cost of clearing its counts is then small
// (m = 1M ascending, P = 10, refills of 512 candidates: 7.8 ms with the radix selection alone,
// 3.6 ms with nth_element below this size).
constexpr std::size_t kRadixSelectFrom = 4096;

// The key of the k-th best of the n keys key_of(0..n-1) (0 < k <= n): a most-significant-digit-
// first radix selection over the key's 11 + 11 + 10 bits, reading the keys three times and moving
// nothing.
template <class KeyOf>
std::uint32_t radix_kth_key(KeyOf key_of, std::size_t n, std::size_t k) {
    constexpr int kShifts[3] = {21, 10, 0};
    constexpr std::uint32_t kDigits[3] = {0x7FF, 0x7FF, 0x3FF};
    std::uint32_t prefix = 0;       // the digits found so far, in place
    std::uint32_t prefix_mask = 0;  // the bits they cover
    std::size_t rank = k;           // rank of the wanted key among the keys with that prefix
    std::size_t count[2048];
    for (int d = 0; d < 3; ++d) {
        const int shift = kShifts[d];
        const std::uint32_t digits = kDigits[d];
        std::fill(count, count + digits + 1, std::size_t{0});
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint32_t key = key_of(i);
            if ((key & prefix_mask) == prefix) ++count[(key >> shift) & digits];
        }
        std::uint32_t digit = digits;
        while (count[digit] < rank) rank -= count[digit--];
        prefix |= digit << shift;
        prefix_mask |= digits << shift;
    }
    return prefix;
}

// The key of the k-th best of c[0..n) (0 < k <= n), by nth_element over a copy of the keys below
// kRadixSelectFrom candidates.
std::uint32_t kth_key(const Candidate* c, std::size_t n, std::size_t k) {
    if (n < kRadixSelectFrom) {
        std::uint32_t keys[kRadixSelectFrom];
        for (std::size_t i = 0; i < n; ++i) keys[i] = c[i].key;
        std::nth_element(keys, keys + (k - 1), keys + n, std::greater<>());
        return keys[k - 1];
    }
    return radix_kth_key([c](std::size_t i) { return c[i].key; }, n, k);
}

// Keeps the k best of c[0..n) in c[0..k), in position order, and returns the worst key kept.
// c[0..n) is in position order, so that of the candidates at that key the earliest are kept.
std::uint32_t keep_best(Candidate* c, std::size_t n, std::size_t k) {
    const std::uint32_t bar = kth_key(c, n, k);
    std::size_t above = 0;
    for (std::size_t i = 0; i < n; ++i) above += c[i].key > bar;
    std::size_t at_bar = k - above;  // entries at the bar key still to keep
    std::size_t kept = 0;
    for (std::size_t i = 0; i < n && kept < k; ++i) {
        const std::uint32_t key = c[i].key;
        const bool keep = key > bar || (key == bar && at_bar != 0);
        at_bar -= key == bar && keep;
        c[kept] = c[i];
        kept += keep;
    }
    return bar;
}

// Sorts c[0..n) best first, stably (equal keys keep their order), with a least-significant-digit
// radix sort over the key's 11 + 11 + 10 bits through tmp[0..n); returns the array holding the
// result (c or tmp). The three digits are counted in one pass, since a count does not depend on
// the order that the earlier digits left (11,108 candidates, AMD EPYC Zen 4: 0.067 ms with a count
// per digit, 0.057 ms with the one count). A digit that all keys share moves nothing.
const Candidate* sort_by_key(Candidate* c, Candidate* tmp, std::size_t n) {
    constexpr int kShifts[3] = {0, 11, 22};
    constexpr std::uint32_t kDigits[3] = {0x7FF, 0x7FF, 0x3FF};
    // Larger digits first: the bucket of digit x is digits - x.
    auto bucket = [&](std::uint32_t key, int d) { return kDigits[d] - ((key >> kShifts[d]) & kDigits[d]); };
    std::size_t count[3][2048] = {};
    for (std::size_t i = 0; i < n; ++i)
        for (int d = 0; d < 3; ++d) ++count[d][bucket(c[i].key, d)];
    Candidate* from = c;
    Candidate* to = tmp;
    for (int d = 0; d < 3; ++d) {
        std::size_t* offsets = count[d];
        if (n == 0 || offsets[bucket(from[0].key, d)] == n) continue;
        std::size_t offset = 0;
        for (std::uint32_t b = 0; b <= kDigits[d]; ++b) {
            const std::size_t here = offsets[b];
            offsets[b] = offset;
            offset += here;
        }
        for (std::size_t i = 0; i < n; ++i) to[offsets[bucket(from[i].key, d)]++] = from[i];
        std::swap(from, to);
    }
    return from;
}

// The sorted candidates sorted[0..n) as the selection's result, non-finite scores dropped;
// scores[j] receives the score of position j of the result when scores is given.
TopPositions finite_result(const Candidate* sorted, std::size_t n, Buffer<float>* scores) {
    TopPositions top{Buffer<std::uint64_t>(n, "top positions"), 0};
    if (scores) *scores = Buffer<float>(n, "top scores");
    std::size_t kept = 0;
    for (std::size_t j = 0; j < n; ++j) {
        if (!std::isfinite(sorted[j].score)) continue;
        top.storage[kept] = sorted[j].pos;
        if (scores) (*scores)[kept] = sorted[j].score;
        ++kept;
    }
    top.count = kept;
    return top;
}

// P from m/64 to m/8 (and at least kCountedFrom), with every score at hand: a count of the top
// key digit (11 bits: sign, exponent, two mantissa bits) over all scores finds the digit that the
// P-th best reaches, and one pass gathers, in position order, the candidates at or above it; a
// stable sort by key then puts the P best first, ties in position order. When the digit is shared
// by so many scores that more than 2P would be gathered, the P-th best key itself is found by a
// radix selection over all scores, and the gather keeps the scores above it and the earliest ones
// at it. The running selection, which must guess its bar from the scores seen so far, admits
// about P (1 + ln(m / P)) candidates and refills its buffer again and again; here at most 2P are
// gathered once (100,000 random scores, P = 10,000: 0.66-0.79 ms running, 0.26 ms counted). Extra
// memory: at most 4P + 1 candidates of 16 bytes, 8 bytes per score.
constexpr std::size_t kCountedFrom = 1024;

bool counted_suits(std::size_t m, std::size_t k) {
    return k >= kCountedFrom && k <= m / 8 && m / 64 <= k && m <= std::numeric_limits<std::uint32_t>::max();
}

// The count scores whose key is at least low (m < 2^32), in position order, into c[0..count).
void gather_from_key(const float* scores, std::size_t m, std::uint32_t low, std::size_t count, Candidate* c) {
    Buffer<std::uint32_t> positions(count + 8, "top candidate positions");
    if (positions_from_key(scores, m, low, positions.data()) != count)
        fail("top selection: the gather disagrees with the digit counts");
    for (std::size_t j = 0; j < count; ++j) {
        const std::uint32_t i = positions[j];
        c[j] = {rank_key(scores[i]), scores[i], i};
    }
}

// The k best scores in position order into c[0..k): those above the k-th best key, and the
// earliest ones at it.
void gather_best(const float* scores, std::size_t m, std::size_t k, Candidate* c) {
    const std::uint32_t bar = radix_kth_key([scores](std::size_t i) { return rank_key(scores[i]); }, m, k);
    std::size_t above_bar = 0;
    for (std::size_t i = 0; i < m; ++i) above_bar += rank_key(scores[i]) > bar;
    std::size_t at_bar = k - above_bar;  // scores at the bar key still to keep
    std::size_t n = 0;
    for (std::size_t i = 0; i < m && n < k; ++i) {
        const std::uint32_t key = rank_key(scores[i]);
        const bool keep = key > bar || (key == bar && at_bar != 0);
        at_bar -= key == bar && keep;
        c[n] = {key, scores[i], i};
        n += keep;
    }
}

TopPositions select_counted(const float* scores, std::size_t m, std::size_t k) {
    std::uint32_t counts[kTopDigits];
    count_top_digits(scores, m, counts);
    std::size_t above = 0;  // scores whose top digit is above the bar digit
    std::size_t digit = kTopDigits - 1;
    while (above + counts[digit] < k) above += counts[digit--];

    const std::size_t gathered = above + counts[digit];
    const bool by_digit = gathered <= 2 * k;
    const std::size_t n = by_digit ? gathered : k;
    // The gathered candidates (and room for one more), then the sort's second array.
    Buffer<Candidate> c(2 * n + 1, "top candidates");
    if (by_digit)
        gather_from_key(scores, m, static_cast<std::uint32_t>(digit) << kTopDigitShift, n, c.data());
    else
        gather_best(scores, m, k, c.data());
    return finite_result(sort_by_key(c.data(), c.data() + n + 1, n), k, nullptr);
}

// select_top's running branch, fed in chunks of this many scores as a caller of RunningTop would
// feed it (the result does not depend on the chunking).
constexpr std::size_t kRunningChunk = 8192;

TopPositions select_running(const float* scores, std::size_t m, std::size_t k) {
    RunningTop top(m, k);
    for (std::size_t first = 0; first < m; first += kRunningChunk)
        top.add(scores + first, first, std::min(kRunningChunk, m - first));
    Buffer<float> kept_scores;
    return top.finish(kept_scores);
}

// P a large share of m: every position in one array, split at P by nth_element and the first P
// sorted, or all of them sorted when P == m. Below 2^32 scores each entry packs the key above
// the complement of the position, so that plain integer order is rank order with ties by
// position and no comparison touches the scores (1M scores, P = m: 148 ms comparing through the
// scores, 67 ms packed). From 2^32 up, positions are compared through the scores.
TopPositions select_all(const float* scores, std::size_t m, std::size_t k, bool packed) {
    TopPositions top{Buffer<std::uint64_t>(m, "top positions"), 0};
    std::uint64_t* pos = top.storage.data();
    if (packed) {
        constexpr std::uint64_t kLow = 0xFFFFFFFFu;
        for (std::size_t i = 0; i < m; ++i)
            pos[i] = (static_cast<std::uint64_t>(rank_key(scores[i])) << 32) | (kLow - i);
        const auto before = [](std::uint64_t a, std::uint64_t b) { return a > b; };
        if (k < m) std::nth_element(pos, pos + k, pos + m, before);
        std::sort(pos, pos + k, before);
        for (std::size_t j = 0; j < k; ++j) pos[j] = kLow - (pos[j] & kLow);
    } else {
        for (std::size_t i = 0; i < m; ++i) pos[i] = i;
        const auto before = [scores](std::uint64_t a, std::uint64_t b) {
            const std::uint32_t ka = rank_key(scores[a]);
            const std::uint32_t kb = rank_key(scores[b]);
            return ka > kb || (ka == kb && a < b);
        };
        if (k < m) std::nth_element(pos, pos + k, pos + m, before);
        std::sort(pos, pos + k, before);
    }
    top.count = keep_finite(scores, pos, k);
    return top;
}

TopPositions select(const float* scores, std::size_t m, std::uint64_t p, bool packed_allowed) {
    const std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(p, m));
    if (k == 0) return {};
    // The running buffer (16-byte candidates, max(2P, min(512, m/4)) of them, plus P results)
    // stays within 5 bytes per score for P <= m/8; above that the single position array takes 8.
    if (RunningTop::suits(m, k)) return select_running(scores, m, k);
    if (counted_suits(m, k)) return select_counted(scores, m, k);
    const bool packed = packed_allowed && static_cast<std::uint64_t>(m) <= (std::uint64_t{1} << 32);
    return select_all(scores, m, k, packed);
}

}  // namespace

// P small against m: one pass with a candidate buffer of at least 2P entries, kept in position
// order. When it fills, the key of the P-th best candidate is found by a radix selection over the
// buffer, the P best are compacted in place (ties at that key by position, the earliest kept), and
// a later score must beat that key. Each refill costs O(capacity) and admits at least P new
// candidates, so the pass is linear even on ascending scores; the floor of 512 entries (at most
// m/4) keeps refills rare for tiny P. finish() compacts once more and sorts the P survivors by
// key with a stable radix sort, so that equal keys stay in position order without a comparison.
bool RunningTop::suits(std::size_t m, std::uint64_t p) {
    const std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(p, m));
    return k != 0 && k <= m / 8 && !counted_suits(m, k);
}

RunningTop::RunningTop(std::size_t m, std::uint64_t p)
    : k_(static_cast<std::size_t>(std::min<std::uint64_t>(p, m))),
      cap_(std::max(2 * k_, std::min<std::size_t>(512, m / 4))),
      cand_(cap_, "top candidates") {}

// From this P up the running selection admits candidates without a branch: with a large buffer
// the bar stays low for long and whether a score passes is unpredictable, and a mispredicted
// branch costs more than the store. Below it the bar soon rejects nearly every score, and the
// branch is cheaper (1M random scores, P = 10: 0.8 ms with it, 1.1 ms without).
constexpr std::size_t kBranchFreeFrom = 1024;

void RunningTop::add(const float* scores, std::size_t first, std::size_t count) {
    if (k_ >= kBranchFreeFrom)
        add_chunk<true>(scores, first, count);
    else
        add_chunk<false>(scores, first, count);
}

template <bool kBranchFree>
void RunningTop::add_chunk(const float* scores, std::size_t first, std::size_t count) {
    Candidate* c = cand_.data();
    std::size_t n = n_;
    std::uint64_t bar = bar_;
    for (std::size_t i = 0; i < count; ++i) {
        const float score = scores[i];
        const std::uint32_t key = rank_key(score);
        if constexpr (kBranchFree) {
            c[n] = {key, score, first + i};  // n < cap_ here; kept only if the count moves on
            n += key >= bar;
        } else {
            if (key < bar) continue;
            c[n++] = {key, score, first + i};
        }
        if (n == cap_) {
            bar = static_cast<std::uint64_t>(keep_best(c, n, k_)) + 1;
            n = k_;
        }
    }
    n_ = n;
    bar_ = bar;
}

TopPositions RunningTop::finish(Buffer<float>& scores) {
    Candidate* c = cand_.data();
    std::size_t n = n_;
    if (n > k_) {
        keep_best(c, n, k_);
        n = k_;
    }
    // cap_ >= 2 k_, so the upper half of the buffer is free for the sort's second array.
    return finite_result(sort_by_key(c, c + k_, n), n, &scores);
}

TopPositions select_top(const float* scores, std::size_t m, std::uint64_t p) {
    return select(scores, m, p, true);
}

namespace detail {
TopPositions select_top_indirect(const float* scores, std::size_t m, std::uint64_t p) {
    return select(scores, m, p, false);
}
}  // namespace detail

}  // namespace quorvel
