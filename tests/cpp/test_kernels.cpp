// Tests of the scoring kernels: dot_scan (scalar and AVX2 paths, checked against a double
// reference over awkward sizes and every matrix layout, with guard pages around the data) and
// select_top (against a plain sort on data with NaN, infinities and ties), the decay kernels
// (AVX2 against its scalar twin), and the diversity selection's similarity rows and picks against
// the full-product reference. Exits nonzero on failure.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <numeric>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "core/failure.hpp"
#include "core/views.hpp"
#include "diversity/mmr.hpp"
#include "kernels/decay.hpp"
#include "kernels/rank_keys.hpp"
#include "kernels/simd.hpp"
#include "mmr_reference.hpp"
#include "kernels/dot_scan.hpp"
#include "scoring/top_select.hpp"
#include "top_select_reference.hpp"

namespace {

using quorvel::FloatMatrix;

int g_passed = 0;
int g_failed = 0;

void check(bool ok, const std::string& what) {
    if (ok) {
        ++g_passed;
        return;
    }
    ++g_failed;
    if (g_failed <= 40) std::printf("FAIL: %s\n", what.c_str());
}

// ---------------------------------------------------------------------------------------------
// Memory with an inaccessible page on each side, so that a kernel reading one byte before the
// first or after the last element of a view crashes the test instead of passing silently.

class GuardedBytes {
public:
    explicit GuardedBytes(std::size_t usable) {
        page_ = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        usable_ = (usable + page_ - 1) / page_ * page_;
        if (usable_ == 0) usable_ = page_;
        total_ = usable_ + 2 * page_;
        void* p = mmap(nullptr, total_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) {
            std::perror("mmap");
            std::exit(2);
        }
        map_ = static_cast<std::byte*>(p);
        mprotect(map_, page_, PROT_NONE);
        mprotect(map_ + page_ + usable_, page_, PROT_NONE);
    }
    ~GuardedBytes() { munmap(map_, total_); }
    GuardedBytes(const GuardedBytes&) = delete;
    GuardedBytes& operator=(const GuardedBytes&) = delete;

    std::byte* lo() const { return map_ + page_; }
    std::byte* hi() const { return map_ + page_ + usable_; }

private:
    std::byte* map_ = nullptr;
    std::size_t page_ = 0, usable_ = 0, total_ = 0;
};

// ---------------------------------------------------------------------------------------------
// Layouts: byte strides as functions of the shape.

struct Layout {
    const char* name;
    std::ptrdiff_t (*row_stride)(std::ptrdiff_t rows, std::ptrdiff_t cols);
    std::ptrdiff_t (*col_stride)(std::ptrdiff_t rows, std::ptrdiff_t cols);
};

// clang-format off
const Layout kLayouts[] = {
    {"C order",                [](auto, auto c) { return 4 * c; },          [](auto, auto) { return std::ptrdiff_t{4}; }},
    {"C order, padded rows",   [](auto, auto c) { return 4 * c + 12; },     [](auto, auto) { return std::ptrdiff_t{4}; }},
    {"C order, rows reversed", [](auto, auto c) { return -4 * c; },         [](auto, auto) { return std::ptrdiff_t{4}; }},
    {"C order, cols reversed", [](auto, auto c) { return 4 * c; },          [](auto, auto) { return std::ptrdiff_t{-4}; }},
    {"C order, both reversed", [](auto, auto c) { return -4 * c; },         [](auto, auto) { return std::ptrdiff_t{-4}; }},
    {"C order, rows ::-3",     [](auto, auto c) { return -12 * c; },        [](auto, auto) { return std::ptrdiff_t{-4}; }},
    {"Fortran order",          [](auto, auto) { return std::ptrdiff_t{4}; }, [](auto r, auto) { return 4 * r; }},
    {"Fortran, rows reversed", [](auto, auto) { return std::ptrdiff_t{-4}; }, [](auto r, auto) { return 4 * r; }},
    {"Fortran, cols reversed", [](auto, auto) { return std::ptrdiff_t{4}; }, [](auto r, auto) { return -4 * r; }},
    {"Fortran, padded cols",   [](auto, auto) { return std::ptrdiff_t{4}; }, [](auto r, auto) { return 4 * r + 8; }},
    {"Fortran, cols ::2",      [](auto, auto) { return std::ptrdiff_t{4}; }, [](auto r, auto) { return 8 * r; }},
    {"Fortran, rows ::2",      [](auto, auto) { return std::ptrdiff_t{8}; }, [](auto r, auto) { return 8 * r; }},
    {"cols ::2",               [](auto, auto c) { return 8 * c; },          [](auto, auto) { return std::ptrdiff_t{8}; }},
    {"cols ::2, tight rows",   [](auto, auto c) { return 8 * c - 4; },      [](auto, auto) { return std::ptrdiff_t{8}; }},
    {"cols ::-2",              [](auto, auto c) { return 8 * c; },          [](auto, auto) { return std::ptrdiff_t{-8}; }},
    {"cols ::3",               [](auto, auto c) { return 12 * c; },         [](auto, auto) { return std::ptrdiff_t{12}; }},
    {"cols ::3, tight rows",   [](auto, auto c) { return 12 * c - 8; },     [](auto, auto) { return std::ptrdiff_t{12}; }},
    {"cols ::3, rows reversed",[](auto, auto c) { return -12 * c; },        [](auto, auto) { return std::ptrdiff_t{12}; }},
    {"cols ::4",               [](auto, auto c) { return 16 * c; },         [](auto, auto) { return std::ptrdiff_t{16}; }},
    {"cols ::5",               [](auto, auto c) { return 20 * c - 16; },    [](auto, auto) { return std::ptrdiff_t{20}; }},
    {"cols ::7",               [](auto, auto c) { return 28 * c - 24; },    [](auto, auto) { return std::ptrdiff_t{28}; }},
    {"broadcast rows",         [](auto, auto) { return std::ptrdiff_t{0}; }, [](auto, auto) { return std::ptrdiff_t{4}; }},
    {"broadcast rows, cols ::2",[](auto, auto) { return std::ptrdiff_t{0}; }, [](auto, auto) { return std::ptrdiff_t{8}; }},
    {"broadcast cols",         [](auto, auto) { return std::ptrdiff_t{4}; }, [](auto, auto) { return std::ptrdiff_t{0}; }},
    {"broadcast cols, rows 12",[](auto, auto) { return std::ptrdiff_t{12}; }, [](auto, auto) { return std::ptrdiff_t{0}; }},
    {"broadcast both",         [](auto, auto) { return std::ptrdiff_t{0}; }, [](auto, auto) { return std::ptrdiff_t{0}; }},
    {"unaligned rows",         [](auto, auto c) { return 4 * c + 1; },      [](auto, auto) { return std::ptrdiff_t{4}; }},
    {"byte strides 5",         [](auto, auto c) { return 5 * c + 3; },      [](auto, auto) { return std::ptrdiff_t{5}; }},
    {"byte strides -6",        [](auto, auto c) { return -(6 * c + 1); },   [](auto, auto) { return std::ptrdiff_t{-6}; }},
    {"Fortran, unaligned",     [](auto, auto) { return std::ptrdiff_t{4}; }, [](auto r, auto) { return 4 * r + 2; }},
    {"sliding window",         [](auto, auto) { return std::ptrdiff_t{4}; }, [](auto, auto) { return std::ptrdiff_t{4}; }},
};
// clang-format on

enum class Place { kEnd, kStart, kShift1, kShift3 };
const char* place_name(Place p) {
    switch (p) {
        case Place::kEnd: return "end at guard";
        case Place::kStart: return "start at guard";
        case Place::kShift1: return "shifted +1";
        default: return "shifted +3";
    }
}

// A view of random values in [-1, -0.5] U [0.5, 1] laid out in guarded memory. Magnitudes stay
// at or above 0.5 so that a dropped or mispaired product moves a dot product by at least 0.25,
// far above the tolerance; the gaps between elements hold NaN, so reading one as data shows.
struct PlacedMatrix {
    GuardedBytes mem;
    FloatMatrix view;

