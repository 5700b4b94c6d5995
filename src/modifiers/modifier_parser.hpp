// The modifier language: turns a user's modifier string such as "recent:30 diverse limit:5" into
// a Modifiers record. Plain byte-level text processing over UTF-8; the boundary in src/boundary/
// turns the record into the dict that parse_modifiers returns.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvel {

struct Modifiers {
    bool recent = false;
    std::optional<std::int64_t> recent_days;
    std::optional<std::string> unlike;
    bool diverse = false;
    std::optional<std::uint64_t> limit;
    std::optional<std::vector<std::string>> like;
    std::optional<std::string> trajectory_from;
    std::optional<std::string> trajectory_to;
    bool local_communities = false;
};

// Never rejects content: unknown words, malformed numbers and unfinished trajectory clauses are
// skipped. Any byte string is read safely; invalid UTF-8 is not an error, it just yields values
// holding the same bytes. Throws only OutOfMemory (from failure.hpp) when a value cannot be stored.
Modifiers parse_modifier_text(std::string_view utf8);

}  // namespace quorvel
