// Candidate pool selection: the best P positions of a score vector, best first, with the
// non-finite scores dropped afterwards. Owns the rank order (NaN after every number) and the
// choice between a bounded running selection, a selection by counts of the top key digit, and a
// partial sort over all positions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/buffer.hpp"

namespace quorvel {

// Positions kept by select_top, best first. storage may hold more room than count.
struct TopPositions {
    Buffer<std::uint64_t> storage;
    std::size_t count = 0;

    std::size_t size() const { return count; }
    bool empty() const { return count == 0; }
    std::uint64_t operator[](std::size_t i) const { return storage[i]; }
    const std::uint64_t* begin() const { return storage.data(); }
    const std::uint64_t* end() const { return storage.data() + count; }
    std::span<const std::uint64_t> span() const { return {storage.data(), count}; }
};

// The running selection behind select_top when P is small against m, fed the scores a chunk at a
// time so that a caller can select from scores it never holds all at once: add() the scores of
// positions first..first+count-1 in ascending, gapless chunks covering 0..m-1, then finish().
// The result is select_top's for the whole vector. Memory: 16 bytes per candidate, at most
// max(2k, min(512, m/4)) candidates, k = min(p, m); nothing per score.
class RunningTop {
public:
    // Whether select_top(scores, m, p) runs this selection (P at most m/8, and below 1024 or m/64);
    // otherwise it needs all m scores at once.
    static bool suits(std::size_t m, std::uint64_t p);

    // Requires suits(m, p).
    RunningTop(std::size_t m, std::uint64_t p);
    void add(const float* scores, std::size_t first, std::size_t count);
    // The kept positions, best first, non-finite scores removed; scores[j] receives the score of
    // position j of the result (scores is resized to hold them).
    TopPositions finish(Buffer<float>& scores);

    struct Candidate {
        std::uint32_t key;
        float score;
        std::uint64_t pos;
    };

private:
    template <bool kBranchFree>
    void add_chunk(const float* scores, std::size_t first, std::size_t count);

    std::size_t k_ = 0;
    std::size_t cap_ = 0;
    std::size_t n_ = 0;
    std::uint64_t bar_ = 0;  // admitted when key >= bar
    Buffer<Candidate> cand_;
};

// The min(p, m) best positions of scores[0..m), sorted by descending score, where a ranks before
// b iff !isnan(a) && (isnan(b) || a > b): every NaN after every number, -inf included. Equal
// scores come in no particular order, and which of several tied positions at the boundary is
// kept is not defined. Then every position whose score is not finite is removed, keeping order.
// Linear in m plus P log P; extra memory at most about 8 bytes per score.
TopPositions select_top(const float* scores, std::size_t m, std::uint64_t p);

namespace detail {
// select_top as it runs from 2^32 scores up, where the whole-array branch compares positions
// through the scores instead of packed keys; callable on any m so that tests cover that branch.
TopPositions select_top_indirect(const float* scores, std::size_t m, std::uint64_t p);
}  // namespace detail

}  // namespace quorvel