    PlacedMatrix(std::size_t rows, std::size_t cols, std::ptrdiff_t rs, std::ptrdiff_t cs,
                 Place place, std::mt19937_64& rng)
        : mem(extent(rows, cols, rs, cs) + 8) {
        const std::ptrdiff_t r1 = rows ? static_cast<std::ptrdiff_t>(rows) - 1 : 0;
        const std::ptrdiff_t c1 = cols ? static_cast<std::ptrdiff_t>(cols) - 1 : 0;
        const std::ptrdiff_t lo = std::min<std::ptrdiff_t>(0, r1 * rs) + std::min<std::ptrdiff_t>(0, c1 * cs);
        const std::size_t ext = extent(rows, cols, rs, cs);
        std::byte* start = nullptr;
        switch (place) {
            case Place::kEnd: start = mem.hi() - ext; break;
            case Place::kStart: start = mem.lo(); break;
            case Place::kShift1: start = mem.lo() + 1; break;
            case Place::kShift3: start = mem.lo() + 3; break;
        }
        std::memset(mem.lo(), 0xFF, static_cast<std::size_t>(mem.hi() - mem.lo()));
        view = {start - lo, rows, cols, rs, cs};
        std::uniform_real_distribution<float> mag(0.5f, 1.0f);
        for (std::size_t r = 0; r < rows; ++r)
            for (std::size_t c = 0; c < cols; ++c) {
                float x = mag(rng);
                if (rng() & 1) x = -x;
                std::memcpy(const_cast<std::byte*>(view.row_ptr(r)) + static_cast<std::ptrdiff_t>(c) * cs, &x, 4);
            }
    }

