// The call frame: the only place that turns the module's C++ exceptions into Python exceptions.
// Every entry runs inside it; it is noexcept and returns a new reference or null.
#pragma once

#include "boundary/ref.hpp"

namespace quorvel::py {

using EntryBody = Ref (*)(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Sets the Python exception for the exception currently being handled. Must be called from
// inside a catch block.
void set_error_from_current_exception() noexcept;

template <EntryBody Body>
PyObject* call_frame(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept {
    try {
        // Converted arguments are locals of Body: they are released before control gets here,
        // on every path.
        return Body(args, nargs, kwnames).release();
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

}  // namespace quorvel::py
