// The checks of `ids` and `id_to_idx` walked during the scan: a slice after each chunk of rows,
// the list and the dict in step.
#pragma once

#include <cstddef>
#include <span>

#include "boundary/id_lists.hpp"
#include "boundary/id_map.hpp"
#include "boundary/ref.hpp"
#include "scoring/score_request.hpp"

namespace quorvel::py {

// The checks of an exact list or tuple of identifiers (as to_text_sequence makes them) and of a
// dict (as to_id_map(dict, false) makes them), in slices that keep pace with the scan. Neither
// the list nor the dict may change while it lives: no Python code may run.
class IdentifierChecks {
public:
    IdentifierChecks(PyObject* ids, PyObject* id_to_idx);

    // Advances with the scan of a request's working rows.
    InterleavedWork interleaved() { return {&IdentifierChecks::advance, this}; }

    // Checks what the scan left (all of it when there was no scan).
    void finish();

private:
    static void advance(void* self, std::size_t done, std::size_t total);
    void check_until(std::size_t ids_end, std::size_t entries_end);

    PyObject* const* items_;
    std::size_t id_count_;
    std::size_t ids_checked_ = 0;
    IdMapChecks entries_;
    KnownKeysWalk keys_walk_;  // against id_to_idx's keys when it is a known plain dict
};

}  // namespace quorvel::py
