// Conversion of Python argument values to native values, one function per kind. Each returns
// the native value or throws (Raise / ErrorSet); the binder adds the parameter's name.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "boundary/ref.hpp"
#include "core/views.hpp"

namespace quorvel::py {

std::uint64_t to_u64(PyObject* obj);
double to_double(PyObject* obj);
float to_float32(PyObject* obj);
bool to_bool(PyObject* obj);
// A read-only view of the str's own UTF-8 form, valid while the str lives.
std::string_view to_text(PyObject* obj);

// Conversions that may run Python code (a caller's __index__, __float__, __len__ or iterator, an
// import) call this first. An exact list of identifiers is read in place, without a reference to
// each item: the list holds them, and only Python code can change it. So before any Python code
// runs during a call, every list read in place so far is copied into a tuple, which then holds
// its items as they were when they were checked. Throws ErrorSet (MemoryError) if a copy fails.
void before_python_code();

// A sequence of str, checked item by item in iteration order; each item's UTF-8 form is read in
// place. The caller's tuple is held as it is and an exact list is read in place (see
// before_python_code); any other sequence is copied into a tuple.
class TextSequence {
public:
    TextSequence();
    TextSequence(TextSequence&&) noexcept;
    TextSequence& operator=(TextSequence&&) noexcept;
    ~TextSequence();

    std::size_t size() const { return size_; }
    PyObject* item(std::size_t i) const;  // borrowed
    std::string_view text(std::size_t i) const;

    struct Lent;  // a list read in place, registered until the call ends or it is copied

private:
    friend TextSequence to_text_sequence(PyObject* obj);
    Ref items_;                    // a tuple of the items, unless they are lent
    std::unique_ptr<Lent> lent_;   // the caller's list, read in place
    std::size_t size_ = 0;
};
TextSequence to_text_sequence(PyObject* obj);

std::vector<std::uint64_t> to_u64_sequence(PyObject* obj);

// A dict of str to unsigned integer. Every entry is always checked, in the dict's order. When
// `resolvable` is asked for, identifier lists can then be resolved through it: by lookups in the
// dict itself, watched for changes (or in a copy of it), when every key is an exact str and every
// value an exact int (the common case, where str equality is byte equality of the UTF-8 forms),
// else through a table built during the walk.
class IdMap {
public:
    std::optional<std::uint64_t> find(PyObject* id) const;

private:
    friend IdMap to_id_map(PyObject* obj, bool resolvable);
    Ref snapshot_;
    std::unordered_map<std::string, std::uint64_t> table_;
};
IdMap to_id_map(PyObject* obj, bool resolvable);

// Row indices of the identifiers in `ids`, in order: unknown ones left out, duplicates kept.
std::vector<std::uint64_t> resolve_rows(const TextSequence& ids, const IdMap& map);

// A NumPy array of one element type and number of dimensions, read in place. The reference
// keeps the array alive, not its buffer: Python code can still replace that (__setstate__,
// resize(refcheck=False)) or change the shape, strides or dtype, so the entries convert each
// array again after their last conversion that can run Python code, and read that view.
template <class View>
struct ArrayArg {
    View view;
    Ref array;
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
