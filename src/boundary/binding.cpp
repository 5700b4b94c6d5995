// Argument binding with its TypeError messages, and the naming of conversion TypeErrors.
#include "boundary/binding.hpp"

#include <cstring>
#include <string>
#include <vector>

namespace quorvel::py {
namespace {

[[noreturn, gnu::cold]] void type_error(const std::string& message) {
    throw Raise{PyExc_TypeError, message};
}

const char* was_were(Py_ssize_t n) { return n == 1 ? "was" : "were"; }

[[noreturn, gnu::cold]] void too_many(const char* name, std::size_t n_params, std::size_t required,
                                      Py_ssize_t nargs) {
    std::string fn = std::string(name) + "()";
    if (required == n_params) {
        type_error(fn + " takes " + std::to_string(n_params) + " positional arguments but " +
                   std::to_string(nargs) + " " + was_were(nargs) + " given");
    }
    type_error(fn + " takes from " + std::to_string(required) + " to " + std::to_string(n_params) +
               " positional arguments but " + std::to_string(nargs) + " " + was_were(nargs) + " given");
}

[[noreturn, gnu::cold]] void unexpected_keyword(const char* name, PyObject* keyword) {
    // %U keeps the keyword exactly as the caller wrote it, even when it has no UTF-8 form.
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", name, keyword);
    throw ErrorSet{};
}

[[noreturn, gnu::cold]] void multiple_values(const char* name, const char* param) {
    type_error(std::string(name) + "() got multiple values for argument '" + param + "'");
}

[[noreturn, gnu::cold]] void missing(const char* name, const std::vector<const char*>& names) {
    std::string list;
    const std::size_t count = names.size();
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) list += (i + 1 < count) ? ", " : (count > 2 ? ", and " : " and ");
        list += "'";
        list += names[i];
        list += "'";
    }
    type_error(std::string(name) + "() missing " + std::to_string(count) + " required positional " +
               (count == 1 ? "argument" : "arguments") + ": " + list);
}

// The parameter whose name equals the keyword byte for byte, or params.size(). A keyword without a
// UTF-8 form names no parameter.
std::size_t match_keyword(std::span<const char* const> params, PyObject* keyword) {
    Py_ssize_t len = 0;
    const char* text = PyUnicode_AsUTF8AndSize(keyword, &len);
    if (text == nullptr) {
        PyErr_Clear();
        return params.size();
    }
    for (std::size_t p = 0; p < params.size(); ++p) {
        if (std::strlen(params[p]) == static_cast<std::size_t>(len) &&
            std::memcmp(params[p], text, static_cast<std::size_t>(len)) == 0)
            return p;
    }
    return params.size();
}

}  // namespace

void bind_arguments(const char* name, std::span<const char* const> params, std::size_t required,
                    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) {
    const std::size_t n_params = params.size();
    // 1. Surplus positional arguments fail before any keyword is looked at.
    if (static_cast<std::size_t>(nargs) > n_params) too_many(name, n_params, required, nargs);
    // 2. Positional arguments fill the leading slots.
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
    // 3. Keywords, in the order given, matched byte for byte against the parameter names.
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        const std::size_t match = match_keyword(params, keyword);
        if (match == n_params) unexpected_keyword(name, keyword);
        if (slots[match] != nullptr) multiple_values(name, params[match]);
        slots[match] = args[nargs + k];
    }
    // 4. Required parameters left empty are all named at once.
    if (static_cast<std::size_t>(nargs) < required) {
        std::vector<const char*> absent;
        for (std::size_t p = 0; p < required; ++p)
            if (slots[p] == nullptr) absent.push_back(params[p]);
        if (!absent.empty()) missing(name, absent);
    }
}

void rethrow_named(const char* param) {
    try {
        throw;
    } catch (const Raise& r) {
        if (r.type != PyExc_TypeError) throw;
        throw Raise{PyExc_TypeError, std::string("argument '") + param + "': " + r.message};
    } catch (const ErrorSet&) {
        PyObject* raised = PyErr_GetRaisedException();
        if (raised == nullptr || Py_TYPE(raised) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
            PyErr_SetRaisedException(raised);
            throw;
        }
        Ref error = Ref::steal(raised);
        Ref text = Ref::steal(PyObject_Str(error.get()));
        if (!text) {
            PyErr_WriteUnraisable(error.get());
            Ref type_name = Ref::steal(PyType_GetName(Py_TYPE(error.get())));
            text = type_name ? Ref::steal(PyUnicode_FromFormat("<unprintable %U object>", type_name.get()))
                             : Ref::steal(PyUnicode_FromString("<unprintable object>"));
            PyErr_Clear();
            if (!text) throw;
        }
        Ref message = Ref::checked(PyUnicode_FromFormat("argument '%s': %U", param, text.get()));
        Ref renamed = Ref::checked(PyObject_CallOneArg(PyExc_TypeError, message.get()));
        if (PyObject* cause = PyException_GetCause(error.get())) PyException_SetCause(renamed.get(), cause);
        PyErr_SetRaisedException(renamed.release());
        throw;
    }
}

}  // namespace quorvel::py
