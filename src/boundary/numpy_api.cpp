// Discovery of NumPy's C-API table through the capsule of its core multiarray module.
#include "boundary/numpy_api.hpp"

#include <string>

#include "boundary/caller_code.hpp"
#include "core/failure.hpp"

namespace quorvel::py {
namespace {

// Entries of NumPy's C-API table used by the module.
constexpr int api_array_type = 2;
constexpr int api_descr_from_type = 45;
constexpr int api_equiv_types = 182;

// "numpy._core" for NumPy 2 and later, "numpy.core" before.
Ref core_module_name() {
    Ref numpy = Ref::checked(PyImport_ImportModule("numpy"));
    Ref version = Ref::checked(PyObject_GetAttrString(numpy.get(), "__version__"));
    Ref lib = Ref::checked(PyImport_ImportModule("numpy.lib"));
    Ref parsed = Ref::checked(PyObject_CallMethod(lib.get(), "NumpyVersion", "O", version.get()));
    Ref major_obj = Ref::checked(PyObject_GetAttrString(parsed.get(), "major"));
    const long major = PyLong_AsLong(major_obj.get());
    if (major == -1 && PyErr_Occurred()) throw ErrorSet{};
    return Ref::checked(PyUnicode_FromString(major >= 2 ? "numpy._core" : "numpy.core"));
}

// "<type>: <value>" followed by the formatted traceback when one can be had.
std::string describe_pending_error() {
    Ref error = Ref::steal(PyErr_GetRaisedException());
    if (!error) return "unknown error";
    std::string out;
    Ref traceback_mod = Ref::steal(PyImport_ImportModule("traceback"));
    if (traceback_mod) {
        Ref lines = Ref::steal(PyObject_CallMethod(traceback_mod.get(), "format_exception", "O", error.get()));
        Ref empty = Ref::steal(PyUnicode_FromString(""));
        Ref joined = (lines && empty) ? Ref::steal(PyUnicode_Join(empty.get(), lines.get())) : Ref();
        if (joined) {
            Py_ssize_t len = 0;
            if (const char* text = PyUnicode_AsUTF8AndSize(joined.get(), &len)) out.assign(text, len);
        }
    }
    if (out.empty()) {
        Ref name = Ref::steal(PyType_GetQualName(Py_TYPE(error.get())));
        Ref text = Ref::steal(PyObject_Str(error.get()));
        const char* n = name ? PyUnicode_AsUTF8(name.get()) : nullptr;
        const char* t = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
        out = std::string(n ? n : "<unknown>") + ": " + (t ? t : "<unprintable>");
    }
    PyErr_Clear();
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

void** load_api_table() {
    Ref core = core_module_name();
    Ref multiarray_name = Ref::checked(PyUnicode_FromFormat("%U.multiarray", core.get()));
    Ref multiarray = Ref::checked(PyImport_Import(multiarray_name.get()));
    Ref capsule = Ref::checked(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API"));
    if (!PyCapsule_CheckExact(capsule.get())) {
        Ref qualname = Ref::steal(PyType_GetQualName(Py_TYPE(capsule.get())));
        const char* type_name = qualname ? PyUnicode_AsUTF8(qualname.get()) : nullptr;
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyCapsule'",
                     type_name ? type_name : "<failed to extract type name>");
        throw ErrorSet{};
    }
    void* table = PyCapsule_GetPointer(capsule.get(), PyCapsule_GetName(capsule.get()));
    if (table == nullptr) throw ErrorSet{};
    capsule.release();  // kept referenced for the life of the process: the table lives in it
    return static_cast<void**>(table);
}

}  // namespace

const NumpyApi& numpy_api() {
    static NumpyApi api{};
    static bool found = false;
    if (found) [[likely]] return api;
    void** table = nullptr;
    try {
        table = run_caller_code(load_api_table);  // the imports
    } catch (const ErrorSet&) {
        fail("Failed to access NumPy array API capsule: " + describe_pending_error());
    }
    if (!found) {  // a racing discovery (the imports above may switch threads) keeps the first
        api.array_type = static_cast<PyTypeObject*>(table[api_array_type]);
        api.descr_from_type = reinterpret_cast<PyObject* (*)(int)>(table[api_descr_from_type]);
        api.equiv_types = reinterpret_cast<unsigned char (*)(PyObject*, PyObject*)>(table[api_equiv_types]);
        found = true;
    }
    return api;
}

}  // namespace quorvel::py
