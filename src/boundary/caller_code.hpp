// The one way a conversion calls into Python code of the caller's (an __index__, __float__,
// __bool__, __len__ or iterator, an import): run_caller_code. Identifier lists are read in place,
// without a reference to each item, because only Python code can change a list while a call runs;
// so before any such code runs, every list read in place so far is copied (see TextSequence).
#pragma once

#include <utility>

namespace quorvel::py {

// Copies every identifier list still read in place into a tuple, which then holds its items as
// they were when they were checked. Throws ErrorSet (MemoryError) if a copy fails.
void copy_lent_lists();

// Runs `call`, which may run Python code, and returns what it returns.
template <class Call>
decltype(auto) run_caller_code(Call&& call) {
    copy_lent_lists();
    return std::forward<Call>(call)();
}

}  // namespace quorvel::py
