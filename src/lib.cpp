// Module entry: PyInit__quorvel creates the module once per process, in the first interpreter
// that loads it, and registers the three functions with their documentation.
#include <atomic>
#include <cstdint>

#include "boundary/entries.hpp"
#include "core/failure.hpp"

namespace quorvel::py {
namespace {

std::atomic<std::int64_t> first_interpreter{-1};
PyObject* module_object = nullptr;

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_quorvel", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// Method definitions must outlive their function objects: static storage.
PyMethodDef method_defs[3];

void register_function(PyObject* module, PyMethodDef* def, const EntryDef& entry) {
    static PyObject* name_key = PyUnicode_InternFromString("__name__");
    static PyObject* all_key = PyUnicode_InternFromString("__all__");
    if (name_key == nullptr || all_key == nullptr) throw ErrorSet{};

    *def = {entry.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry.function)),
            METH_FASTCALL | METH_KEYWORDS, entry.doc};
    Ref module_name = Ref::checked(PyModule_GetNameObject(module));
    Ref function = Ref::checked(PyCMethod_New(def, module, module_name.get(), nullptr));
    Ref name = Ref::checked(PyObject_GetAttr(function.get(), name_key));
    if (!PyUnicode_Check(name.get())) {
        PyErr_SetString(PyExc_TypeError, "function __name__ must be a str");
        throw ErrorSet{};
    }
    PyObject* all_raw = nullptr;
    if (PyObject_GetOptionalAttr(module, all_key, &all_raw) < 0) throw ErrorSet{};
    Ref all = Ref::steal(all_raw);
    if (!all) {
        all = Ref::checked(PyList_New(0));
        if (PyObject_SetAttr(module, all_key, all.get()) < 0) throw ErrorSet{};
    }
    if (!PyList_Check(all.get())) {
        PyErr_SetString(PyExc_TypeError, "__all__ must be a list");
        throw ErrorSet{};
    }
    if (PyList_Append(all.get(), name.get()) < 0) {
        PyErr_Clear();
        fail("could not append __name__ to __all__");
    }
    if (PyObject_SetAttr(module, name.get(), function.get()) < 0) throw ErrorSet{};
}

Ref init_module() {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        throw ErrorSet{};
    }
    std::int64_t expected = -1;
    if (!first_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError,
                        "_quorvel does not yet support sub-interpreters: it can be loaded only once "
                        "per process, in the interpreter that first imported it");
        throw ErrorSet{};
    }
    if (module_object != nullptr) return Ref::borrow(module_object);

    Ref module = Ref::checked(PyModule_Create2(&module_def, 1013));
    register_function(module.get(), &method_defs[0], parse_modifiers_def);
    register_function(module.get(), &method_defs[1], score_candidates_def);
    register_function(module.get(), &method_defs[2], mmr_select_py_def);
    module_object = Ref::borrow(module.get()).release();  // kept for the life of the process
    return module;
}

}  // namespace
}  // namespace quorvel::py

PyMODINIT_FUNC PyInit__quorvel(void) {
    try {
        return quorvel::py::init_module().release();
    } catch (...) {
        quorvel::py::set_error_from_current_exception();
        return nullptr;
    }
}