    static std::size_t extent(std::size_t rows, std::size_t cols, std::ptrdiff_t rs, std::ptrdiff_t cs) {
        if (rows == 0 || cols == 0) return 0;
        const std::ptrdiff_t r1 = static_cast<std::ptrdiff_t>(rows) - 1;
        const std::ptrdiff_t c1 = static_cast<std::ptrdiff_t>(cols) - 1;
        return static_cast<std::size_t>(std::abs(r1 * rs) + std::abs(c1 * cs) + 4);
    }
};

// Vectors with the same value range, each ending at a guard page.
struct PlacedVector {
    GuardedBytes mem;
    float* data;
    PlacedVector(std::size_t n, std::mt19937_64& rng) : mem(n * 4) {
        data = reinterpret_cast<float*>(mem.hi()) - n;
        std::uniform_real_distribution<float> mag(0.5f, 1.0f);
        for (std::size_t i = 0; i < n; ++i) data[i] = (rng() & 1) ? mag(rng) : -mag(rng);
    }
};

using ScanFn = void (*)(const FloatMatrix&, std::span<const float* const>, std::span<float* const>);

// Tolerance: |got - exact| <= 1e-5 * sum |a_c * b_c|. Float32 sums of n products carry at most
// about n * 2^-24 of that sum (2.3e-5 for 385 sequential additions) and on random signs typically
// sqrt(n) * 2^-24 (1.2e-6); the blocked kernels add far fewer terms per accumulator.
constexpr double kRelTol = 1e-5;

void check_scan(const char* path, ScanFn fn, const FloatMatrix& m, const float* const* vecs,
                const std::vector<double>& exact, const std::vector<double>& mag,
                const std::string& label) {
    const std::size_t rows = m.rows;
    for (std::size_t nv = 1; nv <= 4; ++nv) {
        const float sentinel = 12345.0f;
        std::vector<std::vector<float>> out(nv, std::vector<float>(rows + 1, sentinel));
        float* outs[4];
        for (std::size_t v = 0; v < nv; ++v) outs[v] = out[v].data();
        bool ok = true;
        std::string detail;
        try {
            fn(m, std::span<const float* const>(vecs, nv), std::span<float* const>(outs, nv));
        } catch (const quorvel::InternalFailure& f) {
            ok = false;
            detail = " threw " + f.message;
        }
        for (std::size_t v = 0; v < nv && ok; ++v) {
            if (out[v][rows] != sentinel) {
                ok = false;
                detail = " wrote past the last row";
            }
            for (std::size_t i = 0; i < rows && ok; ++i) {
                const double got = out[v][i];
                const double want = exact[v * rows + i];
                const double tol = kRelTol * mag[v * rows + i];
                if (!(std::fabs(got - want) <= tol)) {
                    ok = false;
                    char buf[160];
                    std::snprintf(buf, sizeof buf, " vector %zu row %zu: got %.9g want %.9g tol %.3g", v, i, got,
                                  want, tol);
                    detail = buf;
                }
            }
        }
        check(ok, std::string(path) + " " + label + " nv=" + std::to_string(nv) + detail);
    }
}

void test_dot_scan_layouts(std::span<const std::size_t> row_counts,
                           std::span<const std::size_t> col_counts, std::uint64_t seed) {
    const Place kPlaces[] = {Place::kEnd, Place::kStart, Place::kShift1, Place::kShift3};
    std::mt19937_64 rng(seed);
    const bool simd = quorvel::simd_available();
    for (const Layout& layout : kLayouts) {
        for (std::size_t rows : row_counts) {
            for (std::size_t cols : col_counts) {
                const auto rs = layout.row_stride(static_cast<std::ptrdiff_t>(rows), static_cast<std::ptrdiff_t>(cols));
                const auto cs = layout.col_stride(static_cast<std::ptrdiff_t>(rows), static_cast<std::ptrdiff_t>(cols));
                std::unique_ptr<PlacedVector> vecs[4];
                for (auto& v : vecs) v = std::make_unique<PlacedVector>(cols, rng);
                const float* vptr[4] = {vecs[0]->data, vecs[1]->data, vecs[2]->data, vecs[3]->data};
                for (Place place : kPlaces) {
                    // The big shapes run in two placements only, to keep the run short.
                    if (rows * cols > 10000 && (place == Place::kShift3 || place == Place::kStart)) continue;
                    if (rows * cols > 100000 && place == Place::kShift1) continue;
                    PlacedMatrix pm(rows, cols, rs, cs, place, rng);
                    std::vector<double> exact(4 * rows), mag(4 * rows);
                    for (std::size_t v = 0; v < 4; ++v)
                        for (std::size_t r = 0; r < rows; ++r) {
                            double sum = 0, abs_sum = 0;
                            for (std::size_t c = 0; c < cols; ++c) {
                                const double p = double(pm.view.at(r, c)) * double(vptr[v][c]);
                                sum += p;
                                abs_sum += std::fabs(p);
                            }
                            exact[v * rows + r] = sum;
                            mag[v * rows + r] = abs_sum;
                        }
                    const std::string label = std::string(layout.name) + " " + std::to_string(rows) + "x" +
                                              std::to_string(cols) + " (rs " + std::to_string(rs) + ", cs " +
                                              std::to_string(cs) + ", " + place_name(place) + ")";
                    check_scan("scalar", quorvel::dot_scan_scalar, pm.view, vptr, exact, mag, label);
                    if (simd) check_scan("avx2", quorvel::dot_scan_avx2, pm.view, vptr, exact, mag, label);
                    if (place == Place::kEnd) check_scan("dispatch", quorvel::dot_scan, pm.view, vptr, exact, mag, label);
                }
            }
        }
    }
}

// cols == 0 gives exact zeros whatever the data pointer; rows == 0 touches no output.
void test_dot_scan_empty() {
    const float v[1] = {1.0f};
    const float* vp[1] = {v};
    for (ScanFn fn : {quorvel::dot_scan_scalar, quorvel::dot_scan, quorvel::dot_scan_avx2}) {
        if (fn == quorvel::dot_scan_avx2 && !quorvel::simd_available()) continue;
        float out[3] = {7.0f, 7.0f, 7.0f};
        float* op[1] = {out};
        fn(FloatMatrix{nullptr, 3, 0, 0, 4}, std::span<const float* const>(vp), std::span<float* const>(op));
        check(out[0] == 0.0f && out[1] == 0.0f && out[2] == 0.0f && !std::signbit(out[0]),
              "cols == 0 writes +0.0 to every row");
        float untouched = 7.0f;
        float* up[1] = {&untouched};
        fn(FloatMatrix{nullptr, 0, 5, 20, 4}, std::span<const float* const>(vp), std::span<float* const>(up));
        check(untouched == 7.0f, "rows == 0 writes nothing");
    }
}

template <class F>
bool throws_internal(F&& f) {
    try {
        f();
    } catch (const quorvel::InternalFailure&) {
        return true;
    }
    return false;
}

void test_dot_scan_rejects() {
    float data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    const FloatMatrix m = quorvel::view_packed(data, 2, 4);
    const float* v[5] = {data, data, data, data, data};
    float o0[2], o1[2], o2[2], o3[2], o4[2];
    float* o[5] = {o0, o1, o2, o3, o4};
    for (ScanFn fn : {quorvel::dot_scan_scalar, quorvel::dot_scan}) {
        check(throws_internal([&] { fn(m, std::span<const float* const>(v, 0), std::span<float* const>(o, 0)); }),
              "no vectors is an internal failure");
        check(throws_internal([&] { fn(m, std::span<const float* const>(v, 5), std::span<float* const>(o, 5)); }),
              "five vectors is an internal failure");
        check(throws_internal([&] { fn(m, std::span<const float* const>(v, 2), std::span<float* const>(o, 1)); }),
              "fewer outputs than vectors is an internal failure");
        const float* null_v[1] = {nullptr};
        check(throws_internal([&] { fn(m, std::span<const float* const>(null_v), std::span<float* const>(o, 1)); }),
              "a null vector is an internal failure");
        float* null_o[1] = {nullptr};
        check(throws_internal([&] { fn(m, std::span<const float* const>(v, 1), std::span<float* const>(null_o)); }),
              "a null output is an internal failure");
    }
    // And a plain case with known integers, exact in float32: rows (1,2,3,4) and (5,6,7,8).
    const float w[4] = {1, -1, 2, 0.5f};
    const float* wp[1] = {w};
    float out[2] = {0, 0};
    float* op[1] = {out};
    quorvel::dot_scan(m, wp, op);
    check(out[0] == 1 - 2 + 6 + 2 && out[1] == 5 - 6 + 14 + 4, "2x4 integer dot products are exact");
}

// Non-finite matrix values propagate as IEEE arithmetic says (a kernel that skipped or masked
// real elements would lose them).
void test_dot_scan_nonfinite() {
    const std::size_t rows = 9, cols = 19;
    std::vector<float> data(rows * cols, 0.5f);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    data[0 * cols + 18] = nan;  // last column of row 0
    data[3 * cols + 0] = inf;   // first column of row 3
    data[8 * cols + 17] = -inf; // tail of row 8
    std::vector<float> vec(cols, 1.0f);
    const float* vp[1] = {vec.data()};
    for (ScanFn fn : {quorvel::dot_scan_scalar, quorvel::dot_scan}) {
        std::vector<float> out(rows);
        float* op[1] = {out.data()};
        fn(quorvel::view_packed(data.data(), rows, cols), std::span<const float* const>(vp), std::span<float* const>(op));
        check(std::isnan(out[0]) && out[3] == inf && out[8] == -inf && out[1] == 0.5f * cols,
              "NaN and infinities in a row reach its dot product");
    }
}

// ---------------------------------------------------------------------------------------------
// select_top against a stable sort of all positions.

bool ranks_before(float a, float b) { return !std::isnan(a) && (std::isnan(b) || a > b); }

std::vector<std::uint64_t> reference_top(const std::vector<float>& s, std::uint64_t p) {
    std::vector<std::uint64_t> pos(s.size());
    std::iota(pos.begin(), pos.end(), 0);
    std::stable_sort(pos.begin(), pos.end(), [&](auto a, auto b) { return ranks_before(s[a], s[b]); });
    pos.resize(static_cast<std::size_t>(std::min<std::uint64_t>(p, s.size())));
    std::vector<std::uint64_t> kept;
    for (auto i : pos)
        if (std::isfinite(s[i])) kept.push_back(i);
    return kept;
}

using SelectFn = quorvel::TopPositions (*)(const float*, std::size_t, std::uint64_t);

void check_top(SelectFn select, const char* method, const std::vector<float>& s, std::uint64_t p,
               const std::string& label) {
    const auto want = reference_top(s, p);
    const quorvel::TopPositions got = select(s.data(), s.size(), p);
    bool ok = got.size() == want.size();
    std::string detail = ok ? "" : " size " + std::to_string(got.size()) + " want " + std::to_string(want.size());
    std::vector<char> seen(s.size(), 0);
    for (std::size_t j = 0; ok && j < want.size(); ++j) {
        const std::uint64_t g = got[j];
        if (g >= s.size() || seen[g]) {
            ok = false;
            detail = " bad or repeated position at " + std::to_string(j);
            break;
        }
        seen[g] = 1;
        // Ties may be ordered, and cut at the boundary, differently: compare the scores.
        if (!(s[g] == s[want[j]])) {
            ok = false;
            char buf[120];
            std::snprintf(buf, sizeof buf, " at %zu: score %.9g want %.9g", j, double(s[g]), double(s[want[j]]));
            detail = buf;
        }
    }
    check(ok, std::string(method) + " " + label + " m=" + std::to_string(s.size()) + " p=" +
                  std::to_string(p) + detail);
}

// The same positions in the same order, ties included, and the same scores, as the selection
// that ran before: callers see no change. RunningTop is fed in chunks of random sizes.
void check_top_unchanged(const std::vector<float>& s, std::uint64_t p, const std::string& label,
                         std::mt19937_64& rng) {
    const auto want = top_select_reference::select_top(s.data(), s.size(), p);
    const quorvel::TopPositions got = quorvel::select_top(s.data(), s.size(), p);
    const std::string where = label + " m=" + std::to_string(s.size()) + " p=" + std::to_string(p);
    check(std::equal(got.begin(), got.end(), want.positions.begin(), want.positions.end()),
          "select_top keeps the earlier selection's order " + where);
    if (!quorvel::RunningTop::suits(s.size(), p)) return;
    quorvel::RunningTop top(s.size(), p);
    for (std::size_t first = 0; first < s.size();) {
        const std::size_t n = std::min<std::size_t>(s.size() - first, 1 + rng() % 9000);
        top.add(s.data() + first, first, n);
        first += n;
    }
    quorvel::Buffer<float> scores;
    const quorvel::TopPositions run = top.finish(scores);
    bool same = std::equal(run.begin(), run.end(), want.positions.begin(), want.positions.end());
    for (std::size_t j = 0; same && j < run.size(); ++j)
        same = std::memcmp(&scores[j], &want.scores[j], sizeof(float)) == 0;
    check(same, "RunningTop in random chunks keeps the earlier selection's order and scores " + where);
}

void check_top(const std::vector<float>& s, std::uint64_t p, const std::string& label, std::mt19937_64& rng) {
    check_top(quorvel::select_top, "select_top", s, p, label);
    check_top(quorvel::detail::select_top_indirect, "select_top_indirect", s, p, label);
    check_top_unchanged(s, p, label, rng);
}

void test_select_top() {
    std::mt19937_64 rng(7);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    // 100000 and 200000 reach the running selection's large-buffer paths (branch-free admission
    // from P = 1024, radix selection from 4096 candidates, so P = 2048 below m/64); 65536 puts
    // m/64 at 1024; 40000 and up reach the selection by top-digit counts, its 2P gather and its
    // fallback for a shared top digit.
    const std::size_t kSizes[] = {0, 1, 2, 3, 5, 8, 9, 16, 17, 40, 100, 1000, 4096, 40000, 65536, 100000, 200000};
    for (std::size_t m : kSizes) {
        std::vector<std::pair<std::string, std::vector<float>>> sets;
        std::uniform_real_distribution<float> u(-1.0f, 1.0f);
        std::vector<float> mixed(m), coarse(m), asc(m), desc(m), same(m, 0.25f), all_nan(m, nan),
            all_neg_inf(m, -inf), zeros(m), adjacent(m);
        for (std::size_t i = 0; i < m; ++i) {
            const auto r = rng() % 20;
            mixed[i] = r == 0 ? nan : r == 1 ? -nan : r == 2 ? inf : r == 3 ? -inf : r == 4 ? 0.5f : u(rng);
            coarse[i] = static_cast<float>(static_cast<int>(rng() % 7) - 3) / 4.0f;
            if (rng() % 9 == 0) coarse[i] = rng() & 1 ? nan : -inf;
            asc[i] = static_cast<float>(i);
            desc[i] = -static_cast<float>(i);
            zeros[i] = (rng() & 1) ? 0.0f : -0.0f;
            // Neighbouring floats: a selection bar that is off by one ulp shows here.
            const std::uint32_t bits = 0x3F800000u + static_cast<std::uint32_t>(rng() % 16);
            std::memcpy(&adjacent[i], &bits, 4);
        }
        sets.push_back({"mixed", mixed});
        sets.push_back({"coarse ties", coarse});
        sets.push_back({"ascending", asc});
        sets.push_back({"descending", desc});
        sets.push_back({"all equal", same});
        sets.push_back({"all NaN", all_nan});
        sets.push_back({"all -inf", all_neg_inf});
        sets.push_back({"signed zeros", zeros});
        sets.push_back({"adjacent floats", adjacent});
        const std::uint64_t mm = m;
        // m/64 - 1, m/64, m/8 and m/8 + 1 bound the selection by top-digit counts (from P = 1024).
        const std::uint64_t kPs[] = {0, 1, 2, 3, 1023, 1024, 2047, 2048, 2049, mm / 64 - 1, mm / 64, mm / 8,
                                     mm / 8 + 1, mm / 5, mm / 4, mm / 4 + 1, mm / 2, mm ? mm - 1 : 0, mm, mm + 1,
                                     std::numeric_limits<std::uint64_t>::max()};
        for (const auto& [name, s] : sets)
            for (std::uint64_t p : kPs) check_top(s, p, name, rng);
    }
    // NaN never displaces a number: with 3 numbers and many NaN, p = 3 keeps the 3 numbers.
    std::vector<float> s(1000, nan);
    s[10] = -inf;
    s[500] = -1.0f;
    s[999] = 2.0f;
    const quorvel::TopPositions top = quorvel::select_top(s.data(), s.size(), 3);
    check(top.size() == 2 && top[0] == 999 && top[1] == 500, "NaN ranks after -inf; -inf then filtered");
}


// The decay kernels: the AVX2 path against its scalar twin bit for bit, over counts around the
// 8-lane blocks, with undated rows (0, negative, NaN), future and very old timestamps, non-finite
// scores and half-lives of 0 and below; and the scalar path at one half-life, where the factor is
// exactly 1/2. Where a NaN score meets a NaN factor (half-life 0, age 0) which of the two NaNs
// the product keeps depends on operand order, so any NaN matches any NaN.
void test_decay_kernels() {
    const double now = 1.7e9;
    for (float h : {30.0f, 0.5f, 0.0f, -3.0f}) {
        if (!quorvel::simd_available()) break;
        std::mt19937 rng(3113);
        std::uniform_real_distribution<double> age_days(-5.0, 4000.0);
        std::uniform_real_distribution<float> score(-1.0f, 1.0f);
        const double specials[] = {0.0, -1.0, std::nan(""), now + 86400.0, 1e-300,
                                   std::numeric_limits<double>::infinity()};
        for (std::size_t count : {0, 1, 7, 8, 9, 15, 16, 17, 1000}) {
            std::vector<double> ts(count);
            std::vector<float> s(count);
            for (std::size_t i = 0; i < count; ++i) {
                ts[i] = (rng() % 5 == 0) ? specials[rng() % 6] : now - age_days(rng) * 86400.0;
                s[i] = (rng() % 17 == 0) ? std::nanf("") : score(rng);
            }
            if (count > 3) s[3] = -std::numeric_limits<float>::infinity();
            std::vector<float> scalar = s, avx2 = s;
            quorvel::decay_packed_scalar(scalar.data(), ts.data(), count, h, now);
            quorvel::decay_packed_avx2(avx2.data(), ts.data(), count, h, now);
            bool same = true;
            for (std::size_t i = 0; i < count; ++i)
                same = same && (std::memcmp(&scalar[i], &avx2[i], sizeof(float)) == 0 ||
                                (std::isnan(scalar[i]) && std::isnan(avx2[i])));
            check(same, "decay avx2 = scalar, count=" + std::to_string(count) + " h=" + std::to_string(h));
        }
    }
    const double t[2] = {now - 30.0 * 86400.0, 0.0};
    float s[2] = {0.8f, 0.8f};
    quorvel::decay_packed_scalar(s, t, 2, 30.0f, now);
    check(s[0] == 0.4f && s[1] == 0.8f, "decay halves a score at one half-life and keeps an undated one");
}

// The search for positions whose rank key reaches a bar, and the count of the keys' top digits:
// both paths against plain loops over the reference key, over counts around the 8-lane groups, with NaN, infinities, both zeros and
// repeated values, at bars that pass everything (NaN included), nothing, and keys of the data
// (so ties with the bar). The output holds exactly the count plus 8, as the kernel promises to
// need (AddressSanitizer catches a store beyond).
void test_positions_from_key() {
    using quorvel::positions_from_key_avx2;
    using quorvel::positions_from_key_scalar;
    std::mt19937 rng(5150);
    std::uniform_real_distribution<float> dist(-2.0f, 2.0f);
    const float inf = std::numeric_limits<float>::infinity();
    const float specials[] = {std::nanf(""), -std::nanf(""), inf, -inf, 0.0f, -0.0f, 0.5f};
    using Fn = std::size_t (*)(const float*, std::size_t, std::uint32_t, std::uint32_t*);
    std::vector<std::pair<const char*, Fn>> paths = {{"scalar", positions_from_key_scalar}};
    if (quorvel::simd_available()) paths.push_back({"avx2", positions_from_key_avx2});
    for (std::size_t m : {0, 1, 7, 8, 9, 15, 16, 17, 1000}) {
        std::vector<float> scores(m);
        for (float& x : scores) x = rng() % 4 == 0 ? specials[rng() % 7] : dist(rng);
        std::vector<std::uint32_t> lows = {0, 1, 0x7FFFFFFFu, 0x80000000u, 0xFF800000u, 0xFFFFFFFFu};
        for (std::size_t t = 0; t < 5 && m > 0; ++t) lows.push_back(top_select_reference::rank_key(scores[rng() % m]));
        for (std::uint32_t low : lows) {
            std::vector<std::uint32_t> want;
            for (std::size_t i = 0; i < m; ++i)
                if (top_select_reference::rank_key(scores[i]) >= low) want.push_back(static_cast<std::uint32_t>(i));
            for (const auto& [name, fn] : paths) {
                std::vector<std::uint32_t> got(want.size() + 8);
                const std::size_t n = fn(scores.data(), m, low, got.data());
                got.resize(std::min(n, got.size()));
                check(n == want.size() && got == want, std::string("positions from key, ") + name +
                                                           " m=" + std::to_string(m) + " low=" + std::to_string(low));
            }
        }
        std::vector<std::uint32_t> want_counts(quorvel::kTopDigits);
        for (float x : scores) ++want_counts[top_select_reference::rank_key(x) >> 21];
        for (auto count : {quorvel::count_top_digits_scalar, quorvel::count_top_digits_avx2}) {
            if (count == quorvel::count_top_digits_avx2 && !quorvel::simd_available()) continue;
            std::vector<std::uint32_t> got(quorvel::kTopDigits, 7);
            count(scores.data(), m, got.data());
            check(got == want_counts, "top digit counts, m=" + std::to_string(m));
        }
    }
}

}  // namespace

