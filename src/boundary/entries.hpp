// The three Python-facing functions, each wrapped in the call frame, with their documentation.
#pragma once

#include "boundary/binding.hpp"
#include "boundary/call_frame.hpp"
#include "boundary/ref.hpp"

namespace quorvel::py {

struct EntryDef {
    const char* name;
    PyCFunctionFastWithKeywords function;
    const char* doc;
};

// The definition of the entry that runs Body in the call frame, named by its signature.
template <EntryBody Body, std::size_t N>
constexpr EntryDef entry_def(const Signature<N>& signature, const char* doc) {
    return {signature.name, &call_frame<Body>, doc};
}

extern const EntryDef parse_modifiers_def;
extern const EntryDef score_candidates_def;
extern const EntryDef mmr_select_py_def;

}  // namespace quorvel::py
