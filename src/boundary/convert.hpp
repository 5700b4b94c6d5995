// Conversion of Python argument values to native values, one function per kind: the scalars, the
// arrays and the sequence of unsigned integers here, identifier lists in id_lists.hpp, the
// identifier map in id_map.hpp. Each returns the native value or throws (Raise / ErrorSet); the
// binder adds the parameter's name.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "boundary/caller_code.hpp"
#include "boundary/ref.hpp"
#include "core/views.hpp"

namespace quorvel::py {

std::uint64_t to_u64(PyObject* obj);
double to_double(PyObject* obj);
float to_float32(PyObject* obj);
bool to_bool(PyObject* obj);
// A read-only view of the str's own UTF-8 form, valid while the str lives.
std::string_view to_text(PyObject* obj);

std::vector<std::uint64_t> to_u64_sequence(PyObject* obj);

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

// ---------------------------------------------------------------------------------------------
// The pieces that the conversions of every kind share.

// The refusal "'<type>' object cannot be converted to '<target>'".
[[noreturn, gnu::cold]] void refuse(PyObject* obj, const char* target);

// An int's value in 0..2^64-1, or the host's OverflowError.
std::uint64_t read_u64(PyObject* integer);

// The UTF-8 form of a str (or subclass), or the host's UnicodeEncodeError.
std::string_view utf8_of(PyObject* str);

// A sequence that is not a str, or its refusal.
void check_sequence(PyObject* obj);

// Room to reserve for a sequence's items; a failing length is not an error.
std::size_t size_hint(PyObject* obj);

// Walks `obj` with the iterator protocol, handing each item to `take` (which may throw).
template <class Take>
void for_each_item(PyObject* obj, Take&& take) {
    Ref iter = Ref::checked(run_caller_code([&] { return PyObject_GetIter(obj); }));
    while (true) {
        Ref item = Ref::steal(run_caller_code([&] { return PyIter_Next(iter.get()); }));
        if (!item) {
            if (PyErr_Occurred()) throw ErrorSet{};
            return;
        }
        take(std::move(item));
    }
}

}  // namespace quorvel::py