// The diversity selection's similarity rows: each path against the matching full product of the
// reference (every value bit for bit, NaN and infinities included), and against a double
// reference on finite data, over sizes around the 4-row groups and the 8- and 16-float steps.
struct RowPath {
    const char* name;
    quorvel::SimilarityRowFn row;
    mmr_reference::GramFn gram;
};

std::vector<RowPath> row_paths() {
    std::vector<RowPath> paths = {{"scalar", quorvel::similarity_row_scalar, mmr_reference::gram_scalar}};
    if (quorvel::simd_available())
        paths.push_back({"avx2", quorvel::similarity_row_avx2, mmr_reference::gram_avx2});
    return paths;
}

// Equal bits, or both NaN: which NaN a sum of NaN operands keeps depends on operand order, and
// the selection treats every NaN alike.
bool same_value(float a, float b) {
    return std::memcmp(&a, &b, sizeof a) == 0 || (std::isnan(a) && std::isnan(b));
}
// Scores: equal bits (so 0.0 and -0.0 differ), or both NaN.
bool same_score(double a, double b) {
    return std::memcmp(&a, &b, sizeof a) == 0 || (std::isnan(a) && std::isnan(b));
}

void test_similarity_rows() {
    std::mt19937 rng(4242);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    const float specials[] = {std::nanf(""), std::numeric_limits<float>::infinity(),
                              -std::numeric_limits<float>::infinity()};
    for (bool with_specials : {false, true}) {
        for (std::size_t n : {1, 2, 3, 4, 5, 8, 9, 31}) {
            for (std::size_t d : {0, 1, 7, 8, 9, 15, 16, 17, 33, 384}) {
                std::vector<float> g(n * d);
                for (float& x : g) x = dist(rng);
                if (with_specials && !g.empty())
                    for (float sp : specials) g[rng() % g.size()] = sp;
                std::vector<const float*> rows(n);
                for (std::size_t j = 0; j < n; ++j) rows[j] = g.data() + j * d;
                std::vector<double> want(n * n), scale(n * n);
                for (std::size_t p = 0; p < n; ++p)
                    for (std::size_t j = 0; j < n; ++j)
                        for (std::size_t i = 0; i < d; ++i) {
                            want[p * n + j] += double(g[p * d + i]) * g[j * d + i];
                            scale[p * n + j] += std::fabs(double(g[p * d + i]) * g[j * d + i]);
                        }
                for (const RowPath& path : row_paths()) {
                    std::vector<float> full(n * n);
                    path.gram(g.data(), n, d, full.data());
                    bool same = true, close = true;
                    std::vector<float> out(n, std::nanf(""));
                    for (std::size_t p = 0; p < n; ++p) {
                        path.row(rows[p], rows.data(), n, d, out.data());
                        for (std::size_t j = 0; j < n; ++j) {
                            same = same && same_value(out[j], full[p * n + j]);
                            if (!with_specials)
                                close = close && std::fabs(out[j] - want[p * n + j]) <= 1e-5 * scale[p * n + j] + 1e-30;
                        }
                    }
                    const std::string what = std::string(path.name) + " n=" + std::to_string(n) +
                                             " d=" + std::to_string(d) + (with_specials ? " specials" : "");
                    check(same, "similarity row equals the full product's row: " + what);
                    check(close, "similarity row near the double reference: " + what);
                }
            }
        }
    }
}

