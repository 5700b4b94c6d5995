// The identifier map: a dict of str to row index, checked entry by entry and watched (or copied)
// so that Python code run later in the call cannot change what lookups see.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>

#include "boundary/ref.hpp"

namespace quorvel::py {

// A dict of str to unsigned integer. Every entry is always checked, in the dict's order. When
// `resolvable` is asked for, identifier lists can then be resolved through it: by lookups in the
// dict itself, watched for changes (or in a copy of it), when every key is an exact str and every
// value an exact int (the common case, where str equality is byte equality of the UTF-8 forms),
// else through a table built during the walk.
class IdMap {
public:
    std::optional<std::uint64_t> find(PyObject* id) const;

private:
    friend IdMap to_id_map(PyObject* obj, bool resolvable);
    Ref snapshot_;
    std::unordered_map<std::string, std::uint64_t> table_;
};
IdMap to_id_map(PyObject* obj, bool resolvable);

// One entry of a dict in PyDict_Next order.
struct DictEntry {
    Py_ssize_t pos;   // the cursor before the entry: its PyDict_Next position
    Py_ssize_t next;  // the cursor after it
    PyObject* key;
    PyObject* value;
};

// The entries of a dict in PyDict_Next order, fetched into a ring ahead of the one being checked,
// their keys and values prefetched as they are fetched (a million-entry dict's objects are cache
// misses). After an entry whose conversion may run Python code that changes the dict, the ring
// is fetched again from just after it.
class EntryRing {
public:
    explicit EntryRing(PyObject* dict) : dict_(dict) {}

    // The next entry into `entry`; false at the end.
    bool next(DictEntry& entry) {
        while (!exhausted_ && tail_ - head_ < kSize) fetch();
        if (head_ == tail_) return false;
        entry = ring_[head_++ % kSize];
        return true;
    }

    void refetch_after(const DictEntry& entry) {
        tail_ = head_;
        cursor_ = entry.next;
        exhausted_ = false;
    }

private:
    void fetch() {
        DictEntry& e = ring_[tail_ % kSize];
        e.pos = cursor_;
        if (!PyDict_Next(dict_, &cursor_, &e.key, &e.value)) {
            exhausted_ = true;
            return;
        }
        e.next = cursor_;
        __builtin_prefetch(e.key);
        __builtin_prefetch(e.value);
        ++tail_;
    }

    static constexpr std::size_t kSize = 64;
    PyObject* dict_;
    DictEntry ring_[kSize];
    std::size_t head_ = 0, tail_ = 0;  // ring_[head_ % kSize .. tail_ % kSize) are fetched
    Py_ssize_t cursor_ = 0;
    bool exhausted_ = false;
};

// The common entry: an exact ASCII str key and an exact int that is compact and not negative.
// Nothing to encode, and nothing to convert that could run Python code.
inline bool is_plain_value(PyObject* value) {
    return PyLong_CheckExact(value) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(value)) &&
           PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(value)) >= 0;
}
inline bool is_plain_entry(PyObject* key, PyObject* value) {
    return PyUnicode_CheckExact(key) && PyUnicode_IS_COMPACT_ASCII(key) && is_plain_value(value);
}

// The keys held for a remembered identifier dict: exact, compact ASCII str in the dict's order,
// each alive (and the span valid) until the dict next changes. `lagging`: among them are the keys
// of entries removed since, each still in its place.
struct KnownKeys {
    std::span<PyObject* const> keys;
    bool lagging = false;
};

// The checks of to_id_map(dict, false), one entry at a time: each entry, in the dict's order,
// exactly as that walk checks it. For a caller under which the dict cannot change (no Python code
// runs between entries).
//
// A dict found plain in every entry by a complete walk is remembered (`remember_if_plain`) and
// watched: while its changes cannot make an entry bad (plain entries added, values replaced by
// plain ones, entries removed), a call can skip its walk (`known_plain_dict`), which would find
// exactly the same, at no cost: a million entries take about 6 ms, bound by PyDict_Next. Any
// other change forgets it.
class IdMapChecks {
public:
    explicit IdMapChecks(PyObject* dict, bool skip = false)
        : dict_(dict), size_(static_cast<std::size_t>(PyDict_GET_SIZE(dict))),
          checked_(skip ? size_ : 0), ring_(dict) {}

    static bool known_plain_dict(PyObject* dict);
    // The keys held for a known plain dict (see known_plain_dict); none for any other dict.
    static KnownKeys known_plain_keys(PyObject* dict);
    // After the walk: remembers the dict when every entry was plain.
    void remember_if_plain();

    std::size_t size() const { return size_; }
    std::size_t checked() const { return checked_; }
    // The next entry; false when none is left.
    bool check_next() {
        DictEntry entry;
        if (!ring_.next(entry)) return false;
        if (!is_plain_entry(entry.key, entry.value)) check_unusual(entry);
        ++checked_;
        return true;
    }

private:
    [[gnu::cold, gnu::noinline]] void check_unusual(const DictEntry& entry);

    PyObject* dict_;
    std::size_t size_;
    std::size_t checked_;
    bool all_plain_ = true;
    EntryRing ring_;
};

}  // namespace quorvel::py
