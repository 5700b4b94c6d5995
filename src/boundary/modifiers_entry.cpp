// parse_modifiers: the modifier string parsed into a dict whose nine keys always stand in the
// same order, defaults first, then replaced in place by what the text sets.
#include <optional>
#include <string>

#include "boundary/binding.hpp"
#include "boundary/call_frame.hpp"
#include "boundary/convert.hpp"
#include "boundary/entries.hpp"
#include "modifiers/modifier_parser.hpp"

namespace quorvel::py {
namespace {

constexpr Signature<1> signature{"parse_modifiers", {"modifier_str"}, 0};

Ref new_str(std::string_view text) {
    return created(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

void set(PyObject* dict, const char* key, Ref value) {
    Ref key_str = created(PyUnicode_FromString(key));
    if (PyDict_SetItem(dict, key_str.get(), value.get()) < 0) throw ErrorSet{};
}

Ref optional_str(const std::optional<std::string>& value) {
    return value ? new_str(*value) : Ref::borrow(Py_None);
}

Ref parse_modifiers_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const Slots<1> slots = bind(signature, args, nargs, kwnames);
    const std::optional<std::string_view> text =
        convert_param(signature.params[0], [&] { return optional_of(slots[0], to_text); });

    Ref dict = created(PyDict_New());
    PyObject* d = dict.get();
    set(d, "recent", Ref::borrow(Py_False));
    set(d, "recent_days", Ref::borrow(Py_None));
    set(d, "unlike", Ref::borrow(Py_None));
    set(d, "diverse", Ref::borrow(Py_False));
    set(d, "limit", Ref::borrow(Py_None));
    set(d, "like", Ref::borrow(Py_None));
    set(d, "trajectory_from", Ref::borrow(Py_None));
    set(d, "trajectory_to", Ref::borrow(Py_None));
    set(d, "local_communities", Ref::borrow(Py_False));
    if (!text || text->empty()) return dict;

    const Modifiers parsed = parse_modifier_text(*text);
    if (parsed.recent) set(d, "recent", Ref::borrow(Py_True));
    if (parsed.recent_days) set(d, "recent_days", created(PyLong_FromLongLong(*parsed.recent_days)));
    if (parsed.unlike) set(d, "unlike", optional_str(parsed.unlike));
    if (parsed.diverse) set(d, "diverse", Ref::borrow(Py_True));
    if (parsed.limit) set(d, "limit", created(PyLong_FromUnsignedLongLong(*parsed.limit)));
    if (parsed.like) {
        Ref list = created(PyList_New(0));
        for (const std::string& piece : *parsed.like)
            if (PyList_Append(list.get(), new_str(piece).get()) < 0) throw ErrorSet{};
        set(d, "like", std::move(list));
    }
    if (parsed.trajectory_from) set(d, "trajectory_from", optional_str(parsed.trajectory_from));
    if (parsed.trajectory_to) set(d, "trajectory_to", optional_str(parsed.trajectory_to));
    if (parsed.local_communities) set(d, "local_communities", Ref::borrow(Py_True));
    return dict;
}

}  // namespace

const EntryDef parse_modifiers_def{
    "parse_modifiers",
    reinterpret_cast<PyCFunctionFast>(reinterpret_cast<void (*)()>(&call_frame<parse_modifiers_body>)),
    "parse_modifiers(modifier_str=None)\n--\n\n"
    "Parse a modifier string into modulation parameters.\n\n"
    "Returns a dict with keys: recent, recent_days, unlike, diverse, limit,\n"
    "like, trajectory_from, trajectory_to, local_communities.",
};

}  // namespace quorvel::py