// Pools of 1 MiB of rows and more take the loop that requests rows ahead into L2: each value of a
// long row equals the same pair computed alone (a call of one row, which never requests ahead),
// around the pool size where the requests start, rows in scattered order, with NaN and infinities.
void test_similarity_rows_requested_ahead() {
    std::mt19937 rng(99);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    for (std::size_t d : {17, 384}) {
        const std::size_t from = ((std::size_t{1} << 18) + d - 1) / d;  // first pool size that requests
        for (std::size_t n : {from - 1, from, from + 21}) {
            std::vector<float> g(n * d);
            for (float& x : g) x = dist(rng);
            g[rng() % g.size()] = std::nanf("");
            g[rng() % g.size()] = std::numeric_limits<float>::infinity();
            std::vector<const float*> rows(n);
            for (std::size_t j = 0; j < n; ++j) rows[j] = g.data() + j * d;
            std::shuffle(rows.begin(), rows.end(), rng);
            for (const RowPath& path : row_paths()) {
                bool same = true;
                std::vector<float> out(n);
                for (std::size_t p : {std::size_t{0}, n / 2, n - 1}) {
                    path.row(rows[p], rows.data(), n, d, out.data());
                    for (std::size_t j = 0; j < n; ++j) {
                        float alone;
                        path.row(rows[p], rows.data() + j, 1, d, &alone);
                        same = same && same_value(out[j], alone);
                    }
                }
                check(same, std::string("similarity row of a large pool equals its pairs alone: ") + path.name +
                                " n=" + std::to_string(n) + " d=" + std::to_string(d));
            }
        }
    }
}

