// Identifier checks in slices, paced by the scan.
#include "boundary/identifier_checks.hpp"

namespace quorvel::py {
namespace {

// count * done / total without overflow.
std::size_t share(std::size_t count, std::size_t done, std::size_t total) {
    if (done >= total) return count;
    return static_cast<std::size_t>(static_cast<unsigned __int128>(count) * done / total);
}

// Items asked for this far ahead of the one being checked: the ring of the dict's entries runs
// as far ahead.
constexpr std::size_t prefetch_distance = 64;

}  // namespace

IdentifierChecks::IdentifierChecks(PyObject* ids, PyObject* id_to_idx)
    : items_(PySequence_Fast_ITEMS(ids)),
      id_count_(static_cast<std::size_t>(PySequence_Fast_GET_SIZE(ids))),
      entries_(id_to_idx, IdMapChecks::known_plain_dict(id_to_idx)),
      keys_walk_(IdMapChecks::known_plain_keys(id_to_idx)) {}

void IdentifierChecks::finish() {
    check_until(id_count_, entries_.size());
    entries_.remember_if_plain();
}

void IdentifierChecks::advance(void* self, std::size_t done, std::size_t total) {
    auto& checks = *static_cast<IdentifierChecks*>(self);
    checks.check_until(share(checks.id_count_, done, total), share(checks.entries_.size(), done, total));
}

void IdentifierChecks::check_until(std::size_t ids_end, std::size_t entries_end) {
    // In step: a dict made from the list holds the list's own str objects in the list's order, so
    // the key of an entry is read from the cache line that its list item brought in.
    bool entries_left = true;
    while (ids_checked_ < ids_end && entries_.checked() < entries_end && entries_left) {
        if (ids_checked_ + prefetch_distance < id_count_) __builtin_prefetch(items_[ids_checked_ + prefetch_distance]);
        check_text_item(items_[ids_checked_++]);
        entries_left = entries_.check_next();
    }
    if (ids_checked_ < ids_end) {
        keys_walk_.check(items_, ids_checked_, ids_end, id_count_);
        ids_checked_ = ids_end;
    }
    while (entries_left && entries_.checked() < entries_end) entries_left = entries_.check_next();
}

}  // namespace quorvel::py
