// The one owning reference type of the module, and the exceptions that carry Python failures
// through C++ code up to the call frame.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>
#include <utility>

namespace quorvel::py {

// A Python exception is already set in the interpreter; the call frame just returns null.
struct ErrorSet {};

// An exception to raise with a message, set by the call frame (or renamed by the binder).
struct Raise {
    PyObject* type;  // borrowed: one of the interpreter's built-in exception types
    std::string message;
};

// Move-only owner of one strong reference. Built only through steal() or borrow().
class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : obj_(other.release()) {}
    Ref& operator=(Ref&& other) noexcept {
        Ref(std::move(other)).swap(*this);
        return *this;
    }
    ~Ref() { Py_XDECREF(obj_); }

    // Takes over a new reference; null stays null.
    static Ref steal(PyObject* obj) noexcept { return Ref(obj); }
    // Adds a reference to a borrowed object.
    static Ref borrow(PyObject* obj) noexcept {
        Py_XINCREF(obj);
        return Ref(obj);
    }
    // Takes over the result of a C-API call that returns a new reference or null with an
    // exception set.
    static Ref checked(PyObject* obj) {
        if (obj == nullptr) throw ErrorSet{};
        return Ref(obj);
    }

    PyObject* get() const noexcept { return obj_; }
    PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
    explicit operator bool() const noexcept { return obj_ != nullptr; }
    void swap(Ref& other) noexcept { std::swap(obj_, other.obj_); }

private:
    explicit Ref(PyObject* obj) noexcept : obj_(obj) {}
    PyObject* obj_ = nullptr;
};

// Result objects (str, int, float, tuple, list, dict) whose creation failed: the interpreter's
// error is printed and the call ends with the internal failure "Python API call failed".
Ref created(PyObject* obj);

}  // namespace quorvel::py
