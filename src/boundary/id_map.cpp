// The identifier map: its conversion, a short walk over the dict with the rare entries converted
// out of line, and the watched dict (or copy) that lookups read.
#include "boundary/id_map.hpp"

#include <algorithm>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "boundary/convert.hpp"
#include "core/failure.hpp"

namespace quorvel::py {
namespace {

// Resolving like_ids or pre_filter_ids must not see what Python code does to id_to_idx after its
// conversion (a later argument's __index__, a finaliser). A copy of a million-entry dict costs
// tens of milliseconds and tens of bytes a row, so the dict is watched instead (a dict watcher,
// called before every change of a watched dict): lookups go to the dict itself, and only if it
// is about to change during the call are its entries copied, as they still are. The watched
// dict's entries are exact str keys and exact int values, unchanged since the conversion walk
// (which ran no Python code), so copying them runs none either.

// A watched map, linked into the list of those of the calls in progress (nested calls can watch
// the same dict). Owned by a capsule in IdMap::snapshot_, whose destructor unlinks it.
struct LiveMap {
    Ref dict;
    Ref copy;                  // the entries as they were, taken at the dict's first change
    bool copy_failed = false;  // out of memory while copying: lookups raise MemoryError
    LiveMap* next = nullptr;
};

constexpr const char* live_map_name = "_quorvel.live_id_map";
LiveMap* live_maps = nullptr;  // guarded by the interpreter lock, like everything here
int dict_watcher = -2;         // -2 not asked for yet, -1 none to be had (copies are made instead)

Ref copy_entries(PyObject* dict) {
    Ref copy = Ref::steal(PyDict_New());
    if (!copy) return copy;
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(dict, &pos, &key, &value))
        if (PyDict_SetItem(copy.get(), key, value) < 0) return Ref();
    return copy;
}

// Exact dicts whose every entry passed the plain check in a complete walk, and whose changes
// since cannot have made an entry bad: plain entries added, values replaced by plain ones,
// entries removed. Watched, and forgotten at any other change (or as they are deallocated). The
// most recently used first; only dicts worth a few tens of microseconds of walking, so that the
// many small dicts of a program do not push out its few large ones.
//
// Each holds a reference to every key it has met in the dict, in the dict's order (8 bytes an
// entry, and an eighth more for the entries added later): those of the walk, then those added
// since. Each is an exact, compact ASCII str, kept alive here, so an identifier list item that
// is one of them (the same object) needs no check (KnownKeysWalk): a list made with the dict, as
// `ids` usually is, is then checked by comparing pointers instead of reading a million objects.
// The key of a removed entry stays in its place until the dict is forgotten, which it is once
// such keys are an eighth of them.
struct KnownPlainDict {
    PyObject* dict = nullptr;     // borrowed
    std::vector<PyObject*> keys;  // owned; empty when they could not be had for want of memory
};
constexpr std::size_t kKnownPlainDicts = 4;
constexpr Py_ssize_t kKnownPlainFromEntries = 4096;
KnownPlainDict known_plain_dicts[kKnownPlainDicts];

KnownPlainDict* find_known_plain(PyObject* dict) {
    for (KnownPlainDict& known : known_plain_dicts)
        if (known.dict == dict) return &known;
    return nullptr;
}

bool known_plain(PyObject* dict) { return find_known_plain(dict) != nullptr; }

// Whether the dict is known plain, and if so moved to the front.
bool use_known_plain(PyObject* dict) {
    KnownPlainDict* found = find_known_plain(dict);
    if (found == nullptr) return false;
    std::rotate(std::begin(known_plain_dicts), found, found + 1);
    return true;
}

// Releasing a str runs no Python code.
void release_keys(std::vector<PyObject*>& keys) {
    std::vector<PyObject*> owned;
    owned.swap(keys);
    for (PyObject* key : owned) Py_DECREF(key);
}

void forget_slot(KnownPlainDict& known) {
    known.dict = nullptr;
    release_keys(known.keys);
}

bool watched_by_live_map(PyObject* dict) {
    for (const LiveMap* live = live_maps; live != nullptr; live = live->next)
        if (live->dict.get() == dict) return true;
    return false;
}

// Forgets a known plain dict that is about to change, and stops watching it unless a call in
// progress still reads through it (its later changes would otherwise all come here).
void forget_known_plain(PyDict_WatchEvent event, PyObject* dict) {
    KnownPlainDict* known = find_known_plain(dict);
    if (known == nullptr) return;
    forget_slot(*known);
    if (event != PyDict_EVENT_DEALLOCATED && !watched_by_live_map(dict) && PyDict_Unwatch(dict_watcher, dict) < 0)
        PyErr_Clear();
}

// A plain entry about to be added: its key joins the keys, last, as the dict orders it.
void add_known_key(KnownPlainDict& known, PyObject* key) {
    std::vector<PyObject*>& keys = known.keys;
    if (keys.empty()) return;  // remembered without them, it stays so
    try {
        if (keys.size() == keys.capacity()) keys.reserve(keys.size() + keys.size() / 8 + 64);
    } catch (const std::bad_alloc&) {
        release_keys(keys);  // still known plain, its lists are checked in full
        return;
    }
    keys.push_back(Py_NewRef(key));
}

// Keeps a known plain dict known through a change that cannot make an entry bad, and forgets it
// at any other (and once the keys of removed entries are an eighth of the keys held).
void follow_known_plain(PyDict_WatchEvent event, PyObject* dict, PyObject* key, PyObject* new_value) {
    KnownPlainDict* known = find_known_plain(dict);
    if (known == nullptr) return;
    switch (event) {
    case PyDict_EVENT_ADDED:
        if (!is_plain_entry(key, new_value)) break;
        add_known_key(*known, key);
        return;
    case PyDict_EVENT_MODIFIED:  // the dict keeps its key object, whatever object `key` is
        if (!is_plain_value(new_value)) break;
        return;
    case PyDict_EVENT_DELETED: {  // `key` may be another object equal to the dict's: nothing to find
        const std::size_t held = known->keys.size();
        const std::size_t removed = held - std::min(held, static_cast<std::size_t>(PyDict_GET_SIZE(dict)));
        if (removed >= held / 8) break;
        return;
    }
    default:
        break;
    }
    forget_known_plain(event, dict);
}

int on_dict_change(PyDict_WatchEvent event, PyObject* dict, PyObject* key, PyObject* new_value) {
    // An exception may be pending on entry; it must be left as it was.
    PyObject* pending = PyErr_GetRaisedException();
    follow_known_plain(event, dict, key, new_value);
    PyObject* shared = nullptr;  // one copy serves every live map of this dict
    for (LiveMap* live = live_maps; live != nullptr; live = live->next) {
        if (live->dict.get() != dict || live->copy || live->copy_failed) continue;
        live->copy = shared ? Ref::borrow(shared) : copy_entries(dict);
        if (!live->copy) {
            live->copy_failed = true;
            PyErr_Clear();
        }
        shared = live->copy.get();
    }
    PyErr_SetRaisedException(pending);
    return 0;
}

void release_live_map(PyObject* capsule) {
    // Called as the call's arguments are released, possibly with its exception pending.
    PyObject* pending = PyErr_GetRaisedException();
    auto* live = static_cast<LiveMap*>(PyCapsule_GetPointer(capsule, live_map_name));
    if (live == nullptr) {
        PyErr_SetRaisedException(pending);  // replaces the lookup's error: the call's comes first
        return;
    }
    bool watched_elsewhere = false;
    for (LiveMap** link = &live_maps; *link != nullptr;) {
        if (*link == live) {
            *link = live->next;
            continue;
        }
        watched_elsewhere = watched_elsewhere || (*link)->dict.get() == live->dict.get();
        link = &(*link)->next;
    }
    watched_elsewhere = watched_elsewhere || known_plain(live->dict.get());
    if (!watched_elsewhere && PyDict_Unwatch(dict_watcher, live->dict.get()) < 0) PyErr_Clear();
    delete live;
    PyErr_SetRaisedException(pending);
}

// The module's dict watcher, added at the first need; false when none is to be had.
bool have_dict_watcher() {
    if (dict_watcher == -2) {
        dict_watcher = PyDict_AddWatcher(on_dict_change);
        if (dict_watcher < 0) {
            PyErr_Clear();
            dict_watcher = -1;
        }
    }
    return dict_watcher >= 0;
}

// What IdMap::snapshot_ holds for a dict of exact str keys and exact int values: a capsule of
// the watched dict, or, when no dict watcher is to be had, a copy.
Ref watch_or_copy(PyObject* dict) {
    if (!have_dict_watcher()) return Ref::checked(PyDict_Copy(dict));
    auto owned = std::make_unique<LiveMap>();
    owned->dict = Ref::borrow(dict);
    Ref capsule = Ref::checked(PyCapsule_New(owned.get(), live_map_name, release_live_map));
    LiveMap* live = owned.release();
    live->next = live_maps;
    live_maps = live;
    if (PyDict_Watch(dict_watcher, dict) < 0) throw ErrorSet{};
    return capsule;
}

// The dict that lookups read: the copy, the watched dict while it is unchanged, or the copy
// taken when it changed.
PyObject* lookup_dict(PyObject* snapshot) {
    if (!PyCapsule_CheckExact(snapshot)) return snapshot;
    const auto* live = static_cast<const LiveMap*>(PyCapsule_GetPointer(snapshot, live_map_name));
    if (live == nullptr) throw ErrorSet{};
    if (live->copy_failed)
        throw OutOfMemory{static_cast<std::size_t>(PyDict_GET_SIZE(live->dict.get())) * 3 * sizeof(void*),
                          "identifier map copy"};
    return live->copy ? live->copy.get() : live->dict.get();
}

// ---------------------------------------------------------------------------------------------
// The conversion walk.

// The state of one conversion walk. While the map stays plain (exact str keys, exact int values),
// lookups will go to the dict itself and the walk only checks; after the first entry that is not,
// every entry goes into a table of UTF-8 forms.
class IdMapWalk {
public:
    IdMapWalk(PyObject* dict, bool resolvable)
        : dict_(dict), size_(PyDict_GET_SIZE(dict)), resolvable_(resolvable) {}

