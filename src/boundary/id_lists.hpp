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
    friend TextSequence to_text_sequence(PyObject* obj, KnownKeys known_keys);
    friend TextSequence unchecked_in_place(PyObject* obj);
    Ref items_;                    // a tuple of the items, unless they are lent
    std::unique_ptr<Lent> lent_;   // the caller's list, read in place
    std::size_t size_ = 0;
};
// `known_keys`: the keys held for a remembered identifier dict (IdMapChecks::known_plain_keys),
// which spare their items the check (KnownKeysWalk).
TextSequence to_text_sequence(PyObject* obj, KnownKeys known_keys = {});

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

// A walk of an identifier list against the keys held for a remembered dict, in the dict's order:
// an item that is the next key (the same object) needs no check, since the keys are exact,
// compact ASCII str kept alive. Any other item is checked as usual and the walk keeps its key,
// so items the dict lacks (placeholders of rows without an identifier) cost a check each and
// leave the rest of the list in step. When the keys lag the dict, an item that is one of the few
// keys after the next one steps over the keys between, those of removed entries.
class KnownKeysWalk {
public:
    explicit KnownKeysWalk(KnownKeys keys) : keys_(keys.keys), lagging_(keys.lagging) {}

    // Checks the items from `from` to `end` of a list of `count` items, in order, but for keys.
    void check(PyObject* const* items, std::size_t from, std::size_t end, std::size_t count);

private:
    // The first place from `from` on (at most `end`) whose item is not the next key; the items
    // before it were the keys, and the walk has passed them.
    std::size_t skip(PyObject* const* items, std::size_t from, std::size_t end);

    // The place of `item` among the few keys from `from` on; the end of the keys if it is not there.
    std::size_t find_key(PyObject* item, std::size_t from) const;

    std::span<PyObject* const> keys_;
    bool lagging_;
    std::size_t next_key_ = 0;
};

// Row indices of the identifiers in `ids`, in order: unknown ones left out, duplicates kept.
std::vector<std::uint64_t> resolve_rows(const TextSequence& ids, const IdMap& map);

}  // namespace quorvel::py
