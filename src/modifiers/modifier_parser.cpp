// Modifier-string parsing: the trajectory clause "from: ... to: ...", then the keyword tokens.
// Every search pattern is ASCII and whitespace is recognised on its exact UTF-8 bytes, so no cut
// ever lands inside a multi-byte character and no read goes past the end of the text.
#include "modifiers/modifier_parser.hpp"

#include <cstddef>
#include <new>

#include "core/failure.hpp"

namespace quorvel {

namespace {

inline unsigned byte_at(std::string_view s, std::size_t i) {
    return static_cast<unsigned char>(s[i]);
}

// Byte length of the White_Space character that starts at s[i] (i < s.size()), or 0. The
// multi-byte ones are U+0085, U+00A0, U+1680, U+2000..U+200A, U+2028, U+2029, U+202F, U+205F
// and U+3000. Their lead bytes are never continuation bytes, so a match found while stepping
// byte by byte through valid UTF-8 always starts on a character boundary.
inline std::size_t space_at(std::string_view s, std::size_t i) {
    const unsigned b = byte_at(s, i);
    if (b == 0x20 || (b >= 0x09 && b <= 0x0D)) return 1;
    if (b < 0xC2 || b > 0xE3) return 0;
    const std::size_t left = s.size() - i;
    if (b == 0xC2) {
        if (left < 2) return 0;
        const unsigned c = byte_at(s, i + 1);
        return (c == 0x85 || c == 0xA0) ? 2 : 0;
    }
    if (left < 3) return 0;
    const unsigned c1 = byte_at(s, i + 1);
    const unsigned c2 = byte_at(s, i + 2);
    switch (b) {
    case 0xE1:
        return (c1 == 0x9A && c2 == 0x80) ? 3 : 0;
    case 0xE2:
        if (c1 == 0x80)
            return ((c2 >= 0x80 && c2 <= 0x8A) || c2 == 0xA8 || c2 == 0xA9 || c2 == 0xAF) ? 3 : 0;
        if (c1 == 0x81) return c2 == 0x9F ? 3 : 0;
        return 0;
    case 0xE3:
        return (c1 == 0x80 && c2 == 0x80) ? 3 : 0;
    default:
        return 0;
    }
}

// Byte length of the White_Space character that ends s, or 0. A two-byte match needs 0xC2 and a
// three-byte one 0x80/0x81/0x9A just before the last byte, so at most one of them can hold.
inline std::size_t space_before_end(std::string_view s) {
    const std::size_t n = s.size();
    if (n == 0) return 0;
    const unsigned b = byte_at(s, n - 1);
    if (b == 0x20 || (b >= 0x09 && b <= 0x0D)) return 1;
    if (b < 0x80) return 0;
    if (n >= 2 && space_at(s, n - 2) == 2) return 2;
    if (n >= 3 && space_at(s, n - 3) == 3) return 3;
    return 0;
}

std::string_view trim(std::string_view s) {
    std::size_t w;
    while (!s.empty() && (w = space_at(s, 0)) != 0) s.remove_prefix(w);
    while ((w = space_before_end(s)) != 0) s.remove_suffix(w);
    return s;
}

// Position of the first stop string in text at or after `from`, or text.size(). The earliest
// position where any of them begins is the smallest of their first occurrences.
std::size_t find_stop(std::string_view text, std::size_t from) {
    for (std::size_t p = from; p < text.size(); ++p) {
        const std::string_view rest = text.substr(p);
        bool hit = false;
        switch (rest[0]) {
        case 'd':
            hit = rest.starts_with("diverse") || rest.starts_with("detect_communities");
            break;
        case 'r':
            hit = rest.starts_with("recent:");
            break;
        case 'u':
            hit = rest.starts_with("unlike:");
            break;
        case 'l':
            hit = rest.starts_with("like:") || rest.starts_with("limit:") ||
                  rest.starts_with("local_communities");
            break;
        default:
            break;
        }
        if (hit) return p;
    }
    return text.size();
}

// Magnitude of a run of one or more ASCII digits, or nothing when s is empty, holds any other
// byte, or exceeds 2^64 - 1. Leading zeros are fine.
std::optional<std::uint64_t> parse_digits(std::string_view s) {
    if (s.empty()) return std::nullopt;
    constexpr std::uint64_t max = UINT64_MAX;
    std::uint64_t value = 0;
    for (const char ch : s) {
        const unsigned d = static_cast<unsigned char>(ch) - static_cast<unsigned>('0');
        if (d > 9) return std::nullopt;
        if (value > (max - d) / 10) return std::nullopt;
        value = value * 10 + d;
    }
    return value;
}

std::optional<std::int64_t> parse_signed(std::string_view s) {
    bool negative = false;
    if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
        negative = s[0] == '-';
        s.remove_prefix(1);
    }
    const std::optional<std::uint64_t> mag = parse_digits(s);
    if (!mag) return std::nullopt;
    constexpr std::uint64_t limit = std::uint64_t{1} << 63;  // |INT64_MIN|
    if (negative) {
        if (*mag > limit) return std::nullopt;
        if (*mag == limit) return INT64_MIN;
        return -static_cast<std::int64_t>(*mag);
    }
    if (*mag >= limit) return std::nullopt;
    return static_cast<std::int64_t>(*mag);
}

std::optional<std::uint64_t> parse_unsigned(std::string_view s) {
    if (!s.empty() && s[0] == '+') s.remove_prefix(1);
    return parse_digits(s);
}

std::vector<std::string> split_commas(std::string_view s) {
    std::size_t pieces = 1;
    for (const char ch : s) pieces += ch == ',';
    std::vector<std::string> out;
    out.reserve(pieces);
    for (;;) {
        const std::size_t comma = s.find(',');
        if (comma == std::string_view::npos) {
            out.emplace_back(s);
            return out;
        }
        out.emplace_back(s.substr(0, comma));
        s.remove_prefix(comma + 1);
    }
}

void apply_token(std::string_view tok, Modifiers& m) {
    if (tok == "recent") {
        m.recent = true;
    } else if (tok == "diverse") {
        m.diverse = true;
    } else if (tok.starts_with("recent:")) {
        m.recent = true;
        if (auto v = parse_signed(tok.substr(7))) m.recent_days = *v;
    } else if (tok.starts_with("unlike:")) {
        m.unlike.emplace(tok.substr(7));
    } else if (tok.starts_with("limit:")) {
        if (auto v = parse_unsigned(tok.substr(6))) m.limit = *v;
    } else if (tok.starts_with("like:")) {
        m.like = split_commas(tok.substr(5));
    } else if (tok == "local_communities" || tok == "detect_communities") {
        m.local_communities = true;
    }
}

void apply_tokens(std::string_view text, Modifiers& m) {
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        std::size_t w = space_at(text, i);
        if (w != 0) {
            i += w;
            continue;
        }
        const std::size_t start = i++;
        while (i < n && space_at(text, i) == 0) ++i;
        apply_token(text.substr(start, i - start), m);
    }
}

