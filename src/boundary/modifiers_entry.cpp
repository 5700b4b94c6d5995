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

Ref optional_str(const std::optional<std::string>& value) {
    return value ? new_str(*value) : Ref::borrow(Py_None);
}

Ref flag(bool value) { return Ref::borrow(value ? Py_True : Py_False); }

// The keys, made once per process: a key is looked up by every call.
PyObject* key(int index) {
    static constexpr const char* names[] = {"recent", "recent_days", "unlike", "diverse", "limit", "like",
                                            "trajectory_from", "trajectory_to", "local_communities"};
    static PyObject* keys[9] = {};
    if (keys[index] == nullptr) keys[index] = created(PyUnicode_InternFromString(names[index])).release();
    return keys[index];
}

Ref parse_modifiers_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const Bound<1> bound(signature, args, nargs, kwnames);
    std::optional<std::string_view> text;
    bound.into(signature.position("modifier_str"), text, to_text);

    // Parsed first, then every key inserted once, in its fixed order, with its final value: the
    // same dict as inserting the defaults and replacing them, without the second insertions.
    const Modifiers parsed = text ? parse_modifier_text(*text) : Modifiers{};
    Ref like = Ref::borrow(Py_None);
    if (parsed.like) {
        like = created(PyList_New(static_cast<Py_ssize_t>(parsed.like->size())));
        for (std::size_t i = 0; i < parsed.like->size(); ++i)
            PyList_SET_ITEM(like.get(), static_cast<Py_ssize_t>(i), new_str((*parsed.like)[i]).release());
    }
    Ref values[9] = {
        flag(parsed.recent),
        parsed.recent_days ? created(PyLong_FromLongLong(*parsed.recent_days)) : Ref::borrow(Py_None),
        optional_str(parsed.unlike),
        flag(parsed.diverse),
        parsed.limit ? created(PyLong_FromUnsignedLongLong(*parsed.limit)) : Ref::borrow(Py_None),
        std::move(like),
        optional_str(parsed.trajectory_from),
        optional_str(parsed.trajectory_to),
        flag(parsed.local_communities),
    };
    Ref dict = created(PyDict_New());
    for (int i = 0; i < 9; ++i)
        if (PyDict_SetItem(dict.get(), key(i), values[i].get()) < 0) throw ErrorSet{};
    return dict;
}

}  // namespace

constinit const EntryDef parse_modifiers_def = entry_def<parse_modifiers_body>(
    signature,
    "parse_modifiers(modifier_str=None)\n--\n\n"
    "Parse a modifier string into modulation parameters.\n\n"
    "Returns a dict with keys: recent, recent_days, unlike, diverse, limit,\n"
    "like, trajectory_from, trajectory_to, local_communities.");

}  // namespace quorvel::py
