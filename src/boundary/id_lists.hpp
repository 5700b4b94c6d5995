// Identifier lists: sequences of str, read in place where they cannot change under the call, and
// resolved to row indices through the identifier map.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
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
    friend TextSequence to_text_sequence(PyObject* obj, std::span<PyObject* const> known_keys);
    friend TextSequence unchecked_in_place(PyObject* obj);
    Ref items_;                    // a tuple of the items, unless they are lent
    std::unique_ptr<Lent> lent_;   // the caller's list, read in place
    std::size_t size_ = 0;
};
// `known_keys`: the keys of a remembered identifier dict (IdMapChecks::known_plain_keys); an
// item that is the key at its place needs no check.
TextSequence to_text_sequence(PyObject* obj, std::span<PyObject* const> known_keys = {});

// An exact list or tuple held as to_text_sequence holds it, its items not yet checked: for a
// caller that checks each with check_text_item before anything reads them as text.
TextSequence unchecked_in_place(PyObject* obj);

// One item of an identifier list: a str (or subclass) whose UTF-8 form is then cached in it, or
// its refusal. An exact str whose UTF-8 form is its own data (compact ASCII) has nothing to check
// or encode; the rest goes out of line.
void check_unusual_text(PyObject* item);
inline void check_text_item(PyObject* item) {
    if (PyUnicode_CheckExact(item) && PyUnicode_IS_COMPACT_ASCII(item)) return;
    check_unusual_text(item);
}

// The first place from `from` on (at most `end`) whose item is not the object at the same place
// of `known_keys`. The items before it are keys of a remembered dict: exact, compact ASCII str,
// with nothing to check.
std::size_t skip_known_keys(PyObject* const* items, std::span<PyObject* const> known_keys, std::size_t from,
                            std::size_t end);

// Row indices of the identifiers in `ids`, in order: unknown ones left out, duplicates kept.
std::vector<std::uint64_t> resolve_rows(const TextSequence& ids, const IdMap& map);

}  // namespace quorvel::py