    bool checks_only() const { return !resolvable_ || plain_; }
    bool stays_plain() const { return resolvable_ && plain_; }
    std::unordered_map<std::string, std::uint64_t>& table() { return table_; }

    // An entry that the plain check does not pass: converted in full.
    [[gnu::cold, gnu::noinline]] void convert(const DictEntry& entry) {
        // Held for the entry: converting a value may run Python code that drops it from the dict.
        const Ref key = Ref::borrow(entry.key), value = Ref::borrow(entry.value);
        const std::string_view text = to_text(key.get());
        if (stays_plain() && !(PyUnicode_CheckExact(key.get()) && PyLong_CheckExact(value.get())))
            leave_plain(entry.pos);
        const std::uint64_t row =
            PyLong_CheckExact(value.get()) ? read_u64(value.get()) : indexed_value(entry.pos, key.get(), value.get());
        if (resolvable_ && !plain_) table_.insert_or_assign(std::string(text), row);
    }

private:
    // Falls back to the table, replaying the entries before position `before` while no Python
    // code has run yet that could change them.
    void leave_plain(Py_ssize_t before) {
        plain_ = false;
        Py_ssize_t replay = 0;
        PyObject* k = nullptr;
        PyObject* v = nullptr;
        while (replay < before && PyDict_Next(dict_, &replay, &k, &v))
            table_.insert_or_assign(std::string(utf8_of(k)), read_u64(v));
    }

