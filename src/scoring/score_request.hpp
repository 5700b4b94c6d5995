// What a score_candidates call asks for, as the pipeline and its stages read it: views of the
// caller's arrays, resolved row lists and the options. Its initialisers are the defaults of the
// options a caller leaves out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "core/views.hpp"

namespace quorvel {

// Row indices of an identifier list, resolved through the identifier-to-row map in list order:
// identifiers the map does not hold are left out, duplicates are kept.
using RowList = std::span<const std::uint64_t>;

// Work that the scan interleaves with its reads of the rows, for a caller whose own work waits on
// memory latency while the scan waits on bandwidth: advance(state, done, total) is called between
// blocks of rows, once `done` of the `total` working rows have been scanned. It may throw; the
// call then ends with its exception.
struct InterleavedWork {
    void (*advance)(void* state, std::size_t done, std::size_t total) = nullptr;
    void* state = nullptr;
};

struct ScoreRequest {
    FloatMatrix matrix;                // n x dims, rows expected unit length
    std::size_t id_count = 0;          // length of the identifier list; row r is named by ids[r]
    FloatVector query;
    std::optional<DoubleVector> timestamps;
    std::optional<RowList> pre_filter_rows;
    std::optional<FloatVector> not_like;
    bool diverse = false;
    std::uint64_t limit = 10;
    std::uint64_t oversample = 200;
    float threshold = 0.0f;
    double mmr_lambda = 0.7;
    bool recent = false;
    std::optional<double> recent_days;
    std::optional<RowList> like_rows;
    std::optional<FloatVector> traj_from;
    std::optional<FloatVector> traj_to;
    std::optional<ByteVector> mask;
    InterleavedWork interleaved;  // none by default
};

}  // namespace quorvel
