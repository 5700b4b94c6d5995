// mmr_select_py: Maximal Marginal Relevance selection over a caller's candidate list, returned
// as (row index, score) tuples.
#include <string_view>

#include "boundary/binding.hpp"
#include "boundary/call_frame.hpp"
#include "boundary/convert.hpp"
#include "boundary/entries.hpp"
#include "diversity/mmr.hpp"

namespace quorvel::py {
namespace {

constexpr Signature<5> signature{"mmr_select_py", {"candidates", "similarities", "matrix", "k", "lambda_"}, 5};

consteval std::size_t at(std::string_view param) { return signature.position(param); }

Ref mmr_select_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const Bound<5> bound(signature, args, nargs, kwnames);
    const std::vector<std::uint64_t> candidates = bound.value(at("candidates"), to_u64_sequence);
    ArrayArg<FloatVector> similarities = bound.value(at("similarities"), to_float_vector);
    ArrayArg<FloatMatrix> matrix = bound.value(at("matrix"), to_float_matrix);
    const std::uint64_t k = bound.value(at("k"), to_u64);
    const double lambda = bound.value(at("lambda_"), to_double);
    // An __index__ of k or a __float__ of lambda_ may have given an array other memory, shape or
    // dtype; no Python code runs from here on, so the views are taken again, with the same checks
    // (see retake_views of score_candidates).
    similarities = bound.value(at("similarities"), to_float_vector);
    matrix = bound.value(at("matrix"), to_float_matrix);

    const std::vector<MmrPick> picks = mmr_select(candidates, similarities.view, matrix.view, k, lambda);

    Ref list = created(PyList_New(0));
    for (const MmrPick& pick : picks) {
        Ref index = created(PyLong_FromUnsignedLongLong(pick.index));
        Ref score = created(PyFloat_FromDouble(pick.score));
        Ref pair = created(PyTuple_Pack(2, index.get(), score.get()));
        if (PyList_Append(list.get(), pair.get()) < 0) throw ErrorSet{};
    }
    return list;
}

}  // namespace

constinit const EntryDef mmr_select_py_def = entry_def<mmr_select_body>(
    signature,
    "mmr_select_py(candidates, similarities, matrix, k, lambda_)\n--\n\n"
    "MMR: iteratively select for relevance minus redundancy.\n"
    "Returns list of (index, mmr_score) tuples.");

}  // namespace quorvel::py
