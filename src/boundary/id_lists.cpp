// Lists of identifiers, read in place until Python code could change them, and their resolution
// to row indices.
#include "boundary/id_lists.hpp"

#include <algorithm>

#include "boundary/caller_code.hpp"
#include "boundary/convert.hpp"

namespace quorvel::py {

// A million-item list copied into a tuple costs a reference taken and dropped on every item, two
// walks over a million scattered objects (about 3 ms of a plain call). Nothing but Python code
// can change a list while a call runs, and conversions call into Python code only through
// run_caller_code, so a list is read in place until then and copied only if that happens.

// Linked into lent_lists from its creation until it has its copy.
struct TextSequence::Lent {
    Ref list;
    Ref copy;  // the items as they were checked, taken before Python code could change the list
    Lent* prev = nullptr;
    Lent* next = nullptr;
};

namespace {

TextSequence::Lent* lent_lists = nullptr;  // not yet copied; guarded by the interpreter lock

void link(TextSequence::Lent* lent) {
    lent->next = lent_lists;
    if (lent_lists != nullptr) lent_lists->prev = lent;
    lent_lists = lent;
}

void unlink(TextSequence::Lent* lent) {
    if (lent->copy) return;  // unlinked when it was copied
    if (lent->prev != nullptr) lent->prev->next = lent->next;
    else lent_lists = lent->next;
    if (lent->next != nullptr) lent->next->prev = lent->prev;
    lent->prev = lent->next = nullptr;
}

}  // namespace

void copy_lent_lists() {
    // Every list still linked is as it was when it was checked: no Python code has run since.
    while (lent_lists != nullptr) {
        TextSequence::Lent* lent = lent_lists;
        Ref copy = Ref::checked(PyList_AsTuple(lent->list.get()));  // runs no Python code
        unlink(lent);
        lent->copy = std::move(copy);
    }
}

TextSequence::TextSequence() = default;
TextSequence::TextSequence(TextSequence&&) noexcept = default;
TextSequence& TextSequence::operator=(TextSequence&&) noexcept = default;
TextSequence::~TextSequence() {
    if (lent_) unlink(lent_.get());
}

PyObject* TextSequence::item(std::size_t i) const {
    const auto at = static_cast<Py_ssize_t>(i);
    if (!lent_) return PyTuple_GET_ITEM(items_.get(), at);
    if (lent_->copy) return PyTuple_GET_ITEM(lent_->copy.get(), at);
    return PyList_GET_ITEM(lent_->list.get(), at);
}

void check_unusual_text(PyObject* item) {
    if (!PyUnicode_Check(item)) refuse(item, "PyString");
    utf8_of(item);  // caches the UTF-8 form in the str, so later reads cannot fail
}

std::string_view TextSequence::text(std::size_t i) const {
    Py_ssize_t len = 0;
    // Every item was encoded during conversion; the str caches that form.
    const char* data = PyUnicode_AsUTF8AndSize(item(i), &len);
    return {data, static_cast<std::size_t>(len)};
}

TextSequence unchecked_in_place(PyObject* obj) {
    TextSequence seq;
    if (PyTuple_CheckExact(obj)) {
        seq.items_ = Ref::borrow(obj);
    } else {
        seq.lent_ = std::make_unique<TextSequence::Lent>();
        seq.lent_->list = Ref::borrow(obj);
        link(seq.lent_.get());
    }
    seq.size_ = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(obj));
    return seq;
}

// Lists of a million identifiers are common: reading each item's header is a cache miss, so
// the walk asks for items this far ahead, but only in a run of items that are not keys: between
// keys, the item ahead is most likely a key, which is never read. 1M ids with every tenth one
// not a key ("" in place of a removed identifier), between calls that scan 1M rows, on an Intel
// Xeon: 4.3-5.1 ms with an item asked for before every check, 1.6 ms this way (all keys: 1.4 ms).
constexpr std::size_t kPrefetchDistance = 64;

void KnownKeysWalk::check(PyObject* const* items, std::size_t from, std::size_t end, std::size_t count) {
    for (std::size_t i = from; i < end; ++i) {
        const std::size_t unknown = skip(items, i, end);
        if (unknown == end) return;
        if (unknown == i && i + kPrefetchDistance < count) __builtin_prefetch(items[i + kPrefetchDistance]);
        i = unknown;
        check_text_item(items[i]);
    }
}

std::size_t KnownKeysWalk::skip(PyObject* const* items, std::size_t from, std::size_t end) {
    PyObject* const* const keys = keys_.data();
    const std::size_t key_count = keys_.size();
    std::size_t i = from;
    std::size_t k = next_key_;
    for (;;) {
        // Four at a time without a branch each: the common list matches throughout.
        for (; i + 4 <= end && k + 4 <= key_count; i += 4, k += 4) {
            const bool same = (items[i] == keys[k]) & (items[i + 1] == keys[k + 1]) &
                              (items[i + 2] == keys[k + 2]) & (items[i + 3] == keys[k + 3]);
            if (!same) break;
        }
        while (i < end && k < key_count && items[i] == keys[k]) {
            ++i;
            ++k;
        }
        if (!lagging_ || i == end || k == key_count) break;
        const std::size_t found = find_key(items[i], k + 1);
        if (found == key_count) break;
        k = found;
    }
    next_key_ = k;
    return i;
}

// Entries are mostly removed a few at a time; after a longer run of removed keys than this, the
// rest of the list is checked item by item.
constexpr std::size_t kKeysSteppedOver = 16;

std::size_t KnownKeysWalk::find_key(PyObject* item, std::size_t from) const {
    const std::size_t last = std::min(keys_.size(), from + kKeysSteppedOver);
    for (std::size_t k = from; k < last; ++k)
        if (keys_[k] == item) return k;
    return keys_.size();
}

TextSequence to_text_sequence(PyObject* obj, KnownKeys known_keys) {
    check_sequence(obj);
    if (PyTuple_CheckExact(obj) || PyList_CheckExact(obj)) {
        // A tuple cannot change and holds its items; a list is read in place. Checking an item
        // runs no Python code, so neither can change under the walk.
        TextSequence seq = unchecked_in_place(obj);
        KnownKeysWalk(known_keys).check(PySequence_Fast_ITEMS(obj), 0, seq.size(), seq.size());
        return seq;
    }
    TextSequence seq;
    size_hint(obj);  // asked as any sequence conversion does; a list grows as needed anyway
    Ref items = Ref::checked(PyList_New(0));
    for_each_item(obj, [&](Ref item) {
        check_text_item(item.get());
        if (PyList_Append(items.get(), item.get()) < 0) throw ErrorSet{};
    });
    seq.items_ = Ref::checked(PyList_AsTuple(items.get()));
    seq.size_ = static_cast<std::size_t>(PyTuple_GET_SIZE(seq.items_.get()));
    return seq;
}

std::vector<std::uint64_t> resolve_rows(const TextSequence& ids, const IdMap& map) {
    std::vector<std::uint64_t> rows;
    rows.reserve(ids.size());
    for (std::size_t i = 0; i < ids.size(); ++i)
        if (const auto row = map.find(ids.item(i))) rows.push_back(*row);
    return rows;
}

}  // namespace quorvel::py