// The per-pick selection against the full-product selection: random pools with ties, duplicate
// candidates, NaN and infinite relevance and row entries, zero columns, lambda in and outside
// [0, 1] (NaN and infinities too, and the edges of the lazy scan's range: -0.0, just below 1,
// weights so large that gains overflow), k = 0, 1, within and beyond n; each kernel path, both
// scans, rows read in place and gathered from a column-strided view, and the per-position entry
// of the pipeline.
struct PoolCase {
    std::size_t n, d;
    bool quantised, nan_rel, inf_rel, special_rows, duplicates;
};

void test_mmr_against_full_product() {
    const double inf = std::numeric_limits<double>::infinity();
    const float finf = std::numeric_limits<float>::infinity();
    const double lambdas[] = {0.0, 1.0, 0.7, 0.3, 1.5, -0.5, std::nan(""), inf, -inf,
                              -0.0, std::nextafter(1.0, 0.0), 1e-300, -1e300};
    std::mt19937 rng(1913);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    const float levels[] = {-1.0f, -0.5f, 0.0f, 0.5f, 1.0f};
    std::vector<PoolCase> cases;
    for (std::size_t n : {1, 2, 4, 5, 9, 17, 64, 203})
        for (std::size_t d : {0, 3, 16, 37})
            for (int flags = 0; flags < 32; flags += 1 + (n > 9) * 2 + (n > 17) * 4)
                cases.push_back({n, d, bool(flags & 1), bool(flags & 2), bool(flags & 4), bool(flags & 8),
                                 bool(flags & 16)});
    int compared = 0;
    for (const PoolCase& c : cases) {
        const std::size_t rows = c.n + 3;
        auto value = [&] { return c.quantised ? levels[rng() % 5] : dist(rng); };
        std::vector<float> mat(rows * c.d), rel(rows);
        for (float& x : mat) x = value();
        for (float& x : rel) x = value();
        if (c.special_rows && !mat.empty())
            for (float sp : {std::nanf(""), finf, -finf, std::nanf("")}) mat[rng() % mat.size()] = sp;
        if (c.nan_rel) rel[rng() % rows] = rel[rng() % rows] = std::nanf("");
        if (c.inf_rel) rel[rng() % rows] = finf, rel[rng() % rows] = -finf;
        std::vector<std::uint64_t> cands(c.n);
        for (auto& x : cands) x = rng() % rows;
        if (c.duplicates) cands[rng() % c.n] = cands[0], cands[c.n - 1] = cands[c.n / 2];

        // Reference inputs: the candidates' rows packed, relevance per position.
        std::vector<float> g(c.n * c.d);
        std::vector<double> rel_pos(c.n);
        std::vector<float> scores(c.n);
        for (std::size_t i = 0; i < c.n; ++i) {
            std::copy_n(mat.data() + cands[i] * c.d, c.d, g.data() + i * c.d);
            scores[i] = rel[cands[i]];
            rel_pos[i] = scores[i];
        }
        // The same matrix with every other float a filler: strided columns, gathered by the selection.
        std::vector<float> wide(rows * c.d * 2, 7.0f);
        for (std::size_t x = 0; x < mat.size(); ++x) wide[2 * x] = mat[x];
        const FloatMatrix packed = quorvel::view_packed(mat.data(), rows, c.d);
        const FloatMatrix strided{reinterpret_cast<const std::byte*>(wide.data()), rows, c.d,
                                  static_cast<std::ptrdiff_t>(2 * c.d * sizeof(float)), 2 * sizeof(float)};
        const quorvel::FloatVector relevance{reinterpret_cast<const std::byte*>(rel.data()), rows, sizeof(float)};

        const std::uint64_t ks[] = {0, 1, 3, c.n - 1, c.n, c.n + 7, std::numeric_limits<std::uint64_t>::max()};
        for (const RowPath& path : row_paths()) {
            const std::vector<float> sim = mmr_reference::full_product(g.data(), c.n, c.d, path.gram);
            for (double lambda : lambdas) {
                for (std::uint64_t k : ks) {
                    const auto want = mmr_reference::select(cands, rel_pos, sim, k, lambda);
                    using quorvel::MmrScan;
                    const std::vector<std::vector<quorvel::MmrPick>> got = {
                        quorvel::mmr_select(cands, relevance, packed, k, lambda, path.row),
                        quorvel::mmr_select(cands, relevance, strided, k, lambda, path.row),
                        quorvel::mmr_select_scored(cands, scores, packed, k, lambda, path.row),
                        quorvel::mmr_select(cands, relevance, packed, k, lambda, path.row, MmrScan::eager),
                        quorvel::mmr_select_scored(cands, scores, packed, k, lambda, path.row, MmrScan::eager)};
                    for (std::size_t v = 0; v < got.size(); ++v) {
                        bool ok = got[v].size() == want.size();
                        for (std::size_t t = 0; ok && t < want.size(); ++t)
                            ok = got[v][t].index == want[t].index && same_score(got[v][t].score, want[t].score);
                        check(ok, std::string("mmr = full product, ") + (v < 3 ? "automatic scan, " : "eager scan, ") +
                                      path.name + " variant " +
                                      std::to_string(v) + " n=" + std::to_string(c.n) + " d=" +
                                      std::to_string(c.d) + " k=" + std::to_string(k) + " lambda=" +
                                      std::to_string(lambda));
                        ++compared;
                    }
                }
            }
        }
    }
    check(compared > 10000, "mmr comparisons ran: " + std::to_string(compared));
}