    // A value through its own __index__, which may change the dict: then the walk cannot go on.
    std::uint64_t indexed_value(Py_ssize_t pos, PyObject* key, PyObject* value) {
        const std::uint64_t row = to_u64(value);
        if (PyDict_GET_SIZE(dict_) != size_) fail("dictionary changed size during iteration");
        PyObject* now_key = nullptr;
        PyObject* now_value = nullptr;
        if (!PyDict_Next(dict_, &pos, &now_key, &now_value) || now_key != key)
            fail("dictionary keys changed during iteration");
        return row;
    }

    PyObject* dict_;
    Py_ssize_t size_;
    bool resolvable_;
    bool plain_ = true;
    std::unordered_map<std::string, std::uint64_t> table_;
};

// Remembers an exact dict that a complete walk found plain in every entry (see known_plain_dicts),
// in place of the one remembered longest ago.
void remember_plain(PyObject* dict) {
    if (!PyDict_CheckExact(dict) || PyDict_GET_SIZE(dict) < kKnownPlainFromEntries || known_plain(dict) ||
        !have_dict_watcher())
        return;
    KnownPlainDict& last = known_plain_dicts[kKnownPlainDicts - 1];
    if (last.dict != nullptr && !watched_by_live_map(last.dict) && PyDict_Unwatch(dict_watcher, last.dict) < 0)
        PyErr_Clear();
    forget_slot(last);
    if (PyDict_Watch(dict_watcher, dict) < 0) {
        PyErr_Clear();
        return;
    }
    last.dict = dict;
    try {
        last.keys.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(dict)));
    } catch (const std::bad_alloc&) {
        // remembered without its keys: its lists are checked in full
    }
    if (last.keys.capacity() != 0) {
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(dict, &pos, &key, &value)) last.keys.push_back(Py_NewRef(key));
    }
    std::rotate(std::begin(known_plain_dicts), std::end(known_plain_dicts) - 1, std::end(known_plain_dicts));
}

}  // namespace

