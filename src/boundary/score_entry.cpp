// score_candidates: binding and conversion of its eighteen arguments straight into the scoring
// request, the call of the scoring pipeline, and the result list of {"id", "score"} dicts.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "boundary/binding.hpp"
#include "boundary/call_frame.hpp"
#include "boundary/convert.hpp"
#include "boundary/id_lists.hpp"
#include "boundary/identifier_checks.hpp"
#include "boundary/entries.hpp"
#include "scoring/pipeline.hpp"

namespace quorvel::py {
namespace {

constexpr Signature<18> signature{
    "score_candidates",
    {"matrix", "ids", "id_to_idx", "query_vec", "timestamps", "pre_filter_ids", "not_like_vec",
     "diverse", "limit", "oversample", "threshold", "mmr_lambda", "recent", "recent_days", "like_ids",
     "traj_from_vec", "traj_to_vec", "mask"},
    4};

consteval std::size_t at(std::string_view param) { return signature.position(param); }

constexpr const char doc[] =
    "score_candidates(matrix, ids, id_to_idx, query_vec, timestamps=None, pre_filter_ids=None, "
    "not_like_vec=None, diverse=False, limit=10, oversample=200, threshold=0.0, mmr_lambda=0.7, "
    "recent=False, recent_days=None, like_ids=None, traj_from_vec=None, traj_to_vec=None, mask=None)\n"
    "--\n"
    "\n"
    "Score and select candidates with composable landscape modulations.\n"
    "\n"
    "All text\u2192vector conversions must be done in Python before calling.\n"
    "This function takes pure arrays and returns scored results.\n"
    "\n"
    "Args:\n"
    "    matrix: Normalized embedding matrix (n, dims), float32.\n"
    "    ids: Document IDs aligned with matrix rows.\n"
    "    id_to_idx: {id: row_index} mapping.\n"
    "    query_vec: Query embedding (dims,), will be normalized.\n"
    "    timestamps: Optional (n,) float64 epoch seconds.\n"
    "    pre_filter_ids: Optional set of IDs to restrict search.\n"
    "    not_like_vec: Optional negative query for contrastive.\n"
    "    diverse: Enable MMR diversity selection.\n"
    "    limit: Max results.\n"
    "    oversample: Candidate pool size.\n"
    "    threshold: Minimum similarity cutoff.\n"
    "    mmr_lambda: Relevance vs diversity (0-1).\n"
    "    recent: Apply temporal decay.\n"
    "    recent_days: Half-life in days for temporal decay.\n"
    "    like_ids: Optional list of IDs for centroid blending.\n"
    "    traj_from_vec: Optional trajectory start vector.\n"
    "    traj_to_vec: Optional trajectory end vector.\n"
    "\n"
    "Returns list of dicts with 'id' and 'score' keys.";

// The defaults that the documentation's signature line shows are the request's initialisers:
// the number (or False / True) written after ", <param>=", as the double nearest to it.
consteval double documented_default(std::string_view param) {
    const std::string_view text(doc);
    const std::size_t key = text.find(std::string(", ") + std::string(param) + "=");
    if (key == std::string_view::npos) throw "no default documented";
    std::string_view value = text.substr(key + param.size() + 3);
    if (value.starts_with("False")) return 0.0;
    if (value.starts_with("True")) return 1.0;
    double whole = 0.0, scale = 1.0;
    bool fraction = false;
    for (const char c : value) {
        if (c == '.' && !fraction) {
            fraction = true;
        } else if (c >= '0' && c <= '9') {
            whole = whole * 10.0 + (c - '0');
            if (fraction) scale *= 10.0;
        } else {
            break;
        }
    }
    return whole / scale;  // one rounding: digits and scale are exact in a double
}

constexpr ScoreRequest defaults{};
static_assert(documented_default("diverse") == defaults.diverse);
static_assert(documented_default("limit") == static_cast<double>(defaults.limit));
static_assert(documented_default("oversample") == static_cast<double>(defaults.oversample));
static_assert(static_cast<float>(documented_default("threshold")) == defaults.threshold);
static_assert(documented_default("mmr_lambda") == defaults.mmr_lambda);
static_assert(documented_default("recent") == defaults.recent);

template <class View>
std::optional<View> view_of(const std::optional<ArrayArg<View>>& arg) {
    return arg ? std::optional<View>(arg->view) : std::nullopt;
}

// What the request points into, held until the call returns: the arrays, the identifier lists
// and map, and the rows the lists resolve to.
struct Held {
    ArrayArg<FloatMatrix> matrix;
    TextSequence ids;
    IdMap id_to_idx;
    ArrayArg<FloatVector> query_vec;
    std::optional<ArrayArg<DoubleVector>> timestamps;
    std::optional<TextSequence> pre_filter_ids;
    std::optional<ArrayArg<FloatVector>> not_like_vec;
    std::optional<TextSequence> like_ids;
    std::optional<ArrayArg<FloatVector>> traj_from_vec;
    std::optional<ArrayArg<FloatVector>> traj_to_vec;
    std::optional<ArrayArg<ByteVector>> mask;
    std::vector<std::uint64_t> pre_filter_rows;
    std::vector<std::uint64_t> like_rows;
};

// Python code that a conversion runs (a caller's __index__, __float__, __bool__ or iterator, or
// another thread that it lets run) can give an array converted before it other memory, shape,
// strides or dtype: ndarray.__setstate__ and resize(refcheck=False) free the buffer a view points
// into. Nothing from the last conversion to the end of the body runs Python code, so each view
// is taken again there, with the same checks: the call reads the arrays as they are now, and one
// that no longer passes is refused as if it had been passed so. Costs a few loads an array.
enum class Pass { every_argument, identifiers_deferred, arrays_again };

// The arguments in parameter order: the options straight into the request (an omitted one keeps
// the request's default), the rest into `held`; or, in the last pass, the arrays alone. With the
// identifiers deferred, `ids` is held unchecked and `id_to_idx` not converted: IdentifierChecks
// checks both later.
void convert_arguments(const Bound<18>& args, Held& held, ScoreRequest& request, Pass pass) {
    const bool every = pass != Pass::arrays_again;
    const bool deferred = pass == Pass::identifiers_deferred;
    const auto array = [&](std::size_t index, auto& target, auto convert) { args.into(index, target, convert); };
    const auto other = [&](std::size_t index, auto& target, auto convert) {
        if (every) args.into(index, target, convert);
    };
    // Lookups in id_to_idx are only needed to resolve like_ids or pre_filter_ids.
    const bool needs_index = args.given(at("pre_filter_ids")) || args.given(at("like_ids"));
    const auto to_index = [&](PyObject* o) { return to_id_map(o, needs_index); };
    const auto to_ids = [&](PyObject* o) {
        return to_text_sequence(o, IdMapChecks::known_plain_keys(args.object(at("id_to_idx"))));
    };
    const auto to_texts = [](PyObject* o) { return to_text_sequence(o); };
    array(at("matrix"), held.matrix, to_float_matrix);
    if (deferred) {
        held.ids = unchecked_in_place(args.object(at("ids")));
    } else {
        other(at("ids"), held.ids, to_ids);
        other(at("id_to_idx"), held.id_to_idx, to_index);
    }
    array(at("query_vec"), held.query_vec, to_float_vector);
    array(at("timestamps"), held.timestamps, to_double_vector);
    other(at("pre_filter_ids"), held.pre_filter_ids, to_texts);
    array(at("not_like_vec"), held.not_like_vec, to_float_vector);
    other(at("diverse"), request.diverse, to_bool);
    other(at("limit"), request.limit, to_u64);
    other(at("oversample"), request.oversample, to_u64);
    other(at("threshold"), request.threshold, to_float32);
    other(at("mmr_lambda"), request.mmr_lambda, to_double);
    other(at("recent"), request.recent, to_bool);
    other(at("recent_days"), request.recent_days, to_double);
    other(at("like_ids"), held.like_ids, to_texts);
    array(at("traj_from_vec"), held.traj_from_vec, to_float_vector);
    array(at("traj_to_vec"), held.traj_to_vec, to_float_vector);
    array(at("mask"), held.mask, to_bool_vector);
}

// The views and the resolved rows into the request. Identifier lists become row lists here; the
// scoring decides what an empty one means.
void point_request(Held& held, ScoreRequest& request) {
    request.matrix = held.matrix.view;
    request.id_count = held.ids.size();
    request.query = held.query_vec.view;
    request.timestamps = view_of(held.timestamps);
    if (held.pre_filter_ids) {
        held.pre_filter_rows = resolve_rows(*held.pre_filter_ids, held.id_to_idx);
        request.pre_filter_rows = RowList(held.pre_filter_rows);
    }
    request.not_like = view_of(held.not_like_vec);
    if (held.like_ids) {
        held.like_rows = resolve_rows(*held.like_ids, held.id_to_idx);
        request.like_rows = RowList(held.like_rows);
    }
    request.traj_from = view_of(held.traj_from_vec);
    request.traj_to = view_of(held.traj_to_vec);
    request.mask = view_of(held.mask);
}

Ref build_result(const std::vector<ScoredRow>& rows, const TextSequence& ids) {
    Ref list = created(PyList_New(0));
    for (const ScoredRow& row : rows) {
        Ref item = created(PyDict_New());
        const std::string_view id = ids.text(row.id_index);
        Ref id_str = created(PyUnicode_FromStringAndSize(id.data(), static_cast<Py_ssize_t>(id.size())));
        Ref score = created(PyFloat_FromDouble(row.score));
        if (PyDict_SetItemString(item.get(), "id", id_str.get()) < 0) throw ErrorSet{};
        if (PyDict_SetItemString(item.get(), "score", score.get()) < 0) throw ErrorSet{};
        if (PyList_Append(list.get(), item.get()) < 0) throw ErrorSet{};
    }
    return list;
}

Ref score_in_order(const Bound<18>& bound) {
    Held held;
    ScoreRequest request;
    convert_arguments(bound, held, request, Pass::every_argument);
    convert_arguments(bound, held, request, Pass::arrays_again);
    point_request(held, request);
    return build_result(score_candidates(request), held.ids);
}

// The identifier checks can wait for the scan when they cannot run caller code and nothing reads
// through the map: `ids` an exact list or tuple, `id_to_idx` a dict, no identifiers to resolve.
bool identifiers_can_wait(const Bound<18>& bound) {
    PyObject* ids = bound.object(at("ids"));
    PyObject* id_to_idx = bound.object(at("id_to_idx"));
    return (PyList_CheckExact(ids) || PyTuple_CheckExact(ids)) && PyDict_Check(id_to_idx) &&
           !bound.given(at("pre_filter_ids")) && !bound.given(at("like_ids"));
}

// The call with the identifier checks walked during the scan, while no caller code is met:
// nothing observable happens before every check has passed, so on anything else (a check that
// fails, caller code that a conversion or a check would run, any failure) the attempt leaves no
// trace and the call starts again in parameter order, to fail or run caller code exactly as that
// order does. Python code cannot run during the attempt, so the list and the dict cannot change.
std::optional<Ref> score_with_checks_under_scan(const Bound<18>& bound) {
    Held held;
    std::vector<ScoredRow> rows;
    try {
        const CallerCodeDeferred no_caller_code;
        ScoreRequest request;
        convert_arguments(bound, held, request, Pass::identifiers_deferred);
        convert_arguments(bound, held, request, Pass::arrays_again);
        point_request(held, request);
        IdentifierChecks checks(bound.object(at("ids")), bound.object(at("id_to_idx")));
        request.interleaved = checks.interleaved();
        rows = score_candidates(request);
        checks.finish();
    } catch (...) {
        PyErr_Clear();
        return std::nullopt;
    }
    return build_result(rows, held.ids);
}

Ref score_candidates_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const Bound<18> bound(signature, args, nargs, kwnames);
    if (identifiers_can_wait(bound))
        if (std::optional<Ref> result = score_with_checks_under_scan(bound)) return std::move(*result);
    return score_in_order(bound);
}

}  // namespace

constinit const EntryDef score_candidates_def = entry_def<score_candidates_body>(signature, doc);

}  // namespace quorvel::py
