// Conversion of argument values, with every refusal's exception and message.
#include "boundary/convert.hpp"

#include <memory>
#include <string>

#include "boundary/numpy_api.hpp"
#include "core/failure.hpp"

namespace quorvel::py {
namespace {

[[noreturn, gnu::cold]] void mismatch(PyObject* obj, const char* target) {
    Ref qualname = Ref::steal(PyType_GetQualName(Py_TYPE(obj)));
    const char* name = qualname ? PyUnicode_AsUTF8(qualname.get()) : nullptr;
    if (name == nullptr) PyErr_Clear();
    throw Raise{PyExc_TypeError, std::string("'") + (name ? name : "<failed to extract type name>") +
                                     "' object cannot be converted to '" + target + "'"};
}

std::uint64_t read_u64(PyObject* integer) {
    const unsigned long long value = PyLong_AsUnsignedLongLong(integer);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw ErrorSet{};
    return value;
}

// The UTF-8 form of a str (or subclass), or the host's UnicodeEncodeError.
std::string_view utf8_of(PyObject* str) {
    Py_ssize_t len = 0;
    const char* text = PyUnicode_AsUTF8AndSize(str, &len);
    if (text == nullptr) throw ErrorSet{};
    return {text, static_cast<std::size_t>(len)};
}

void check_text_item(PyObject* item) {
    // An ASCII str's UTF-8 form is its own data: nothing to encode or cache.
    if (PyUnicode_CheckExact(item) && PyUnicode_IS_COMPACT_ASCII(item)) return;
    if (!PyUnicode_Check(item)) mismatch(item, "PyString");
    utf8_of(item);  // caches the UTF-8 form in the str, so later reads cannot fail
}

// Lists of a million identifiers are common: reading each item's header is a cache miss, so
// the walks below ask for items this far ahead.
constexpr Py_ssize_t prefetch_distance = 64;

// Walks `obj` with the iterator protocol, handing each item to `take` (which may throw).
template <class Take>
void for_each_item(PyObject* obj, Take&& take) {
    before_python_code();
    Ref iter = Ref::checked(PyObject_GetIter(obj));
    while (true) {
        Ref item = Ref::steal(PyIter_Next(iter.get()));
        if (!item) {
            if (PyErr_Occurred()) throw ErrorSet{};
            return;
        }
        take(std::move(item));
    }
}

void check_sequence(PyObject* obj) {
    if (PyUnicode_Check(obj)) throw Raise{PyExc_TypeError, "Can't extract `str` to `Vec`"};
    if (!PySequence_Check(obj)) mismatch(obj, "Sequence");
}

// Room to reserve; a failing length is not an error.
std::size_t size_hint(PyObject* obj) {
    before_python_code();  // a __len__ of the caller's
    const Py_ssize_t n = PySequence_Size(obj);
    if (n < 0) {
        PyErr_Clear();
        return 0;
    }
    return static_cast<std::size_t>(n);
}

template <class View>
ArrayArg<View> to_array(PyObject* obj, int dims, int type_number) {
    const NumpyApi& api = numpy_api();
    if (!PyObject_TypeCheck(obj, api.array_type)) mismatch(obj, "PyArray<T, D>");
    const auto* fields = reinterpret_cast<const NumpyArrayFields*>(obj);
    if (fields->nd != dims) mismatch(obj, "PyArray<T, D>");
    Ref expected = Ref::checked(api.descr_from_type(type_number));
    if (fields->descr != expected.get() && !api.equiv_types(fields->descr, expected.get()))
        mismatch(obj, "PyArray<T, D>");

    ArrayArg<View> arg;
    arg.array = Ref::borrow(obj);
    arg.view.data = reinterpret_cast<const std::byte*>(fields->data);
    if constexpr (requires { arg.view.rows; }) {
        arg.view.rows = static_cast<std::size_t>(fields->dimensions[0]);
        arg.view.cols = static_cast<std::size_t>(fields->dimensions[1]);
        arg.view.row_stride = fields->strides[0];
        arg.view.col_stride = fields->strides[1];
    } else {
        arg.view.len = static_cast<std::size_t>(fields->dimensions[0]);
        arg.view.stride = fields->strides[0];
    }
    return arg;
}

// --- The identifier map, read in place until it changes ------------------------------------
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

int on_dict_change(PyDict_WatchEvent, PyObject* dict, PyObject*, PyObject*) {
    // An exception may be pending on entry; it must be left as it was.
    PyObject* pending = PyErr_GetRaisedException();
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
    if (!watched_elsewhere && PyDict_Unwatch(dict_watcher, live->dict.get()) < 0) PyErr_Clear();
    delete live;
    PyErr_SetRaisedException(pending);
}

// What IdMap::snapshot_ holds for a dict of exact str keys and exact int values: a capsule of
// the watched dict, or, when no dict watcher is to be had, a copy.
Ref watch_or_copy(PyObject* dict) {
    if (dict_watcher == -2) {
        dict_watcher = PyDict_AddWatcher(on_dict_change);
        if (dict_watcher < 0) {
            PyErr_Clear();
            dict_watcher = -1;
        }
    }
    if (dict_watcher < 0) return Ref::checked(PyDict_Copy(dict));
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

}  // namespace

// --- Lists of identifiers, read in place -------------------------------------------------------
// A million-item list copied into a tuple costs a reference taken and dropped on every item, two
// walks over a million scattered objects (about 3 ms of a plain call). Nothing but Python code
// can change a list while a call runs, and conversions call into Python code only through
// before_python_code, so a list is read in place until then and copied only if that happens.

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

void before_python_code() {
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

std::uint64_t to_u64(PyObject* obj) {
    if (PyLong_Check(obj)) return read_u64(obj);
    before_python_code();  // __index__
    Ref index = Ref::checked(PyNumber_Index(obj));
    return read_u64(index.get());
}

double to_double(PyObject* obj) {
    if (PyFloat_CheckExact(obj)) return PyFloat_AS_DOUBLE(obj);
    // A float subclass is read directly and an exact int converted; anything else may have a
    // __float__ or __index__ of its own.
    if (!PyFloat_Check(obj) && !PyLong_CheckExact(obj)) before_python_code();
    const double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) throw ErrorSet{};
    return value;
}

float to_float32(PyObject* obj) { return static_cast<float>(to_double(obj)); }

bool to_bool(PyObject* obj) {
    if (obj == Py_True) return true;
    if (obj == Py_False) return false;
    before_python_code();  // the type's own __bool__ or name
    // NumPy's boolean scalar, recognised by its type's module and name.
    PyTypeObject* type = Py_TYPE(obj);
    Ref module = Ref::steal(PyType_GetModuleName(type));
    Ref name = module ? Ref::steal(PyType_GetName(type)) : Ref();
    if (!module || !name) {
        PyErr_Clear();
        mismatch(obj, "PyBool");
    }
    if (PyUnicode_CompareWithASCIIString(module.get(), "numpy") != 0 ||
        (PyUnicode_CompareWithASCIIString(name.get(), "bool_") != 0 &&
         PyUnicode_CompareWithASCIIString(name.get(), "bool") != 0))
        mismatch(obj, "PyBool");
    inquiry nb_bool = type->tp_as_number ? type->tp_as_number->nb_bool : nullptr;
    if (nb_bool == nullptr) {
        Ref type_text = Ref::checked(PyObject_Str(reinterpret_cast<PyObject*>(type)));
        PyErr_Format(PyExc_TypeError, "object of type '%U' does not define a '__bool__' conversion",
                     type_text.get());
        throw ErrorSet{};
    }
    const int truth = nb_bool(obj);
    if (truth < 0) throw ErrorSet{};
    return truth != 0;
}

std::string_view to_text(PyObject* obj) {
    if (!PyUnicode_Check(obj)) mismatch(obj, "PyString");
    return utf8_of(obj);
}

std::string_view TextSequence::text(std::size_t i) const {
    Py_ssize_t len = 0;
    // Every item was encoded during conversion; the str caches that form.
    const char* data = PyUnicode_AsUTF8AndSize(item(i), &len);
    return {data, static_cast<std::size_t>(len)};
}

TextSequence to_text_sequence(PyObject* obj) {
    check_sequence(obj);
    TextSequence seq;
    if (PyTuple_CheckExact(obj) || PyList_CheckExact(obj)) {
        // A tuple cannot change and holds its items; a list is read in place. Checking an item
        // runs no Python code, so neither can change under the walk.
        if (PyTuple_CheckExact(obj)) {
            seq.items_ = Ref::borrow(obj);
        } else {
            seq.lent_ = std::make_unique<TextSequence::Lent>();
            seq.lent_->list = Ref::borrow(obj);
            link(seq.lent_.get());
        }
        PyObject* const* items = PySequence_Fast_ITEMS(obj);
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(obj);
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (i + prefetch_distance < n) __builtin_prefetch(items[i + prefetch_distance]);
            check_text_item(items[i]);
        }
        seq.size_ = static_cast<std::size_t>(n);
        return seq;
    }
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

std::vector<std::uint64_t> to_u64_sequence(PyObject* obj) {
    check_sequence(obj);
    std::vector<std::uint64_t> out;
    out.reserve(std::min<std::size_t>(size_hint(obj), std::size_t{1} << 20));  // a length may overstate
    for_each_item(obj, [&](Ref item) { out.push_back(to_u64(item.get())); });
    return out;
}

IdMap to_id_map(PyObject* obj, bool resolvable) {
    if (!PyDict_Check(obj)) mismatch(obj, "PyDict");
    IdMap map;
    const Py_ssize_t size = PyDict_GET_SIZE(obj);
    bool plain = true;  // every key an exact str and every value an exact int so far
    // Entries are fetched into a ring ahead of the one being checked, their keys and values
    // prefetched as they are fetched (a million-entry dict's objects are cache misses). An entry
    // that needs more than the fast check empties the ring: converting it may run Python code
    // that changes the dict, so the entries after it are fetched again.
    struct Fetched {
        Py_ssize_t pos;   // the cursor before the entry: its PyDict_Next position
        Py_ssize_t next;  // the cursor after it
        PyObject* key;
        PyObject* value;
    };
    constexpr std::size_t ring_size = 64;
    Fetched ring[ring_size];
    std::size_t head = 0, tail = 0;  // ring[head % ring_size .. tail % ring_size) are fetched
    Py_ssize_t cursor = 0;
    bool exhausted = false;
    while (true) {
        while (!exhausted && tail - head < ring_size) {
            Fetched& f = ring[tail % ring_size];
            f.pos = cursor;
            if (!PyDict_Next(obj, &cursor, &f.key, &f.value)) {
                exhausted = true;
                break;
            }
            f.next = cursor;
            __builtin_prefetch(f.key);
            __builtin_prefetch(f.value);
            ++tail;
        }
        if (head == tail) break;
        const Fetched entry = ring[head++ % ring_size];
        const Py_ssize_t entry_pos = entry.pos;
        PyObject* const key = entry.key;
        PyObject* const value = entry.value;
        // While the map stays plain, lookups go to the dict itself and the walk only checks.
        if ((!resolvable || plain) && PyUnicode_CheckExact(key) && PyUnicode_IS_COMPACT_ASCII(key) &&
            PyLong_CheckExact(value) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(value)) &&
            PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(value)) >= 0)
            continue;  // the common entry: nothing to encode, a small non-negative int
        tail = head;  // fetched again after this entry, which may change the dict
        cursor = entry.next;
        exhausted = false;
        // Held for the entry: converting a value may run Python code that drops it from the dict.
        Ref held_key = Ref::borrow(key), held_entry_value = Ref::borrow(value);
        const std::string_view text = to_text(key);
        if (resolvable && plain && !(PyUnicode_CheckExact(key) && PyLong_CheckExact(value))) {
            // Fall back to a table of the UTF-8 forms, replaying the entries already walked before
            // this value's conversion can run Python code that changes them.
            plain = false;
            Py_ssize_t replay = 0;
            PyObject* k = nullptr;
            PyObject* v = nullptr;
            while (replay < entry_pos && PyDict_Next(obj, &replay, &k, &v))
                map.table_.insert_or_assign(std::string(utf8_of(k)), read_u64(v));
        }
        std::uint64_t row;
        if (PyLong_CheckExact(value)) {
            row = read_u64(value);
        } else {
            Ref held_value = Ref::borrow(value);
            row = to_u64(held_value.get());
            if (PyDict_GET_SIZE(obj) != size) fail("dictionary changed size during iteration");
            Py_ssize_t check = entry_pos;
            PyObject* now_key = nullptr;
            PyObject* now_value = nullptr;
            if (!PyDict_Next(obj, &check, &now_key, &now_value) || now_key != held_key.get())
                fail("dictionary keys changed during iteration");
        }
        if (resolvable && !plain) map.table_.insert_or_assign(std::string(text), row);
    }
    // Watched (or copied), so that Python code run by later conversions cannot change what
    // lookups see.
    if (resolvable && plain) map.snapshot_ = watch_or_copy(obj);
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

std::vector<std::uint64_t> resolve_rows(const TextSequence& ids, const IdMap& map) {
    std::vector<std::uint64_t> rows;
    rows.reserve(ids.size());
    for (std::size_t i = 0; i < ids.size(); ++i)
        if (const auto row = map.find(ids.item(i))) rows.push_back(*row);
    return rows;
}

ArrayArg<FloatMatrix> to_float_matrix(PyObject* obj) { return to_array<FloatMatrix>(obj, 2, npy_float32); }
ArrayArg<FloatVector> to_float_vector(PyObject* obj) { return to_array<FloatVector>(obj, 1, npy_float32); }
ArrayArg<DoubleVector> to_double_vector(PyObject* obj) { return to_array<DoubleVector>(obj, 1, npy_float64); }
ArrayArg<ByteVector> to_bool_vector(PyObject* obj) { return to_array<ByteVector>(obj, 1, npy_bool); }

}  // namespace quorvel::py