void IdMapChecks::check_unusual(const DictEntry& entry) {
    all_plain_ = false;
    IdMapWalk(dict_, false).convert(entry);
}

bool IdMapChecks::known_plain_dict(PyObject* dict) { return PyDict_CheckExact(dict) && use_known_plain(dict); }

KnownKeys IdMapChecks::known_plain_keys(PyObject* dict) {
    const KnownPlainDict* known = dict != nullptr ? find_known_plain(dict) : nullptr;
    if (known == nullptr) return {};
    return {known->keys, known->keys.size() != static_cast<std::size_t>(PyDict_GET_SIZE(dict))};
}

void IdMapChecks::remember_if_plain() {
    if (all_plain_ && checked_ == size_) remember_plain(dict_);
}

IdMap to_id_map(PyObject* obj, bool resolvable) {
    if (!PyDict_Check(obj)) refuse(obj, "PyDict");
    IdMap map;
    if (IdMapChecks::known_plain_dict(obj)) {  // the walk would pass every entry again
        if (resolvable) map.snapshot_ = watch_or_copy(obj);
        return map;
    }
    IdMapWalk walk(obj, resolvable);
    EntryRing ring(obj);
    DictEntry entry;
    bool all_plain = true;
    while (ring.next(entry)) {
        if (walk.checks_only() && is_plain_entry(entry.key, entry.value)) continue;
        all_plain = false;
        ring.refetch_after(entry);
        walk.convert(entry);
    }
    if (all_plain) remember_plain(obj);
    // Watched (or copied), so that Python code run by later conversions cannot change what
    // lookups see.
    if (walk.stays_plain()) map.snapshot_ = watch_or_copy(obj);
    map.table_ = std::move(walk.table());
    return map;
}

std::optional<std::uint64_t> IdMap::find(PyObject* id) const {
    if (!snapshot_) {
        const auto found = table_.find(std::string(utf8_of(id)));
        if (found == table_.end()) return std::nullopt;
        return found->second;
    }
    // A str subclass may define its own hashing and equality: look it up as a plain str.
    Ref exact = PyUnicode_CheckExact(id) ? Ref::borrow(id) : Ref::checked(PyUnicode_FromObject(id));
    PyObject* value = PyDict_GetItemWithError(lookup_dict(snapshot_.get()), exact.get());
    if (value == nullptr) {
        if (PyErr_Occurred()) throw ErrorSet{};
        return std::nullopt;
    }
    return read_u64(value);
}

}  // namespace quorvel::py
