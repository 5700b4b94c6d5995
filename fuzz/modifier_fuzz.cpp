// Fuzz harness for the modifier parser. Every input goes through parse_modifier_text, whose
// result must satisfy properties that follow from the grammar alone: values are pieces of the
// input, trimmed or free of whitespace as their rule says, numbers appear in the text, and a
// blank added at either end of the text changes nothing. A violated property aborts.
//
// Built two ways:
// - with -DQUORVEL_LIBFUZZER and clang's -fsanitize=fuzzer: a libFuzzer target (`make fuzz`);
// - without it: a standalone loop that mutates the seed files given on the command line and runs
//   a fixed number of generated inputs (`make sanitize`, under AddressSanitizer and UBSan).
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "modifiers/modifier_parser.hpp"

namespace {

using quorvel::Modifiers;

[[noreturn]] void violated(const char* what, std::string_view input) {
    std::fprintf(stderr, "modifier fuzz: property violated: %s\ninput (%zu bytes):", what, input.size());
    for (unsigned char c : input) std::fprintf(stderr, " %02x", c);
    std::fprintf(stderr, "\n");
    std::abort();
}

// UTF-8 encodings of the characters with the White_Space property.
const std::vector<std::string>& white_space() {
    static const std::vector<std::string> all = [] {
        std::vector<std::string> out;
        auto encode = [](char32_t c) {
            std::string s;
            if (c < 0x80) {
                s += static_cast<char>(c);
            } else if (c < 0x800) {
                s += static_cast<char>(0xC0 | (c >> 6));
                s += static_cast<char>(0x80 | (c & 0x3F));
            } else {
                s += static_cast<char>(0xE0 | (c >> 12));
                s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
                s += static_cast<char>(0x80 | (c & 0x3F));
            }
            return s;
        };
        for (char32_t c = 0x09; c <= 0x0D; ++c) out.push_back(encode(c));
        for (char32_t c : {0x20, 0x85, 0xA0, 0x1680, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000})
            out.push_back(encode(c));
        for (char32_t c = 0x2000; c <= 0x200A; ++c) out.push_back(encode(c));
        return out;
    }();
    return all;
}

bool space_starts(std::string_view s, std::size_t at) {
    for (const std::string& w : white_space())
        if (s.substr(at).starts_with(w)) return true;
    return false;
}

bool has_space(std::string_view s) {
    for (std::size_t i = 0; i < s.size(); ++i)
        if (space_starts(s, i)) return true;
    return false;
}

bool trimmed(std::string_view s) {
    if (s.empty()) return false;
    if (space_starts(s, 0)) return false;
    for (const std::string& w : white_space())
        if (s.ends_with(w)) return false;
    return true;
}

bool contains(std::string_view hay, std::string_view needle) {
    return hay.find(needle) != std::string_view::npos;
}

bool same(const Modifiers& a, const Modifiers& b) {
    return a.recent == b.recent && a.recent_days == b.recent_days && a.unlike == b.unlike &&
           a.diverse == b.diverse && a.limit == b.limit && a.like == b.like &&
           a.trajectory_from == b.trajectory_from && a.trajectory_to == b.trajectory_to &&
           a.local_communities == b.local_communities;
}

// Parses a private heap copy of exactly `input.size()` bytes, so that a read past the end is a
// heap overflow for AddressSanitizer rather than a read of a neighbouring byte.
Modifiers parse_copy(std::string_view input) {
    std::unique_ptr<char[]> copy(new char[input.size() ? input.size() : 1]);
    if (!input.empty()) std::memcpy(copy.get(), input.data(), input.size());
    return quorvel::parse_modifier_text(std::string_view(copy.get(), input.size()));
}

void check(std::string_view input) {
    const Modifiers m = parse_copy(input);

    if (m.trajectory_from.has_value() != m.trajectory_to.has_value())
        violated("trajectory_from and trajectory_to are set together", input);
    if (m.trajectory_from) {
        const std::size_t from = input.find("from:");
        if (from == std::string_view::npos || input.find(" to:", from + 5) == std::string_view::npos)
            violated("a trajectory needs 'from:' followed by ' to:'", input);
        if (!trimmed(*m.trajectory_from) || !trimmed(*m.trajectory_to))
            violated("trajectory values are non-empty and trimmed", input);
        if (!contains(input, *m.trajectory_from) || !contains(input, *m.trajectory_to))
            violated("trajectory values are pieces of the input", input);
    }
    // Keyword values are the rest of their own token. When a trajectory clause was cut out, the
    // text before it is joined to the text after it, so a token (and its value) may span the
    // cut: "un" + "like:x", or "like:a" + "diverse". Without a clause they are input pieces.
    const bool cut = m.trajectory_from.has_value();
    if (m.unlike && (has_space(*m.unlike) || (!cut && !contains(input, "unlike:" + *m.unlike))))
        violated("unlike is the rest of one 'unlike:' token", input);
    if (m.like) {
        if (m.like->empty()) violated("like holds at least one piece", input);
        std::string joined;
        for (std::size_t i = 0; i < m.like->size(); ++i) {
            const std::string& piece = (*m.like)[i];
            if (contains(piece, ",") || has_space(piece)) violated("like pieces hold no comma or space", input);
            joined += (i ? "," : "") + piece;
        }
        if (!cut && !contains(input, "like:" + joined)) violated("like is the rest of one 'like:' token", input);
    }
    // Every stop string begins with a letter, so a number can never span the cut.
    if (m.recent_days) {
        if (!m.recent) violated("recent_days implies recent", input);
        const std::int64_t v = *m.recent_days;
        const std::uint64_t mag = v < 0 ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
        if (!contains(input, "recent:") || !contains(input, std::to_string(mag)))
            violated("recent_days is written in the input", input);
    }
    if (m.limit && (!contains(input, "limit:") || !contains(input, std::to_string(*m.limit))))
        violated("limit is written in the input", input);
    if (m.recent && !contains(input, "recent")) violated("recent comes from the input", input);
    if (m.diverse && !contains(input, "diverse")) violated("diverse comes from the input", input);
    if (m.local_communities && !contains(input, "_communities"))
        violated("local_communities comes from the input", input);

    // A blank at either end starts no clause, ends no value and joins no tokens.
    std::string padded;
    padded.reserve(input.size() + 2);
    padded += ' ';
    padded += input;
    padded += ' ';
    if (!same(m, parse_copy(padded))) violated("blanks at the ends change nothing", input);
}

}  // namespace

