// Mapping of every failure kind to its Python exception, the internal-failure exception type and
// its report on standard error.
#include "boundary/call_frame.hpp"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>

#include "core/failure.hpp"

namespace quorvel::py {
namespace {

constexpr const char* internal_failure_doc =
    "Raised when the native code of a module fails internally while called from Python.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so that it will\n"
    "typically propagate all the way up the stack and end the interpreter.";

constexpr const char* generic_failure_message = "the module's native code failed without a message";

// Created at the first internal failure of the process and kept for its lifetime.
PyObject* internal_failure_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) {
        PyObject* made = PyErr_NewExceptionWithDoc("native_runtime.InternalFailure",
                                                   internal_failure_doc, PyExc_BaseException, nullptr);
        if (type == nullptr) type = made;  // keep the first if creation ran Python code
        else Py_XDECREF(made);
    }
    return type;
}

[[gnu::cold]] void raise_internal_failure(const std::string& text, const char* file, unsigned line) {
    const std::string& message = text.empty() ? std::string(generic_failure_message) : text;
    std::fprintf(stderr, "_quorvel: internal failure at %s:%u: %s\n", file ? file : "?", line,
                 message.c_str());
    std::fflush(stderr);
    PyObject* type = internal_failure_type();
    if (type == nullptr) {
        std::fprintf(stderr, "_quorvel: cannot create the internal-failure exception type; aborting\n");
        std::abort();
    }
    PyObject* msg = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                                         "replace");
    if (msg == nullptr) {
        std::fprintf(stderr, "_quorvel: cannot raise the internal-failure exception; aborting\n");
        std::abort();
    }
    PyErr_SetObject(type, msg);
    Py_DECREF(msg);
}

[[gnu::cold]] void raise_out_of_memory(const OutOfMemory& oom) {
    if (oom.bytes == static_cast<std::size_t>(-1)) {
        PyErr_Format(PyExc_MemoryError, "cannot allocate the %s: its size exceeds the address space",
                     oom.what);
    } else {
        PyErr_Format(PyExc_MemoryError, "cannot allocate %zu bytes for the %s", oom.bytes, oom.what);
    }
}

}  // namespace

Ref created(PyObject* obj) {
    if (obj == nullptr) [[unlikely]] {
        PyErr_Print();
        fail("Python API call failed");
    }
    return Ref::steal(obj);
}

void set_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (const ErrorSet&) {
        if (!PyErr_Occurred())
            raise_internal_failure("a Python error was reported but none was set", __FILE__, __LINE__);
    } catch (const Raise& r) {
        PyErr_SetString(r.type, r.message.c_str());
    } catch (const InvalidValue& v) {
        PyErr_SetString(PyExc_ValueError, v.message.c_str());
    } catch (const InternalFailure& f) {
        raise_internal_failure(f.message, f.file, f.line);
    } catch (const OutOfMemory& oom) {
        raise_out_of_memory(oom);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_internal_failure(e.what(), __FILE__, __LINE__);
    } catch (...) {
        raise_internal_failure("", __FILE__, __LINE__);
    }
}

}  // namespace quorvel::py
