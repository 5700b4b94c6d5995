// Conversion of argument values, with every refusal's exception and message.
#include "boundary/convert.hpp"

#include <string>

#include "boundary/numpy_api.hpp"
#include "core/failure.hpp"

namespace quorvel::py {
namespace {

[[noreturn, gnu::cold]] void mismatch(PyObject* obj, const char* target) {
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

// The UTF-8 form of a str (or subclass), or the host's UnicodeEncodeError.
std::string_view utf8_of(PyObject* str) {
    Py_ssize_t len = 0;
    const char* text = PyUnicode_AsUTF8AndSize(str, &len);
    if (text == nullptr) throw ErrorSet{};
    return {text, static_cast<std::size_t>(len)};
}

void check_text_item(PyObject* item) {
    // An ASCII str's UTF-8 form is its own data: nothing to encode or cache.
    if (PyUnicode_CheckExact(item) && PyUnicode_IS_COMPACT_ASCII(item)) return;
    if (!PyUnicode_Check(item)) mismatch(item, "PyString");
    utf8_of(item);  // caches the UTF-8 form in the str, so later reads cannot fail
}

// Lists of a million identifiers are common: reading each item's header is a cache miss, so
// the walks below ask for items this far ahead.
constexpr Py_ssize_t prefetch_distance = 16;

// Walks `obj` with the iterator protocol, handing each item to `take` (which may throw).
template <class Take>
void for_each_item(PyObject* obj, Take&& take) {
    Ref iter = Ref::checked(PyObject_GetIter(obj));
    while (true) {
        Ref item = Ref::steal(PyIter_Next(iter.get()));
        if (!item) {
            if (PyErr_Occurred()) throw ErrorSet{};
            return;
        }
        take(std::move(item));
    }
}

void check_sequence(PyObject* obj) {
    if (PyUnicode_Check(obj)) throw Raise{PyExc_TypeError, "Can't extract `str` to `Vec`"};
    if (!PySequence_Check(obj)) mismatch(obj, "Sequence");
}

// Room to reserve; a failing length is not an error.
std::size_t size_hint(PyObject* obj) {
    const Py_ssize_t n = PySequence_Size(obj);
    if (n < 0) {
        PyErr_Clear();
        return 0;
    }
    return static_cast<std::size_t>(n);
}

template <class View>
ArrayArg<View> to_array(PyObject* obj, int dims, int type_number) {
    const NumpyApi& api = numpy_api();
    if (!PyObject_TypeCheck(obj, api.array_type)) mismatch(obj, "PyArray<T, D>");
    const auto* fields = reinterpret_cast<const NumpyArrayFields*>(obj);
    if (fields->nd != dims) mismatch(obj, "PyArray<T, D>");
    Ref expected = Ref::checked(api.descr_from_type(type_number));
    if (fields->descr != expected.get() && !api.equiv_types(fields->descr, expected.get()))
        mismatch(obj, "PyArray<T, D>");

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

std::uint64_t to_u64(PyObject* obj) {
    if (PyLong_Check(obj)) return read_u64(obj);
    Ref index = Ref::checked(PyNumber_Index(obj));
    return read_u64(index.get());
}

double to_double(PyObject* obj) {
    if (PyFloat_CheckExact(obj)) return PyFloat_AS_DOUBLE(obj);
    const double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) throw ErrorSet{};
    return value;
}

float to_float32(PyObject* obj) { return static_cast<float>(to_double(obj)); }

bool to_bool(PyObject* obj) {
    if (obj == Py_True) return true;
    if (obj == Py_False) return false;
    // NumPy's boolean scalar, recognised by its type's module and name.
    PyTypeObject* type = Py_TYPE(obj);
    Ref module = Ref::steal(PyType_GetModuleName(type));
    Ref name = module ? Ref::steal(PyType_GetName(type)) : Ref();
    if (!module || !name) {
        PyErr_Clear();
        mismatch(obj, "PyBool");
    }
    if (PyUnicode_CompareWithASCIIString(module.get(), "numpy") != 0 ||
        (PyUnicode_CompareWithASCIIString(name.get(), "bool_") != 0 &&
         PyUnicode_CompareWithASCIIString(name.get(), "bool") != 0))
        mismatch(obj, "PyBool");
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

std::string_view to_text(PyObject* obj) {
    if (!PyUnicode_Check(obj)) mismatch(obj, "PyString");
    return utf8_of(obj);
}

std::string_view TextSequence::text(std::size_t i) const {
    Py_ssize_t len = 0;
    // Every item was encoded during conversion; the str caches that form.
    const char* data = PyUnicode_AsUTF8AndSize(PyTuple_GET_ITEM(items_.get(), i), &len);
    return {data, static_cast<std::size_t>(len)};
}

TextSequence to_text_sequence(PyObject* obj) {
    check_sequence(obj);
    TextSequence seq;
    if (PyTuple_CheckExact(obj)) {
        // A tuple cannot change: holding it is holding its items.
        seq.items_ = Ref::borrow(obj);
        const Py_ssize_t n = PyTuple_GET_SIZE(obj);
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (i + prefetch_distance < n) __builtin_prefetch(PyTuple_GET_ITEM(obj, i + prefetch_distance));
            check_text_item(PyTuple_GET_ITEM(obj, i));
        }
        return seq;
    }
    if (PyList_CheckExact(obj)) {
        // Iterating an exact list yields its items in order; the tuple holds them for the call.
        // Checking an item runs no Python code, so the list cannot change under the walk.
        const Py_ssize_t n = PyList_GET_SIZE(obj);
        seq.items_ = Ref::checked(PyTuple_New(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (i + prefetch_distance < n) __builtin_prefetch(PyList_GET_ITEM(obj, i + prefetch_distance));
            PyObject* item = PyList_GET_ITEM(obj, i);
            PyTuple_SET_ITEM(seq.items_.get(), i, Py_NewRef(item));
            check_text_item(item);
        }
        return seq;
    }
    size_hint(obj);  // asked as any sequence conversion does; a list grows as needed anyway
    Ref items = Ref::checked(PyList_New(0));
    for_each_item(obj, [&](Ref item) {
        check_text_item(item.get());
        if (PyList_Append(items.get(), item.get()) < 0) throw ErrorSet{};
    });
    seq.items_ = Ref::checked(PyList_AsTuple(items.get()));
    return seq;
}

std::vector<std::uint64_t> to_u64_sequence(PyObject* obj) {
    check_sequence(obj);
    std::vector<std::uint64_t> out;
    out.reserve(std::min<std::size_t>(size_hint(obj), std::size_t{1} << 20));  // a length may overstate
    for_each_item(obj, [&](Ref item) { out.push_back(to_u64(item.get())); });
    return out;
}

IdMap to_id_map(PyObject* obj, bool resolvable) {
    if (!PyDict_Check(obj)) mismatch(obj, "PyDict");
    IdMap map;
    const Py_ssize_t size = PyDict_GET_SIZE(obj);
    bool plain = true;  // every key an exact str and every value an exact int so far
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    // A second cursor runs ahead only to prefetch keys and values (a stale pointer is harmless
    // to prefetch).
    Py_ssize_t ahead = 0;
    PyObject* ahead_key = nullptr;
    PyObject* ahead_value = nullptr;
    for (Py_ssize_t i = 0; i < prefetch_distance && PyDict_Next(obj, &ahead, &ahead_key, &ahead_value); ++i) {}
    while (true) {
        const Py_ssize_t entry_pos = pos;
        if (!PyDict_Next(obj, &pos, &key, &value)) break;
        if (PyDict_Next(obj, &ahead, &ahead_key, &ahead_value)) {
            __builtin_prefetch(ahead_key);
            __builtin_prefetch(ahead_value);
        }
        if (!resolvable && PyUnicode_CheckExact(key) && PyUnicode_IS_COMPACT_ASCII(key) &&
            PyLong_CheckExact(value) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(value)) &&
            PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(value)) >= 0)
            continue;  // the common entry: nothing to encode, a small non-negative int
        // Held for the entry: converting a value may run Python code that drops it from the dict.
        Ref held_key = Ref::borrow(key), held_entry_value = Ref::borrow(value);
        const std::string_view text = to_text(key);
        if (resolvable && plain && !(PyUnicode_CheckExact(key) && PyLong_CheckExact(value))) {
            // Fall back to a table of the UTF-8 forms, replaying the entries already walked before
            // this value's conversion can run Python code that changes them.
            plain = false;
            Py_ssize_t replay = 0;
            PyObject* k = nullptr;
            PyObject* v = nullptr;
            while (replay < entry_pos && PyDict_Next(obj, &replay, &k, &v))
                map.table_.insert_or_assign(std::string(utf8_of(k)), read_u64(v));
        }
        std::uint64_t row;
        if (PyLong_CheckExact(value)) {
            row = read_u64(value);
        } else {
            Ref held_value = Ref::borrow(value);
            row = to_u64(held_value.get());
            if (PyDict_GET_SIZE(obj) != size) fail("dictionary changed size during iteration");
            Py_ssize_t check = entry_pos;
            PyObject* now_key = nullptr;
            PyObject* now_value = nullptr;
            if (!PyDict_Next(obj, &check, &now_key, &now_value) || now_key != held_key.get())
                fail("dictionary keys changed during iteration");
        }
        if (resolvable && !plain) map.table_.insert_or_assign(std::string(text), row);
    }
    // A copy, so that Python code run by later conversions cannot change what lookups see.
    if (resolvable && plain) map.snapshot_ = Ref::checked(PyDict_Copy(obj));
    return map;
}

std::optional<std::uint64_t> IdMap::find(PyObject* id) const {
    if (!snapshot_) {
        const auto found = table_.find(std::string(utf8_of(id)));
        if (found == table_.end()) return std::nullopt;
        return found->second;
    }
    // A str subclass may define its own hashing and equality: look it up as a plain str.
    Ref exact = PyUnicode_CheckExact(id) ? Ref::borrow(id) : Ref::checked(PyUnicode_FromObject(id));
    PyObject* value = PyDict_GetItemWithError(snapshot_.get(), exact.get());
    if (value == nullptr) {
        if (PyErr_Occurred()) throw ErrorSet{};
        return std::nullopt;
    }
    return read_u64(value);
}

std::vector<std::uint64_t> resolve_rows(const TextSequence& ids, const IdMap& map) {
    std::vector<std::uint64_t> rows;
    rows.reserve(ids.size());
    for (std::size_t i = 0; i < ids.size(); ++i)
        if (const auto row = map.find(PyTuple_GET_ITEM(ids.tuple(), i))) rows.push_back(*row);
    return rows;
}

ArrayArg<FloatMatrix> to_float_matrix(PyObject* obj) { return to_array<FloatMatrix>(obj, 2, npy_float32); }
ArrayArg<FloatVector> to_float_vector(PyObject* obj) { return to_array<FloatVector>(obj, 1, npy_float32); }
ArrayArg<DoubleVector> to_double_vector(PyObject* obj) { return to_array<DoubleVector>(obj, 1, npy_float64); }
ArrayArg<ByteVector> to_bool_vector(PyObject* obj) { return to_array<ByteVector>(obj, 1, npy_bool); }

}  // namespace quorvel::py
