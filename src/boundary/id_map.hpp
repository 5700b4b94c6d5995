// The identifier map: a dict of str to row index, checked entry by entry and watched (or copied)
// so that Python code run later in the call cannot change what lookups see.
#pragma once

#include <cstdint>
#include <optional>
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

}  // namespace quorvel::py
