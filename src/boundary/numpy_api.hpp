// NumPy's C interface, found through its "_ARRAY_API" capsule at the first array conversion of
// the process (never at import) and kept for the life of the process.
#pragma once

#include "boundary/ref.hpp"

namespace quorvel::py {

// The parts of NumPy's array object that the module reads. This layout has been stable across
// NumPy 1.x and 2.x.
struct NumpyArrayFields {
    PyObject_HEAD
    char* data;
    int nd;
    Py_ssize_t* dimensions;
    Py_ssize_t* strides;
    PyObject* base;
    PyObject* descr;
    int flags;
};

enum NumpyTypeNumber : int { npy_bool = 0, npy_float32 = 11, npy_float64 = 12 };

struct NumpyApi {
    PyTypeObject* array_type;
    PyObject* (*descr_from_type)(int);
    unsigned char (*equiv_types)(PyObject*, PyObject*);
};

// Finds the API on first use; on failure raises the internal failure "Failed to access NumPy
// array API capsule: ..." and tries again on the next call.
const NumpyApi& numpy_api();

}  // namespace quorvel::py
