// The three Python-facing functions, each wrapped in the call frame, with their documentation.
#pragma once

#include "boundary/ref.hpp"

namespace quorvel::py {

struct EntryDef {
    const char* name;
    PyCFunctionFast function;  // really a PyCFunctionFastWithKeywords
    const char* doc;
};

extern const EntryDef parse_modifiers_def;
extern const EntryDef score_candidates_def;
extern const EntryDef mmr_select_py_def;

}  // namespace quorvel::py