#ifdef QUORVEL_LIBFUZZER

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    check(std::string_view(reinterpret_cast<const char*>(data), size));
    return 0;
}

#else

namespace {

// Pieces that the generator splices into inputs: every keyword, the clause markers, separators,
// number forms, multi-byte whitespace (whole and cut short) and other multi-byte characters.
const std::vector<std::string> pieces = {
    "recent", "recent:", "diverse", "limit:", "like:", "unlike:", "from:", " to:", "to:",
    "local_communities", "detect_communities", ",", ",,", " ", "  ", "\t", "\n", "\r\n", "\v",
    "\f", "+", "-", "0", "7", "30", "007", "18446744073709551615", "18446744073709551616",
    "9223372036854775807", "9223372036854775808", "-9223372036854775808", "-9223372036854775809",
    "\xc2\x85", "\xc2\xa0", "\xe1\x9a\x80", "\xe2\x80\x80", "\xe2\x80\x8a", "\xe2\x80\x8b",
    "\xe2\x80\xa8", "\xe2\x80\xa9", "\xe2\x80\xaf", "\xe2\x81\x9f", "\xe3\x80\x80", "\xc2", "\xe2\x80",
    "\xe3", "\xc3\xa9", "\xf0\x9f\x98\x80", std::string("\0", 1), "x", "a,b", "machine learning",
};

std::string mutate(std::string s, std::mt19937_64& rng, const std::vector<std::string>& seeds) {
    auto pick = [&](std::size_t n) { return n == 0 ? std::size_t{0} : static_cast<std::size_t>(rng() % n); };
    const int steps = 1 + static_cast<int>(rng() % 6);
    for (int step = 0; step < steps; ++step) {
        switch (rng() % 7) {
        case 0:
        case 1:  // insert a known piece
            s.insert(pick(s.size() + 1), pieces[pick(pieces.size())]);
            break;
        case 2:  // insert random bytes
            for (std::size_t i = 0, n = 1 + rng() % 4; i < n; ++i)
                s.insert(pick(s.size() + 1), 1, static_cast<char>(rng() & 0xFF));
            break;
        case 3:  // delete a range
            if (!s.empty()) {
                const std::size_t at = pick(s.size());
                s.erase(at, 1 + pick(8));
            }
            break;
        case 4:  // overwrite one byte
            if (!s.empty()) s[pick(s.size())] = static_cast<char>(rng() & 0xFF);
            break;
        case 5:  // splice in part of another seed
            if (!seeds.empty()) {
                const std::string& other = seeds[pick(seeds.size())];
                const std::size_t at = pick(other.size() + 1);
                s.insert(pick(s.size() + 1), other.substr(at, pick(other.size() - at + 1)));
            }
            break;
        default:  // repeat a stretch
            if (!s.empty()) {
                const std::size_t at = pick(s.size());
                s.insert(at, s.substr(at, 1 + pick(16)));
            }
            break;
        }
    }
    if (s.size() > 4096) s.resize(4096);
    return s;
}

std::vector<std::string> read_seeds(int argc, char** argv) {
    std::vector<std::string> seeds;
    for (int i = 1; i < argc; ++i) {
        if (argv[i][0] == '-') continue;
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(argv[i], ec)) {
            std::ifstream in(entry.path(), std::ios::binary);
            seeds.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
    }
    if (seeds.empty()) seeds.push_back("recent:30 diverse limit:5");
    return seeds;
}

}  // namespace

// Usage: modifier_loop [-runs=N] [-seconds=S] [-seed=K] [seed directories...]
int main(int argc, char** argv) {
    std::uint64_t runs = 100000, seed = 1;
    double seconds = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg.starts_with("-runs=")) runs = std::strtoull(argv[i] + 6, nullptr, 10);
        if (arg.starts_with("-seconds=")) seconds = std::strtod(argv[i] + 9, nullptr);
        if (arg.starts_with("-seed=")) seed = std::strtoull(argv[i] + 6, nullptr, 10);
    }
    std::vector<std::string> seeds = read_seeds(argc, argv);
    std::mt19937_64 rng(seed);
    const auto start = std::chrono::steady_clock::now();
    auto elapsed = [&] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    for (const std::string& s : seeds) check(s);
    std::uint64_t done = 0;
    for (; seconds > 0 ? elapsed() < seconds : done < runs; ++done) {
        std::string input = mutate(seeds[rng() % seeds.size()], rng, seeds);
        check(input);
        // Inputs that grew interesting keep feeding the generator, within a bounded pool.
        if (seeds.size() < 4096 && rng() % 16 == 0) seeds.push_back(std::move(input));
    }
    std::printf("modifier fuzz: %llu generated inputs in %.1f s, all properties held\n",
                static_cast<unsigned long long>(done), elapsed());
    return 0;
}

#endif
