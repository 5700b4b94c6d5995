// The identifier-to-row lookup used to resolve identifier lists. Keys are UTF-8 texts owned by
// whoever built the table, which keeps them alive for the table's lifetime.
#pragma once

#include <cstdint>
#include <string_view>
#include <unordered_map>

namespace quorvel {

using IdIndex = std::unordered_map<std::string_view, std::uint64_t>;

}  // namespace quorvel
