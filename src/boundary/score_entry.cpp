// score_candidates: binding and conversion of its eighteen arguments, the call of the scoring
// pipeline, and the result list of {"id", "score"} dicts.
#include <optional>

#include "boundary/binding.hpp"
#include "boundary/call_frame.hpp"
#include "boundary/convert.hpp"
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

enum Param : std::size_t {
    p_matrix, p_ids, p_id_to_idx, p_query_vec, p_timestamps, p_pre_filter_ids, p_not_like_vec,
    p_diverse, p_limit, p_oversample, p_threshold, p_mmr_lambda, p_recent, p_recent_days,
    p_like_ids, p_traj_from_vec, p_traj_to_vec, p_mask
};

bool given(PyObject* slot) { return slot != nullptr && slot != Py_None; }

// The converted arguments; their destructors give back every array and reference.
struct Arguments {
    ArrayArg<FloatMatrix> matrix;
    TextSequence ids;
    IdMap id_to_idx;
    ArrayArg<FloatVector> query_vec;
    std::optional<ArrayArg<DoubleVector>> timestamps;
    std::optional<TextSequence> pre_filter_ids;
    std::optional<ArrayArg<FloatVector>> not_like_vec;
    bool diverse = false;
    std::uint64_t limit = 10;
    std::uint64_t oversample = 200;
    float threshold = 0.0f;
    double mmr_lambda = 0.7;
    bool recent = false;
    std::optional<double> recent_days;
    std::optional<TextSequence> like_ids;
    std::optional<ArrayArg<FloatVector>> traj_from_vec;
    std::optional<ArrayArg<FloatVector>> traj_to_vec;
    std::optional<ArrayArg<ByteVector>> mask;
};

// Converts slot `index` with `convert` unless it was omitted, in which case `target` keeps its
// default.
template <class T, class Convert>
void convert_into(const Slots<18>& slots, std::size_t index, T& target, Convert&& convert) {
    if (slots[index] != nullptr) target = convert_slot(signature, slots, index, convert);
}

template <class T, class Convert>
void convert_optional(const Slots<18>& slots, std::size_t index, std::optional<T>& target, Convert&& convert) {
    if (given(slots[index])) target = convert_slot(signature, slots, index, convert);
}

template <class View>
std::optional<View> view_of(const std::optional<ArrayArg<View>>& arg) {
    return arg ? std::optional<View>(arg->view) : std::nullopt;
}

// Python code that a conversion runs (a caller's __index__, __float__, __bool__ or iterator, or
// another thread that it lets run) can give an array converted before it other memory, shape,
// strides or dtype: ndarray.__setstate__ and resize(refcheck=False) free the buffer a view points
// into. Nothing from the last conversion to the end of the body runs Python code, so each view
// is taken again there, with the same checks: the call reads the arrays as they are now, and one
// that no longer passes is refused as if it had been passed so. Costs a few loads an array.
void retake_views(const Slots<18>& slots, Arguments& a) {
    a.matrix = convert_slot(signature, slots, p_matrix, to_float_matrix);
    a.query_vec = convert_slot(signature, slots, p_query_vec, to_float_vector);
    convert_optional(slots, p_timestamps, a.timestamps, to_double_vector);
    convert_optional(slots, p_not_like_vec, a.not_like_vec, to_float_vector);
    convert_optional(slots, p_traj_from_vec, a.traj_from_vec, to_float_vector);
    convert_optional(slots, p_traj_to_vec, a.traj_to_vec, to_float_vector);
    convert_optional(slots, p_mask, a.mask, to_bool_vector);
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

Ref score_candidates_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const Slots<18> slots = bind(signature, args, nargs, kwnames);
    // Lookups in id_to_idx are only needed to resolve like_ids or pre_filter_ids.
    const bool needs_index = given(slots[p_pre_filter_ids]) || given(slots[p_like_ids]);

    Arguments a{
        convert_slot(signature, slots, p_matrix, to_float_matrix),
        convert_slot(signature, slots, p_ids, to_text_sequence),
        convert_slot(signature, slots, p_id_to_idx, [&](PyObject* o) { return to_id_map(o, needs_index); }),
        convert_slot(signature, slots, p_query_vec, to_float_vector),
    };
    convert_optional(slots, p_timestamps, a.timestamps, to_double_vector);
    convert_optional(slots, p_pre_filter_ids, a.pre_filter_ids, to_text_sequence);
    convert_optional(slots, p_not_like_vec, a.not_like_vec, to_float_vector);
    convert_into(slots, p_diverse, a.diverse, to_bool);
    convert_into(slots, p_limit, a.limit, to_u64);
    convert_into(slots, p_oversample, a.oversample, to_u64);
    convert_into(slots, p_threshold, a.threshold, to_float32);
    convert_into(slots, p_mmr_lambda, a.mmr_lambda, to_double);
    convert_into(slots, p_recent, a.recent, to_bool);
    convert_optional(slots, p_recent_days, a.recent_days, to_double);
    convert_optional(slots, p_like_ids, a.like_ids, to_text_sequence);
    convert_optional(slots, p_traj_from_vec, a.traj_from_vec, to_float_vector);
    convert_optional(slots, p_traj_to_vec, a.traj_to_vec, to_float_vector);
    convert_optional(slots, p_mask, a.mask, to_bool_vector);
    retake_views(slots, a);

    // Identifier lists become row lists here; the scoring decides what an empty one means.
    std::vector<std::uint64_t> pre_filter_rows, like_rows;
    ScoreRequest request;
    request.matrix = a.matrix.view;
    request.id_count = a.ids.size();
    request.query = a.query_vec.view;
    request.timestamps = view_of(a.timestamps);
    if (a.pre_filter_ids) {
        pre_filter_rows = resolve_rows(*a.pre_filter_ids, a.id_to_idx);
        request.pre_filter_rows = RowList(pre_filter_rows);
    }
    request.not_like = view_of(a.not_like_vec);
    request.diverse = a.diverse;
    request.limit = a.limit;
    request.oversample = a.oversample;
    request.threshold = a.threshold;
    request.mmr_lambda = a.mmr_lambda;
    request.recent = a.recent;
    request.recent_days = a.recent_days;
    if (a.like_ids) {
        like_rows = resolve_rows(*a.like_ids, a.id_to_idx);
        request.like_rows = RowList(like_rows);
    }
    request.traj_from = view_of(a.traj_from_vec);
    request.traj_to = view_of(a.traj_to_vec);
    request.mask = view_of(a.mask);

    return build_result(score_candidates(request), a.ids);
}

}  // namespace

const EntryDef score_candidates_def{
    "score_candidates",
    reinterpret_cast<PyCFunctionFast>(reinterpret_cast<void (*)()>(&call_frame<score_candidates_body>)),
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
    "Returns list of dicts with 'id' and 'score' keys.",
};

}  // namespace quorvel::py
