// Identifier lists: sequences of str, read in place where they cannot change under the call, and
// resolved to row indices through the identifier map.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "boundary/id_map.hpp"
#include "boundary/ref.hpp"

namespace quorvel::py {

// A sequence of str, checked item by item in iteration order; each item's UTF-8 form is read in
// place. The caller's tuple is held as it is and an exact list is read in place (see
// caller_code.hpp); any other sequence is copied into a tuple.
class TextSequence {
public:
    TextSequence();
    TextSequence(TextSequence&&) noexcept;
    TextSequence& operator=(TextSequence&&) noexcept;
    ~TextSequence();

    std::size_t size() const { return size_; }
    PyObject* item(std::size_t i) const;  // borrowed
    std::string_view text(std::size_t i) const;

    struct Lent;  // a list read in place, registered until the call ends or it is copied

private:
    friend TextSequence to_text_sequence(PyObject* obj);
    Ref items_;                    // a tuple of the items, unless they are lent
    std::unique_ptr<Lent> lent_;   // the caller's list, read in place
    std::size_t size_ = 0;
};
TextSequence to_text_sequence(PyObject* obj);

// Row indices of the identifiers in `ids`, in order: unknown ones left out, duplicates kept.
std::vector<std::uint64_t> resolve_rows(const TextSequence& ids, const IdMap& map);

}  // namespace quorvel::py