// A similarity that is NaN with the seed (two lanes overflowing to +inf and -inf) and finite with
// a later pick: at lambda 1 the position scores NaN until that pick, then its relevance, which
// is the highest left. No score bound holds across that change, so the selection must find this
// position after the later pick as the full-product selection does.
void test_mmr_similarity_nan_then_finite() {
    const float rows[] = {1e20f, 1e20f,    // 0: the seed
                          1e20f, -1e20f,   // 1: NaN with the seed, 1e20 with row 2
                          1.0f, 0.0f,      // 2: finite with every row
                          0.0f, 1.0f};     // 3: finite with every row
    const float rel[] = {1.0f, 0.9f, 0.5f, 0.3f};
    const std::vector<std::uint64_t> cands = {0, 1, 2, 3};
    const std::vector<double> rel_pos(rel, rel + 4);
    const FloatMatrix m = quorvel::view_packed(rows, 4, 2);
    const quorvel::FloatVector relevance{reinterpret_cast<const std::byte*>(rel), 4, sizeof(float)};
    for (const RowPath& path : row_paths()) {
        const std::vector<float> sim = mmr_reference::full_product(rows, 4, 2, path.gram);
        check(std::isnan(sim[1]) && std::isfinite(sim[2 * 4 + 1]), "similarity NaN with the seed, finite later");
        for (double lambda : {1.0, 0.7, 0.0, 1.5}) {
            const auto want = mmr_reference::select(cands, rel_pos, sim, 4, lambda);
            for (auto scan : {quorvel::MmrScan::automatic, quorvel::MmrScan::eager}) {
                const auto got = quorvel::mmr_select(cands, relevance, m, 4, lambda, path.row, scan);
                bool ok = got.size() == want.size();
                for (std::size_t t = 0; ok && t < want.size(); ++t)
                    ok = got[t].index == want[t].index && same_score(got[t].score, want[t].score);
                check(ok, std::string("mmr, similarity NaN then finite: ") + path.name + " lambda=" +
                              std::to_string(lambda));
            }
        }
    }
}

