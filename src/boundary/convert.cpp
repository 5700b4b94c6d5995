// Conversion of scalars and arrays, and the pieces every conversion shares, with every refusal's
// exception and message.
#include "boundary/convert.hpp"

#include <algorithm>
#include <string>

#include "boundary/numpy_api.hpp"

namespace quorvel::py {

void refuse(PyObject* obj, const char* target) {
    Ref qualname = Ref::steal(PyType_GetQualName(Py_TYPE(obj)));
    const char* name = qualname ? PyUnicode_AsUTF8(qualname.get()) : nullptr;
    if (name == nullptr) PyErr_Clear();
    throw Raise{PyExc_TypeError, std::string("'") + (name ? name : "<failed to extract type name>") +
                                     "' object cannot be converted to '" + target + "'"};
}

std::uint64_t read_u64(PyObject* integer) {
    const unsigned long long value = PyLong_AsUnsignedLongLong(integer);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw ErrorSet{};
    return value;
}

std::string_view utf8_of(PyObject* str) {
    Py_ssize_t len = 0;
    const char* text = PyUnicode_AsUTF8AndSize(str, &len);
    if (text == nullptr) throw ErrorSet{};
    return {text, static_cast<std::size_t>(len)};
}

void check_sequence(PyObject* obj) {
    if (PyUnicode_Check(obj)) throw Raise{PyExc_TypeError, "Can't extract `str` to `Vec`"};
    if (!PySequence_Check(obj)) refuse(obj, "Sequence");
}

std::size_t size_hint(PyObject* obj) {
    const Py_ssize_t n = run_caller_code([&] { return PySequence_Size(obj); });  // a __len__ of the caller's
    if (n < 0) {
        PyErr_Clear();
        return 0;
    }
    return static_cast<std::size_t>(n);
}

// ---------------------------------------------------------------------------------------------
// Scalars.

std::uint64_t to_u64(PyObject* obj) {
    if (PyLong_Check(obj)) return read_u64(obj);
    Ref index = Ref::checked(run_caller_code([&] { return PyNumber_Index(obj); }));
    return read_u64(index.get());
}

double to_double(PyObject* obj) {
    if (PyFloat_CheckExact(obj)) return PyFloat_AS_DOUBLE(obj);
    // A float subclass is read directly and an exact int converted; anything else may have a
    // __float__ or __index__ of its own.
    const bool plain = PyFloat_Check(obj) || PyLong_CheckExact(obj);
    const double value = plain ? PyFloat_AsDouble(obj) : run_caller_code([&] { return PyFloat_AsDouble(obj); });
    if (value == -1.0 && PyErr_Occurred()) throw ErrorSet{};
    return value;
}

float to_float32(PyObject* obj) { return static_cast<float>(to_double(obj)); }

namespace {

// NumPy's boolean scalar, recognised by its type's module and name, read through its type's
// truth-value slot; anything else is refused.
[[gnu::cold]] bool numpy_bool_value(PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
    Ref module = Ref::steal(PyType_GetModuleName(type));
    Ref name = module ? Ref::steal(PyType_GetName(type)) : Ref();
    if (!module || !name) {
        PyErr_Clear();
        refuse(obj, "PyBool");
    }
    if (PyUnicode_CompareWithASCIIString(module.get(), "numpy") != 0 ||
        (PyUnicode_CompareWithASCIIString(name.get(), "bool_") != 0 &&
         PyUnicode_CompareWithASCIIString(name.get(), "bool") != 0))
        refuse(obj, "PyBool");
    inquiry nb_bool = type->tp_as_number ? type->tp_as_number->nb_bool : nullptr;
    if (nb_bool == nullptr) {
        Ref type_text = Ref::checked(PyObject_Str(reinterpret_cast<PyObject*>(type)));
        PyErr_Format(PyExc_TypeError, "object of type '%U' does not define a '__bool__' conversion",
                     type_text.get());
        throw ErrorSet{};
    }
    const int truth = nb_bool(obj);
    if (truth < 0) throw ErrorSet{};
    return truth != 0;
}

}  // namespace

bool to_bool(PyObject* obj) {
    if (obj == Py_True) return true;
    if (obj == Py_False) return false;
    return run_caller_code([&] { return numpy_bool_value(obj); });  // the type's own __bool__ or name
}

std::string_view to_text(PyObject* obj) {
    if (!PyUnicode_Check(obj)) refuse(obj, "PyString");
    return utf8_of(obj);
}

std::vector<std::uint64_t> to_u64_sequence(PyObject* obj) {
    check_sequence(obj);
    std::vector<std::uint64_t> out;
    out.reserve(std::min<std::size_t>(size_hint(obj), std::size_t{1} << 20));  // a length may overstate
    for_each_item(obj, [&](Ref item) { out.push_back(to_u64(item.get())); });
    return out;
}

// ---------------------------------------------------------------------------------------------
// Arrays.

namespace {

template <class View>
ArrayArg<View> to_array(PyObject* obj, int dims, int type_number) {
    const NumpyApi& api = numpy_api();
    if (!PyObject_TypeCheck(obj, api.array_type)) refuse(obj, "PyArray<T, D>");
    const auto* fields = reinterpret_cast<const NumpyArrayFields*>(obj);
    if (fields->nd != dims) refuse(obj, "PyArray<T, D>");
    Ref expected = Ref::checked(api.descr_from_type(type_number));
    if (fields->descr != expected.get() && !api.equiv_types(fields->descr, expected.get()))
        refuse(obj, "PyArray<T, D>");

    ArrayArg<View> arg;
    arg.array = Ref::borrow(obj);
    arg.view.data = reinterpret_cast<const std::byte*>(fields->data);
    if constexpr (requires { arg.view.rows; }) {
        arg.view.rows = static_cast<std::size_t>(fields->dimensions[0]);
        arg.view.cols = static_cast<std::size_t>(fields->dimensions[1]);
        arg.view.row_stride = fields->strides[0];
        arg.view.col_stride = fields->strides[1];
    } else {
        arg.view.len = static_cast<std::size_t>(fields->dimensions[0]);
        arg.view.stride = fields->strides[0];
    }
    return arg;
}

}  // namespace

ArrayArg<FloatMatrix> to_float_matrix(PyObject* obj) { return to_array<FloatMatrix>(obj, 2, npy_float32); }
ArrayArg<FloatVector> to_float_vector(PyObject* obj) { return to_array<FloatVector>(obj, 1, npy_float32); }
ArrayArg<DoubleVector> to_double_vector(PyObject* obj) { return to_array<DoubleVector>(obj, 1, npy_float64); }
ArrayArg<ByteVector> to_bool_vector(PyObject* obj) { return to_array<ByteVector>(obj, 1, npy_bool); }

}  // namespace quorvel::py
