// Table-driven binding of fast-call arguments to parameters, and the rule that names the
// parameter in a conversion TypeError. Every count and message derives from the Signature.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <utility>

#include "boundary/ref.hpp"

namespace quorvel::py {

// One static description per function: its name, its parameters in order, and how many of the
// leading ones are required. Every parameter may be given by position or by keyword.
template <std::size_t N>
struct Signature {
    const char* name;
    std::array<const char*, N> params;
    std::size_t required;
};

// Slot i holds the object given for parameter i (borrowed), or null when it was omitted.
template <std::size_t N>
using Slots = std::array<PyObject*, N>;

void bind_arguments(const char* name, std::span<const char* const> params, std::size_t required,
                    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots);

template <std::size_t N>
Slots<N> bind(const Signature<N>& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Slots<N> slots{};
    bind_arguments(sig.name, sig.params, sig.required, args, nargs, kwnames, slots.data());
    return slots;
}

// Turns a failed conversion's TypeError into "argument '<param>': <message>"; any other
// exception goes through unchanged. Called from the catch handlers of convert_param.
[[noreturn]] void rethrow_named(const char* param);

// Runs one conversion and names its parameter in a TypeError it raises.
template <class Convert>
auto convert_param(const char* param, Convert&& convert) -> decltype(convert()) {
    try {
        return std::forward<Convert>(convert)();
    } catch (const ErrorSet&) {
        rethrow_named(param);
    } catch (const Raise&) {
        rethrow_named(param);
    }
}

// Converts slot `index` of `slots` with `convert`, naming the parameter from the signature.
template <std::size_t N, class Convert>
auto convert_slot(const Signature<N>& sig, const Slots<N>& slots, std::size_t index, Convert&& convert) {
    return convert_param(sig.params[index], [&] { return convert(slots[index]); });
}

}  // namespace quorvel::py
