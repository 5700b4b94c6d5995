// Table-driven binding of fast-call arguments to parameters, and the rule that names the
// parameter in a conversion TypeError. Every count and message derives from the Signature.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string_view>
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

    // The position of the parameter `param`; a name that is not a parameter does not compile.
    consteval std::size_t position(std::string_view param) const {
        for (std::size_t i = 0; i < N; ++i)
            if (std::string_view(params[i]) == param) return i;
        throw "not a parameter of this function";
    }
};

// Slot i holds the object given for parameter i (borrowed), or null when it was omitted.
template <std::size_t N>
using Slots = std::array<PyObject*, N>;

void bind_arguments(const char* name, std::span<const char* const> params, std::size_t required,
                    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots);

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

// The arguments of one call bound to their parameters, converted one parameter at a time. Each
// conversion names its parameter in a TypeError it raises.
template <std::size_t N>
class Bound {
public:
    Bound(const Signature<N>& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
        : signature_(signature) {
        bind_arguments(signature.name, signature.params, signature.required, args, nargs, kwnames,
                       slots_.data());
    }

    // Given, and not None.
    bool given(std::size_t index) const { return slots_[index] != nullptr && slots_[index] != Py_None; }

    // The object given for parameter `index` (borrowed), or null when it was omitted.
    PyObject* object(std::size_t index) const { return slots_[index]; }

    // The value of parameter `index` (which must not be omitted) converted by `convert`.
    template <class Convert>
    auto value(std::size_t index, Convert&& convert) const {
        return convert_param(signature_.params[index], [&] { return convert(slots_[index]); });
    }

    // Converts into `target` unless the argument was omitted: the target's own initialiser is the
    // default. None is an ordinary value here, which the conversion may refuse.
    template <class T, class Convert>
    void into(std::size_t index, T& target, Convert&& convert) const {
        if (slots_[index] != nullptr) target = value(index, convert);
    }

    // Converts into `target` unless the argument was omitted or None, which leave it empty.
    template <class T, class Convert>
    void into(std::size_t index, std::optional<T>& target, Convert&& convert) const {
        if (given(index)) target = value(index, convert);
    }

private:
    const Signature<N>& signature_;
    Slots<N> slots_{};
};

}  // namespace quorvel::py