Modifiers parse(std::string_view text) {
    Modifiers m;
    std::string joined;  // the working text when a trajectory clause is cut out
    std::string_view working = text;

    const std::size_t from = text.find("from:");
    if (from != std::string_view::npos) {
        const std::size_t from_end = from + 5;
        const std::size_t to = text.find(" to:", from_end);
        if (to != std::string_view::npos) {
            const std::string_view from_value = trim(text.substr(from_end, to - from_end));
            const std::size_t to_start = to + 4;
            const std::size_t stop = find_stop(text, to_start);
            const std::string_view to_value = trim(text.substr(to_start, stop - to_start));
            // An empty side means no clause: its words are then read as ordinary tokens.
            if (!from_value.empty() && !to_value.empty()) {
                m.trajectory_from.emplace(from_value);
                m.trajectory_to.emplace(to_value);
                joined.reserve(from + (text.size() - stop));
                joined.append(text.substr(0, from));
                joined.append(text.substr(stop));
                working = joined;
            }
        }
    }

    apply_tokens(working, m);
    return m;
}

}  // namespace

Modifiers parse_modifier_text(std::string_view utf8) {
    try {
        return parse(utf8);
    } catch (const std::bad_alloc&) {
        // The failed request is not known here; the text's length bounds every value stored.
        throw OutOfMemory{utf8.size(), "modifier values"};
    }
}

}  // namespace quorvel
