// The one way a conversion calls into Python code of the caller's (an __index__, __float__,
// __bool__, __len__ or iterator, an import): run_caller_code. Identifier lists are read in place,
// without a reference to each item, because only Python code can change a list while a call runs;
// so before any such code runs, every list read in place so far is copied (see TextSequence).
#pragma once

#include <utility>

namespace quorvel::py {

// Thrown by run_caller_code, before anything runs, while a CallerCodeDeferred scope is open.
struct CallerCodeMet {};

// While one lives, no conversion may run Python code: one that would throws CallerCodeMet
// instead, before anything is copied or run. A call that tries a faster order of its own (the
// identifier checks walked during the scan) opens one, and on CallerCodeMet starts again in the
// order of its parameters.
class CallerCodeDeferred {
public:
    CallerCodeDeferred() : outer_(std::exchange(open_, true)) {}
    CallerCodeDeferred(const CallerCodeDeferred&) = delete;
    CallerCodeDeferred& operator=(const CallerCodeDeferred&) = delete;
    ~CallerCodeDeferred() { open_ = outer_; }
    static bool open() { return open_; }

private:
    static inline bool open_ = false;  // guarded by the interpreter lock
    bool outer_;
};

// Copies every identifier list still read in place into a tuple, which then holds its items as
// they were when they were checked. Throws ErrorSet (MemoryError) if a copy fails.
void copy_lent_lists();

// Runs `call`, which may run Python code, and returns what it returns.
template <class Call>
decltype(auto) run_caller_code(Call&& call) {
    if (CallerCodeDeferred::open()) throw CallerCodeMet{};
    copy_lent_lists();
    return std::forward<Call>(call)();
}

}  // namespace quorvel::py
