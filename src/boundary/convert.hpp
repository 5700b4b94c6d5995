// Conversion of Python argument values to native values, one function per kind. Each returns
// the native value or throws (Raise / ErrorSet); the binder adds the parameter's name.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "boundary/ref.hpp"
#include "core/id_index.hpp"
#include "core/views.hpp"

namespace quorvel::py {

std::uint64_t to_u64(PyObject* obj);
double to_double(PyObject* obj);
float to_float32(PyObject* obj);
bool to_bool(PyObject* obj);
// A read-only view of the str's own UTF-8 form, valid while the str lives.
std::string_view to_text(PyObject* obj);

// A sequence of str, checked item by item in iteration order. Holds a tuple of the items, so
// the caller's container is not read again; each item's UTF-8 form is read in place.
class TextSequence {
public:
    std::size_t size() const { return static_cast<std::size_t>(PyTuple_GET_SIZE(items_.get())); }
    std::string_view text(std::size_t i) const;
    // One view per item, in order: for the identifier lists that the scoring resolves.
    std::vector<std::string_view> views() const;
    PyObject* tuple() const { return items_.get(); }

private:
    friend TextSequence to_text_sequence(PyObject* obj);
    Ref items_;
};
TextSequence to_text_sequence(PyObject* obj);

std::vector<std::uint64_t> to_u64_sequence(PyObject* obj);

// A dict of str to unsigned integer. Every entry is always checked in the dict's order; the
// lookup table is built only when `build_index` is true (it is needed only to resolve ids).
class IdMap {
public:
    const IdIndex* index() const { return built_ ? &index_ : nullptr; }

private:
    friend IdMap to_id_map(PyObject* obj, bool build_index);
    IdIndex index_;
    Ref keys_;  // keeps the str objects behind the index's keys alive
    bool built_ = false;
};
IdMap to_id_map(PyObject* obj, bool build_index);

// A NumPy array of one element type and number of dimensions, read in place.
template <class View>
struct ArrayArg {
    View view;
    Ref array;  // keeps the caller's buffer alive for the call
};
ArrayArg<FloatMatrix> to_float_matrix(PyObject* obj);
ArrayArg<FloatVector> to_float_vector(PyObject* obj);
ArrayArg<DoubleVector> to_double_vector(PyObject* obj);
ArrayArg<ByteVector> to_bool_vector(PyObject* obj);

// None or omitted gives nothing; anything else goes through `convert`.
template <class Convert>
auto optional_of(PyObject* obj, Convert&& convert) -> std::optional<decltype(convert(obj))> {
    if (obj == nullptr || obj == Py_None) return std::nullopt;
    return convert(obj);
}

}  // namespace quorvel::py