// The lazy scan's cost and its equality with the eager scan on pools too large for the full
// product: random unit rows (few ties) and rows drawn from a handful of directions (many equal
// similarities and bounds), scored through a kernel that counts the pairs it computes: the lazy
// scan never computes more pairs than a row per pick, and far fewer on random rows.
std::uint64_t g_pairs = 0;
quorvel::SimilarityRowFn g_counted_row = nullptr;
void counting_row(const float* a, const float* const* rows, std::size_t n, std::size_t d, float* out) {
    g_pairs += n;
    g_counted_row(a, rows, n, d, out);
}

void test_mmr_lazy_large_pools() {
    const std::size_t n = 4099, d = 48, rows = 5000;
    std::mt19937 rng(77);
    std::normal_distribution<float> normal(0.0f, 1.0f);
    for (const RowPath& path : row_paths()) {
        g_counted_row = path.row;
        for (bool clustered : {false, true}) {
            std::vector<float> mat(rows * d), rel(rows);
            std::vector<float> centres(5 * d);
            for (float& x : centres) x = normal(rng);
            for (std::size_t r = 0; r < rows; ++r) {
                float norm = 0.0f;
                for (std::size_t i = 0; i < d; ++i) {
                    float& x = mat[r * d + i];
                    x = clustered ? centres[(r % 5) * d + i] : normal(rng);
                    norm += x * x;
                }
                for (std::size_t i = 0; i < d; ++i) mat[r * d + i] /= std::sqrt(norm);
                rel[r] = clustered ? 0.25f * float(rng() % 4) : normal(rng);
            }
            std::vector<std::uint64_t> cands(n);
            for (auto& x : cands) x = rng() % rows;
            const FloatMatrix packed = quorvel::view_packed(mat.data(), rows, d);
            const quorvel::FloatVector relevance{reinterpret_cast<const std::byte*>(rel.data()), rows, sizeof(float)};
            for (double lambda : {0.0, 0.5, 0.9}) {
                for (std::uint64_t k : {10, 60}) {
                    g_pairs = 0;
                    const auto eager = quorvel::mmr_select(cands, relevance, packed, k, lambda, counting_row,
                                                           quorvel::MmrScan::eager);
                    const std::uint64_t eager_pairs = g_pairs;
                    g_pairs = 0;
                    const auto lazy = quorvel::mmr_select(cands, relevance, packed, k, lambda, counting_row);
                    bool ok = lazy.size() == eager.size() && eager.size() == k;
                    for (std::size_t t = 0; ok && t < eager.size(); ++t)
                        ok = lazy[t].index == eager[t].index && same_score(lazy[t].score, eager[t].score);
                    const std::string what = std::string(path.name) + (clustered ? " clustered" : " random") +
                                             " k=" + std::to_string(k) + " lambda=" + std::to_string(lambda);
                    check(ok, "lazy scan = eager scan on a large pool: " + what);
                    check(eager_pairs == k * n, "eager scan computes a row per pick: " + what);
                    // Each pair at most once; on random rows at the usual weights, a fraction.
                    check(g_pairs <= eager_pairs, "lazy scan computes no pair twice: " + what);
                    if (!clustered && lambda >= 0.5)
                        check(g_pairs < eager_pairs / 4, "lazy scan skips most pairs: " + what + ", " +
                                                             std::to_string(g_pairs) + " pairs");
                }
            }
        }
    }
}

int main() {
    std::printf("AVX2+FMA path %s\n", quorvel::simd_available() ? "tested" : "not available on this CPU");
    test_dot_scan_empty();
    test_dot_scan_rejects();
    test_dot_scan_nonfinite();
    // Awkward sizes around the 8-lane blocks and the 4-row groups.
    const std::size_t kRows[] = {0, 1, 3, 4, 5, 7, 8, 9, 33, 1000};
    const std::size_t kCols[] = {0, 1, 7, 8, 9, 15, 16, 17, 384, 385};
    test_dot_scan_layouts(kRows, kCols, 20240611);
    // Tall matrices, across the boundaries of the row chunks of the column-order kernels.
    const std::size_t kTallRows[] = {8191, 8193, 20011};
    const std::size_t kFewCols[] = {5, 21, 36};
    test_dot_scan_layouts(kTallRows, kFewCols, 977);
    test_select_top();
    test_decay_kernels();
    test_positions_from_key();
    test_similarity_rows();
    test_similarity_rows_requested_ahead();
    test_mmr_against_full_product();
    test_mmr_similarity_nan_then_finite();
    test_mmr_lazy_large_pools();
    std::printf("%d passed, %d failed\n", g_passed, g_failed);
    return g_failed == 0 ? 0 : 1;
}
