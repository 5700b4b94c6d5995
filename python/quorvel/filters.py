"""Metadata of documents, and the filter language that selects documents by it.

Metadata is a mapping of non-empty str keys (not starting with '$') to values: a str, an int, a
float, a bool, or a list of those. Ints must fit in 64 bits, floats must be finite (NaN and the
infinities are refused: they have no order and no place in JSON), strs must be valid Unicode
(no lone surrogates). Anything else is refused with a ValueError that names the key.

A filter is a mapping. Its entries all have to hold (an empty mapping holds for every document):

    {"lang": "en"}                              equality
    {"year": {"$gte": 2020, "$lt": 2024}}       operators on one key (all of them must hold)
    {"$or": [{"lang": "en"}, {"lang": "de"}]}   logic over filters

Operators on a key:

- ``$eq: v``, or plainly ``key: v``: the value equals v. ``$ne: v``: it does not, which includes
  documents without the key.
- ``$gt``, ``$gte``, ``$lt``, ``$lte``: the value is a number greater than, at least, less than,
  at most the operand (a number), or a str ordered so against the operand (a str; by code point).
- ``$in: [v, ...]``: the value equals one of the operands. ``$nin: [...]``: it equals none of
  them, which includes documents without the key.
- ``$contains: v``: the value is a list with an item equal to v (a scalar).
- ``$exists: True``: the document has the key (with any value, an empty list too);
  ``$exists: False``: it has not.
- ``$not: {operators}``: the operators do not all hold.

Logic: ``$and: [filter, ...]`` and ``$or: [filter, ...]`` (non-empty lists), ``$not: filter``.

Values compare by kind; a value of another kind never matches, and nothing raises for it:

- Numbers are one kind: 1 equals 1.0, and ints and floats are ordered together exactly.
- Bools are a kind of their own: True does not equal 1, 1 does not match True, and bools have
  no order (``$gt: True`` is refused).
- A str operand matches only str values: "2020" does not equal 2020, and ``$gte: "2020"``
  compares strs only.
- A list value equals only a list operand with equal items in the same order (by the rules
  above); a scalar operand never equals a list, and a list is never ordered. ``$contains`` looks
  inside lists; scalar values never contain anything.
- A missing key matches only ``$ne``, ``$nin``, ``$exists: False`` and negations.

Every filter is checked when it is compiled: a malformed one, an unknown operator or an operand
of the wrong kind raises ValueError naming it.

The metadata of a document is also written, one row per value and per list item, to an indexed
side table (`INDEX_SCHEMA`). A compiled filter answers each condition from the rows of its key
and kind as a column (values in order, each with its documents), or with one statement that
walks the entries of the table's covering index the condition matches, and combines the answers
as boolean arrays over document numbers. A collection's changes save every key's column in the
database (`save_columns`: runs of columns merged by size, so that a change costs what it
changes), and a search reads the saved column of a key the first time it is asked about, unless
a walk of the few entries the condition matches costs less. Without saved columns (a small
collection), `Columns` walks a key until its walks have handed over about as many documents as
loading its column off the index would cost, then loads it.
"""

from __future__ import annotations

import bisect
import functools
import json
import math
import re
import sqlite3
import struct
import warnings
import zlib
from collections.abc import Iterable, Iterator, Mapping
from typing import Any, TypeAlias

import numpy as np

Scalar: TypeAlias = str | int | float | bool
Value: TypeAlias = Scalar | list[Scalar]
Metadata: TypeAlias = dict[str, Value]

INT64_MIN, INT64_MAX = -(2 ** 63), 2 ** 63 - 1

INDEX_TABLE = "metadata_index"
# kind: what a row holds. A scalar value: BOOL (num 0 or 1), NUMBER (num) or STR (text); a list:
# LIST (text, the canonical form of the whole list) and one row per item, of the item's kind
# plus ITEM. `num` has no declared type, so that ints stay 64-bit integers beside floats.
BOOL, NUMBER, STR, LIST, ITEM = 0, 1, 2, 3, 4
INDEX_SCHEMA = f"""
CREATE TABLE IF NOT EXISTS {INDEX_TABLE} (
    doc INTEGER NOT NULL,
    key TEXT NOT NULL,
    kind INTEGER NOT NULL,
    num,
    text TEXT
);
CREATE INDEX IF NOT EXISTS {INDEX_TABLE}_doc ON {INDEX_TABLE} (doc);
CREATE INDEX IF NOT EXISTS {INDEX_TABLE}_num ON {INDEX_TABLE} (key, kind, num, doc);
CREATE INDEX IF NOT EXISTS {INDEX_TABLE}_text ON {INDEX_TABLE} (key, kind, text, doc);
"""

_KINDS = "a str, int, float or bool"
# SQLite allows 32766 bound parameters a statement; stay far below.
_IN_CHUNK = 500


# -- values ---------------------------------------------------------------------------------

def _scalar(value: Any, where: str) -> Scalar:
    if type(value) is bool:
        return value
    if isinstance(value, int):
        if not INT64_MIN <= value <= INT64_MAX:
            raise ValueError(f"{where}: int {value} does not fit in 64 bits")
        return int(value)
    if isinstance(value, float):
        if not math.isfinite(value):
            raise ValueError(f"{where}: numbers must be finite, got {value!r}")
        return float(value)
    if isinstance(value, str):
        try:
            value.encode("utf-8")
        except UnicodeEncodeError:
            raise ValueError(f"{where}: str {value!r} is not valid Unicode") from None
        return str(value)
    raise ValueError(f"{where}: expected {_KINDS} or a list of those, got {type(value).__name__}")


def _value(value: Any, where: str) -> Value:
    if isinstance(value, (list, tuple)):
        items = []
        for item in value:
            if isinstance(item, (list, tuple)):
                raise ValueError(f"{where}: list items must be {_KINDS}, got {type(item).__name__}")
            items.append(_scalar(item, where))
        return items
    return _scalar(value, where)


def check_metadata(metadata: Mapping[str, Any] | None) -> Metadata:
    """`metadata` as a plain dict of plain values (tuples become lists), or ValueError naming the
    first key that is not allowed or holds a value that is not."""
    if metadata is None:
        return {}
    if not isinstance(metadata, Mapping):
        raise ValueError(f"metadata must be a mapping, got {type(metadata).__name__}")
    out: Metadata = {}
    for key, value in metadata.items():
        if not isinstance(key, str) or not key:
            raise ValueError(f"metadata keys must be non-empty strs, got {key!r}")
        if key.startswith("$"):
            raise ValueError(f"metadata key {key!r} must not start with '$'")
        out[_scalar(key, f"metadata key {key!r}")] = _value(value, f"metadata {key!r}")
    return out


def metadata_json(metadata: Mapping[str, Value]) -> str | None:
    """The stored form of checked metadata: JSON with its keys sorted, or None when there is
    none. Two metadata are the same when their stored forms are (True is not 1 here, unlike
    with ==)."""
    if not metadata:
        return None
    return json.dumps(metadata, ensure_ascii=False, allow_nan=False, sort_keys=True)


def metadata_from_json(text: str | None) -> Metadata:
    return json.loads(text) if text else {}


def _canonical(item: Scalar) -> str:
    """A text for a list item, equal for two items exactly when they match each other."""
    if type(item) is bool:
        return "true" if item else "false"
    if isinstance(item, float) and item.is_integer():
        return str(int(item))
    if isinstance(item, (int, float)):
        return repr(item)
    return json.dumps(item, ensure_ascii=False)


def _list_text(items: list[Scalar]) -> str:
    return "[" + ",".join(map(_canonical, items)) + "]"


def _columns(item: Scalar) -> tuple[int, int | float | None, str | None]:
    """(kind, num, text) of a scalar in the side table."""
    if type(item) is bool:
        return BOOL, int(item), None
    if isinstance(item, (int, float)):
        return NUMBER, item, None
    return STR, None, item


def index_rows(doc: int, metadata: Metadata) -> Iterator[tuple[int, str, int, Any, str | None]]:
    """The side-table rows of one document's checked metadata."""
    for key, value in metadata.items():
        if isinstance(value, list):
            yield doc, key, LIST, None, _list_text(value)
            for item in value:
                kind, num, text = _columns(item)
                yield doc, key, kind + ITEM, num, text
        else:
            yield doc, key, *_columns(value)


def write_index(conn: sqlite3.Connection, docs: Iterable[tuple[int, Metadata]]) -> None:
    """Replace the side-table rows of these documents (numbers and checked metadata); part of the
    caller's transaction."""
    docs = list(docs)
    drop_index(conn, (doc for doc, _ in docs))
    conn.executemany(f"INSERT INTO {INDEX_TABLE} VALUES (?, ?, ?, ?, ?)",
                     (row for doc, meta in docs for row in index_rows(doc, meta)))


def drop_index(conn: sqlite3.Connection, docs: Iterable[int]) -> None:
    conn.executemany(f"DELETE FROM {INDEX_TABLE} WHERE doc = ?", ((doc,) for doc in docs))


# -- columns: the side table's rows of one key and kind, in memory ---------------------------

def _compact(docs: np.ndarray) -> np.ndarray:
    """Document numbers as int32 when they all fit (half the memory of int64)."""
    if docs.dtype == np.int32 or not docs.size or docs.max() > np.iinfo(np.int32).max:
        return docs
    return docs.astype(np.int32)


def _decimal_list(text: str | None) -> np.ndarray:
    # A decimal list is the cheapest way out of SQLite for many values (fetching them one a
    # row costs about six times as much); int64 text is parsed exactly.
    return np.fromstring(text, dtype=np.int64, sep=",") if text else np.zeros(0, np.int64)


def groups_statement(kind: int) -> str:
    """The statement that loads the rows of one key and kind (bound: key, kind) held as groups
    (bools, strs, list texts), as one row: the count of each distinct value in order, the
    length of each in UTF-8 bytes, the values written one after the other, and the documents of
    each. One row of four texts costs a third less than a row per value, and one buffer of
    1,000,000 distinct paths a third of the memory of as many Python strs. The four aggregates
    read the same rows of the ordered subquery, one at a time (SQLite runs it as a co-routine,
    or sorts its rows first when no index serves), so their items line up."""
    column = "num" if kind % ITEM == BOOL else "text"
    return ("SELECT group_concat(n), group_concat(size), group_concat(value, ''), "
            "group_concat(docs) FROM (SELECT count(*) AS n, "
            f"length(CAST({column} AS BLOB)) AS size, "
            f"{column} AS value, group_concat(doc) AS docs FROM {INDEX_TABLE} "
            f"WHERE key = ? AND kind = ? GROUP BY {column} ORDER BY {column})")


def numbers_statements() -> tuple[str, str, str, str]:
    """The statements that load the numbers of one key and kind (bound: key, kind, and a
    scale): the ints with their documents as two decimal lists; the extremes of the numbers
    (least, greatest, least above 0, greatest below 0, each read off the index); the floats
    times the scale, as ints, with their documents as two decimal lists; the floats a row
    each. SQLite writes a float as text with fewer digits than it has, so a float travels as
    text only as an int: times a power of two that makes every float of the column a whole
    number below 2**63, when there is one."""
    rows = f"FROM {INDEX_TABLE} WHERE key = ?1 AND kind = ?2"
    extremes = ", ".join(f"(SELECT {f}(num) {rows}{c})" for f, c in
                         [("min", ""), ("max", ""), ("min", " AND num > 0"), ("max", " AND num < 0")])
    return (f"SELECT group_concat(num), group_concat(doc) {rows} AND typeof(num) = 'integer'",
            f"SELECT {extremes}",
            "SELECT group_concat(CAST(num * ?3 AS INTEGER)), group_concat(doc) "
            f"{rows} AND typeof(num) = 'real'",
            f"SELECT num, doc {rows} AND typeof(num) = 'real'")


class _Column:
    """The documents of the side-table rows of one key and kind, ordered by value, so that the
    documents of one value, or of a range of values, are one slice."""

    last: int  # the highest document number in the column, -1 when it is empty

    def select(self, test: str, operand: Any) -> Iterator[np.ndarray]:
        """The documents whose value passes `test` (they may repeat): "all"; "in", equal to
        one of the operands (a tuple); or a comparison ("$gt", "$gte", "$lt", "$lte")."""
        raise NotImplementedError

    def nbytes(self) -> int:
        raise NotImplementedError

    def arrays(self) -> dict[str, np.ndarray]:
        """The arrays that make the column, for `from_arrays` of its class."""
        raise NotImplementedError


class _Texts:
    """Distinct values in order, as bytes: one UTF-8 buffer (uint8) and where each value ends.
    A sequence for `bisect`."""

    def __init__(self, buffer: np.ndarray, ends: np.ndarray):
        self.buffer, self.ends = buffer, ends

    def __len__(self) -> int:
        return self.ends.size

    def __getitem__(self, i: int) -> bytes:
        return self.buffer[self.ends[i - 1] if i else 0:self.ends[i]].tobytes()


class _Groups(_Column):
    """Strs, list texts or bools: the distinct values in order (keyed by their text in UTF-8,
    bools as b"0" and b"1"), and the documents of the i-th at docs[starts[i]:starts[i + 1]]."""

    def __init__(self, buffer: np.ndarray, ends: np.ndarray, starts: np.ndarray, docs: np.ndarray):
        self.values = _Texts(buffer, ends)
        self.starts = starts
        self.last = int(docs.max()) if docs.size else -1
        self.docs = _compact(docs)

    @classmethod
    def load(cls, conn: sqlite3.Connection, key: str, kind: int) -> _Groups:
        """The column of `key` and `kind`, read off the side table's index."""
        counts, sizes, values, docs = conn.execute(groups_statement(kind), (key, kind)).fetchone()
        counts = _decimal_list(counts)
        starts = np.zeros(counts.size + 1, dtype=np.int64)
        np.cumsum(counts, out=starts[1:])
        return cls(np.frombuffer((values or "").encode("utf-8"), dtype=np.uint8),
                   np.cumsum(_decimal_list(sizes)), starts, _decimal_list(docs))

    @classmethod
    def of(cls, values: list[bytes], docs: list[int]) -> _Groups:
        """The column of pairs (values[i], docs[i]), given in any order."""
        order = sorted(range(len(values)), key=values.__getitem__)
        distinct: list[bytes] = []
        counts: list[int] = []
        for i in order:
            if not distinct or values[i] != distinct[-1]:
                distinct.append(values[i])
                counts.append(0)
            counts[-1] += 1
        starts = np.zeros(len(counts) + 1, dtype=np.int64)
        np.cumsum(np.array(counts, dtype=np.int64), out=starts[1:])
        return cls(np.frombuffer(b"".join(distinct), dtype=np.uint8),
                   np.cumsum([len(v) for v in distinct], dtype=np.int64), starts,
                   np.array([docs[i] for i in order], dtype=np.int64))

    def arrays(self) -> dict[str, np.ndarray]:
        return {"buffer": self.values.buffer, "ends": self.values.ends, "starts": self.starts,
                "docs": self.docs}

    @classmethod
    def from_arrays(cls, arrays: Mapping[str, np.ndarray]) -> _Groups:
        """The column `arrays()` gave, checked so that every slice it hands out is in bounds
        and every document number is one (the order of the values is trusted: a wrong one
        gives wrong answers, not a fault)."""
        buffer, ends, starts, docs = (_array(arrays, name, kinds) for name, kinds in
                                      [("buffer", "u1"), ("ends", "i8"), ("starts", "i8"),
                                       ("docs", "i4 i8")])
        if (starts.size != ends.size + 1 or starts[0] != 0 or starts[-1] != docs.size
                or (np.diff(starts) <= 0).any() or (ends.size and (ends[0] < 0 or ends[-1] != buffer.size))
                or (np.diff(ends) < 0).any() or (docs.size and docs.min() < 0)):
            raise _Damaged("a column of values whose parts do not fit together")
        return cls(buffer, ends, starts, docs)

    def _slice(self, first: int, last: int) -> np.ndarray:
        return self.docs[self.starts[first]:self.starts[last]]

    def select(self, test, operand):
        # SQLite orders strs by their UTF-8 bytes (Python orders strs by code point, the same
        # order): the bisections over the bytes find SQLite's order.
        values = self.values
        if test == "all":
            yield self.docs
        elif test == "in":
            for value in operand:
                value = str(value).encode("utf-8")
                i = bisect.bisect_left(values, value)
                if i < len(values) and values[i] == value:
                    yield self._slice(i, i + 1)
        elif test in ("$gt", "$lte"):
            i = bisect.bisect_right(values, operand.encode("utf-8"))
            yield self._slice(i, len(values)) if test == "$gt" else self._slice(0, i)
        else:
            i = bisect.bisect_left(values, operand.encode("utf-8"))
            yield self._slice(i, len(values)) if test == "$gte" else self._slice(0, i)

    def nbytes(self):
        return (self.docs.nbytes + self.starts.nbytes + self.values.buffer.nbytes
                + self.values.ends.nbytes)


class _Numbers(_Column):
    """Numbers, the ints and the floats apart, each sorted with their documents. An operand of
    the other type is placed among an array's values exactly, without a conversion that rounds."""

    def __init__(self, ints: np.ndarray, int_docs: np.ndarray, floats: np.ndarray,
                 float_docs: np.ndarray):
        self.ints, int_docs = self._sorted(ints, int_docs)
        self.floats, float_docs = self._sorted(floats, float_docs)
        self.last = max([-1, *(int(d.max()) for d in (int_docs, float_docs) if d.size)])
        self.int_docs, self.float_docs = _compact(int_docs), _compact(float_docs)

    @classmethod
    def load(cls, conn: sqlite3.Connection, key: str, kind: int) -> _Numbers:
        """The column of `key` and `kind`, read off the side table's index."""
        ints_statement, extremes_statement, scaled_statement, rows_statement = numbers_statements()
        nums, docs = conn.execute(ints_statement, (key, kind)).fetchone()
        ints, int_docs = _decimal_list(nums), _decimal_list(docs)
        exponent = cls._whole_exponent(conn.execute(extremes_statement, (key, kind)).fetchone())
        if exponent is not None:  # a third faster than a row each (bench/README.md)
            nums, docs = conn.execute(scaled_statement, (key, kind, 2.0 ** exponent)).fetchone()
            floats = np.ldexp(_decimal_list(nums).astype(np.float64), -exponent)
            float_docs = _decimal_list(docs)
        else:
            rows = np.fromiter(conn.execute(rows_statement, (key, kind)),
                               dtype=[("num", np.float64), ("doc", np.int64)])
            floats, float_docs = rows["num"], rows["doc"]
        return cls(ints, int_docs, floats, float_docs)

    @classmethod
    def of(cls, nums: list[int | float], docs: list[int]) -> _Numbers:
        """The column of pairs (nums[i], docs[i]), given in any order."""
        is_int = [isinstance(x, int) for x in nums]
        ints = np.array([x for x, i in zip(nums, is_int) if i], dtype=np.int64)
        floats = np.array([x for x, i in zip(nums, is_int) if not i], dtype=np.float64)
        int_docs = np.array([d for d, i in zip(docs, is_int) if i], dtype=np.int64)
        float_docs = np.array([d for d, i in zip(docs, is_int) if not i], dtype=np.int64)
        return cls(ints, int_docs, floats, float_docs)

    def arrays(self) -> dict[str, np.ndarray]:
        return {"ints": self.ints, "int_docs": self.int_docs, "floats": self.floats,
                "float_docs": self.float_docs}

    @classmethod
    def from_arrays(cls, arrays: Mapping[str, np.ndarray]) -> _Numbers:
        """The column `arrays()` gave, checked: values and documents pair up, every document
        number is one, no float is NaN (the values are sorted again if they are not)."""
        ints, int_docs, floats, float_docs = (
            _array(arrays, name, kinds) for name, kinds in
            [("ints", "i8"), ("int_docs", "i4 i8"), ("floats", "f8"), ("float_docs", "i4 i8")])
        if (ints.size != int_docs.size or floats.size != float_docs.size
                or any(d.size and d.min() < 0 for d in (int_docs, float_docs))
                or np.isnan(floats).any()):
            raise _Damaged("a column of numbers whose parts do not fit together")
        return cls(ints, int_docs, floats, float_docs)

    @staticmethod
    def _whole_exponent(extremes: tuple[Any, Any, Any, Any]) -> int | None:
        """An e such that every number between the extremes, times 2**e, is a whole number
        below 2**63 in magnitude (exact in a double, and written exactly by SQLite), or None.
        A normal float x is a multiple of 2**(frexp(x)[1] - 53), and so is any float of larger
        magnitude: the smallest magnitude sets e, the largest must stay below 2**63. (An int
        extreme goes through float(), which may round it up to a power of two: no float lies
        between the int and that power, so the bound holds for the floats.)"""
        least, greatest, least_above, greatest_below = extremes
        if least is None:  # no numbers
            return 0
        small = [abs(x) for x in (least_above, greatest_below) if x is not None]
        if not small:  # zeros only
            return 0
        exponent = 53 - math.frexp(min(small))[1]
        if not -1000 < exponent < 1000 or math.frexp(max(-least, greatest))[1] + exponent > 63:
            return None  # subnormals, or magnitudes too far apart
        return exponent

    @staticmethod
    def _sorted(values: np.ndarray, docs: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        # The index hands them over sorted already; checking costs a fraction of sorting.
        if values.size > 1 and not (values[1:] >= values[:-1]).all():
            order = np.argsort(values, kind="stable")
            values, docs = values[order], docs[order]
        return values, np.ascontiguousarray(docs)

    def _counts(self, x: int | float) -> tuple[int, int, int, int]:
        """(ints below x, ints at most x, floats below x, floats at most x), exactly."""
        ints, floats = self.ints, self.floats
        if isinstance(x, int):
            i_lo, i_hi = (int(np.searchsorted(ints, x, side)) for side in ("left", "right"))
            f = float(x)
            if int(f) == x:
                f_lo, f_hi = (int(np.searchsorted(floats, f, side)) for side in ("left", "right"))
            else:  # x lies between f and the float next to it on x's side: no float equals x
                f_lo = f_hi = int(np.searchsorted(floats, f, "left" if f > x else "right"))
            return i_lo, i_hi, f_lo, f_hi
        f_lo, f_hi = (int(np.searchsorted(floats, x, side)) for side in ("left", "right"))
        if x >= 2.0 ** 63:
            i_lo = i_hi = ints.size
        elif x < -(2.0 ** 63):
            i_lo = i_hi = 0
        elif x.is_integer():
            i_lo, i_hi = (int(np.searchsorted(ints, int(x), side)) for side in ("left", "right"))
        else:  # no int equals x; the ints below it are those at most its floor
            i_lo = i_hi = int(np.searchsorted(ints, math.floor(x), "right"))
        return i_lo, i_hi, f_lo, f_hi

    def select(self, test, operand):
        if test == "all":
            yield self.int_docs
            yield self.float_docs
            return
        for x in operand if test == "in" else (operand,):
            i_lo, i_hi, f_lo, f_hi = self._counts(x)
            if test == "in":
                yield self.int_docs[i_lo:i_hi]
                yield self.float_docs[f_lo:f_hi]
            elif test in ("$lt", "$lte"):
                yield self.int_docs[:i_lo if test == "$lt" else i_hi]
                yield self.float_docs[:f_lo if test == "$lt" else f_hi]
            else:
                yield self.int_docs[i_hi if test == "$gt" else i_lo:]
                yield self.float_docs[f_hi if test == "$gt" else f_lo:]

    def nbytes(self):
        return sum(a.nbytes for a in (self.ints, self.int_docs, self.floats, self.float_docs))


# -- walks: the entries of one condition, read off the covering index ----------------------

_SQL_COMPARISONS = {"$gt": ">", "$gte": ">=", "$lt": "<", "$lte": "<="}


def walk_statement(kind: int, test: str, count: int = 1) -> str:
    """The statement that hands over, as one decimal list, the documents of the side-table rows
    of one key and kind whose value passes `test` (see `_Column.select`; "in" with `count`
    operands). Bound: key, kind, then the operands. It reads only the index entries it
    matches: a condition that keeps 1% of the documents costs 1% of a walk over all of them."""
    return f"SELECT group_concat(doc) {_matching_rows(kind, test, count)}"


def count_statement(kind: int, test: str, count: int = 1) -> str:
    """The statement that counts the entries `walk_statement` would hand over, up to a limit
    (bound after the operands)."""
    return f"SELECT count(*) FROM (SELECT 1 {_matching_rows(kind, test, count)} LIMIT ?)"


def _matching_rows(kind: int, test: str, count: int) -> str:
    column = "text" if kind % ITEM in (STR, LIST) else "num"
    if test == "all":
        condition = ""
    elif test == "in":
        condition = f" AND {column} IN ({','.join('?' * count)})"
    else:
        condition = f" AND {column} {_SQL_COMPARISONS[test]} ?"
    return f"FROM {INDEX_TABLE} WHERE key = ? AND kind = ?{condition}"


def _walk(conn: sqlite3.Connection, key: str, kind: int, test: str,
          operand: Any) -> Iterator[np.ndarray]:
    """The documents a condition's walks find (they may repeat); `operand` as in
    `_Column.select`."""
    if test == "in":
        for start in range(0, len(operand), _IN_CHUNK):
            chunk = tuple(operand[start:start + _IN_CHUNK])
            yield _decimal_list(conn.execute(walk_statement(kind, test, len(chunk)),
                                             (key, kind, *chunk)).fetchone()[0])
    else:
        params = (key, kind) if test == "all" else (key, kind, operand)
        yield _decimal_list(conn.execute(walk_statement(kind, test), params).fetchone()[0])


# Ints and floats that neighbour each other where a double has no room for every int: between
# 2**53 and 2**63 and beyond, either sign.
_EDGES = (2 ** 53, 2 ** 53 + 1, 2.0 ** 53, 2.0 ** 53 + 2, 2 ** 63 - 1, 2.0 ** 63, -(2 ** 63),
          -(2 ** 63) + 1, -(2.0 ** 63), -(2.0 ** 64), 2.0 ** 64, 0.5, -0.0, 1)


@functools.cache
def sql_orders_numbers_exactly() -> bool:
    """Whether this SQLite compares an int with a float exactly, both when it seeks in an index
    and when it tests a row (SQLite 3.40 does; a build that converts the int to a double would
    find 2**53 + 1 equal to 2.0**53). Asked once, of a small table in memory; when the answer
    is no, conditions on numbers are answered from columns, which compare exactly."""
    conn = sqlite3.connect(":memory:")
    try:
        conn.execute("CREATE TABLE edges (num)")
        conn.executemany("INSERT INTO edges VALUES (?)", ((x,) for x in _EDGES))
        conn.execute("CREATE INDEX edges_num ON edges (num)")
        for x in _EDGES:
            expected = [sum(1 for y in _EDGES if test(y, x)) for test in
                        (lambda a, b: a < b, lambda a, b: a == b, lambda a, b: a > b)]
            for table in ("edges INDEXED BY edges_num", "edges NOT INDEXED"):
                found = [conn.execute(f"SELECT count(*) FROM {table} WHERE num {op} ?",
                                      (x,)).fetchone()[0] for op in ("<", "=", ">")]
                if found != expected:
                    return False
        return True
    finally:
        conn.close()


# -- saved columns: every key's column, kept in the database beside the side table ----------

RUNS_TABLE = "metadata_runs"
RUN_COLUMNS_TABLE = "metadata_run_columns"
SAVED_AT_TABLE = "metadata_runs_saved_at"
#: The documents whose side-table entries a change rewrites or drops, noted by the change's
#: statements (a table of the connection's own, emptied by `save_columns`).
TOUCHED_TABLE = "temp.metadata_touched"
# The columns are saved as runs, each the columns of a set of documents as their metadata was
# when the run was saved: run 0 those of every document then, each later run those of the
# documents changed since the run before (a document's entries in earlier runs no longer
# count). Every change ends with `save_columns`, which saves the documents it noted as a new
# run and writes the number of the state it leaves (the collection's generation) beside the
# runs; a reader uses them only at that state, so that a change by a writer that does not save
# columns leaves them unused until the next change saves them all again.
SAVED_SCHEMA = (
    f"CREATE TABLE IF NOT EXISTS {RUNS_TABLE} (run INTEGER PRIMARY KEY, size INTEGER NOT NULL, "
    "docs BLOB NOT NULL)",
    f"CREATE TABLE IF NOT EXISTS {RUN_COLUMNS_TABLE} (run INTEGER NOT NULL, key TEXT NOT NULL, "
    "kind INTEGER NOT NULL, body BLOB NOT NULL, PRIMARY KEY (run, key, kind))",
    f"CREATE TABLE IF NOT EXISTS {SAVED_AT_TABLE} (generation INTEGER NOT NULL)",
)
#: Columns are saved once the side table has had this many entries: below it a walk of half of
#: them costs a few ms.
SAVE_FROM_ENTRIES = 100_000
# A run is merged with the newer one while it covers at most this many times its documents
# (the newer run made again from the side table, or every column when the older is run 0): a
# logarithmic number of runs, and a change costs what it changes plus, on average, a constant
# share of the merges (the BM25 term tables merge the same way).
_MERGE_RATIO = 4


class _Damaged(Exception):
    """A saved column or run that does not read back as written."""


def _array(arrays: Mapping[str, np.ndarray], name: str, types: str) -> np.ndarray:
    """arrays[name], checked to be one-dimensional of one of `types` ("i8", "f8", ...)."""
    array = arrays.get(name)
    if (not isinstance(array, np.ndarray) or array.ndim != 1
            or f"{array.dtype.kind}{array.dtype.itemsize}" not in types.split()):
        raise _Damaged(f"no one-dimensional array {name!r} of the expected type")
    return array


def _column_class(kind: int) -> type[_Groups] | type[_Numbers]:
    return _Numbers if kind % ITEM == NUMBER else _Groups


def prepare_saved_columns(conn: sqlite3.Connection) -> None:
    """Creates the tables of the saved columns where they are missing (a database made before
    they existed) and an empty note of touched documents; part of a change's transaction,
    before its statements."""
    for statement in SAVED_SCHEMA:
        conn.execute(statement)
    conn.execute(f"CREATE TEMP TABLE IF NOT EXISTS {TOUCHED_TABLE.split('.')[1]} "
                 "(doc INTEGER PRIMARY KEY)")
    conn.execute(f"DELETE FROM {TOUCHED_TABLE}")


def save_columns(conn: sqlite3.Connection, generation: int) -> None:
    """Saves the columns of the documents noted in `TOUCHED_TABLE` as a new run, or every
    column when the runs saved are not those of the state before (`generation` - 1), and marks
    them as of `generation`; part of the change's transaction, after its statements."""
    touched = _decimal_list(conn.execute(f"SELECT group_concat(doc) FROM {TOUCHED_TABLE}").fetchone()[0])
    conn.execute(f"DELETE FROM {TOUCHED_TABLE}")
    runs = conn.execute(f"SELECT run, size FROM {RUNS_TABLE} ORDER BY run").fetchall()
    if runs and _saved_at(conn) != generation - 1:
        _drop_runs(conn, 0)
        runs = []
    if not runs:
        entries = conn.execute(f"SELECT max(rowid) FROM {INDEX_TABLE}").fetchone()[0] or 0
        if entries >= SAVE_FROM_ENTRIES:
            _save_every_column(conn)
    elif touched.size:
        _save_touched(conn, runs, touched)
    conn.execute(f"DELETE FROM {SAVED_AT_TABLE}")
    conn.execute(f"INSERT INTO {SAVED_AT_TABLE} VALUES (?)", (generation,))


def _saved_at(conn: sqlite3.Connection) -> int | None:
    row = conn.execute(f"SELECT generation FROM {SAVED_AT_TABLE}").fetchone()
    return row[0] if row else None


def _save_touched(conn: sqlite3.Connection, runs: list[tuple[int, int]], touched: np.ndarray) -> None:
    """Saves the touched documents as a run after `runs` (run, size), and merges."""
    runs.append((runs[-1][0] + 1, _save_run(conn, runs[-1][0] + 1, touched)))
    while len(runs) >= 2 and runs[-2][1] <= _MERGE_RATIO * runs[-1][1]:
        if len(runs) == 2:
            _save_every_column(conn)
            return
        (older, _), (newer, _) = runs[-2:]
        docs = np.union1d(*(_run_docs(conn, run) for run in (older, newer)))
        _drop_runs(conn, older)
        runs[-2:] = [(older, _save_run(conn, older, docs))]


def _save_every_column(conn: sqlite3.Connection) -> None:
    """Saves the column of every key and kind as run 0, in place of every run."""
    _drop_runs(conn, 0)
    bound = (conn.execute(f"SELECT max(doc) FROM {INDEX_TABLE}").fetchone()[0] or 0) + 1
    covered = np.zeros(bound, dtype=bool)
    for key, kind in _keys_and_kinds(conn):
        column = _column_class(kind).load(conn, key, kind)
        for docs in column.select("all", None):
            covered[docs] = True
        _save_column(conn, 0, key, kind, column)
    conn.execute(f"INSERT INTO {RUNS_TABLE} VALUES (0, ?, ?)", (int(covered.sum()), b""))


def _save_run(conn: sqlite3.Connection, run: int, docs: np.ndarray) -> int:
    """Saves the columns of documents `docs` (ascending) as run `run`; returns its size."""
    entries: dict[tuple[str, int], tuple[list[Any], list[int]]] = {}
    for start in range(0, docs.size, _IN_CHUNK):
        part = docs[start:start + _IN_CHUNK].tolist()
        for doc, key, kind, num, text in conn.execute(
                f"SELECT doc, key, kind, num, text FROM {INDEX_TABLE} "
                f"WHERE doc IN ({','.join('?' * len(part))})", part):
            values, owners = entries.setdefault((key, kind), ([], []))
            values.append(num if kind % ITEM == NUMBER else
                          (text.encode("utf-8") if text is not None else b"%d" % num))
            owners.append(doc)
    for (key, kind), (values, owners) in entries.items():
        _save_column(conn, run, key, kind, _column_class(kind).of(values, owners))
    conn.execute(f"INSERT INTO {RUNS_TABLE} VALUES (?, ?, ?)",
                 (run, docs.size, docs.astype("<i8").tobytes()))
    return docs.size


def _save_column(conn: sqlite3.Connection, run: int, key: str, kind: int, column: _Column) -> None:
    conn.execute(f"INSERT INTO {RUN_COLUMNS_TABLE} VALUES (?, ?, ?, ?)",
                 (run, key, kind, _body(column.arrays())))


# A saved column's body: _BODY_MAGIC, the length of a JSON header, the header (a list of
# [name, dtype, count]), the arrays in that order each at a multiple of 8 bytes, and the Adler-32
# of everything before it. Read back, the arrays are views of the body (no copy).
_BODY_MAGIC = b"QVCOL1\0\0"
_BODY_TYPES = frozenset({"<i8", "<i4", "<f8", "|u1"})


def _body(arrays: Mapping[str, np.ndarray]) -> bytes:
    header = json.dumps([[name, a.dtype.str, a.size] for name, a in arrays.items()]).encode()
    parts = [_BODY_MAGIC, struct.pack("<Q", len(header)), header]
    size = sum(map(len, parts))
    for array in arrays.values():
        parts.append(bytes(-size % 8))
        parts.append(np.ascontiguousarray(array).tobytes())
        size += len(parts[-2]) + len(parts[-1])
    data = b"".join(parts)
    return data + struct.pack("<I", zlib.adler32(data))


def _unbody(body: Any) -> dict[str, np.ndarray]:
    """The arrays of a body `_body` wrote, every part checked before it is used."""
    if (not isinstance(body, bytes) or len(body) < 20 or not body.startswith(_BODY_MAGIC)
            or zlib.adler32(memoryview(body)[:-4]) != struct.unpack("<I", body[-4:])[0]):
        raise _Damaged("a saved column fails its checksum")
    (length,) = struct.unpack_from("<Q", body, 8)
    try:
        header = json.loads(body[16:16 + length])
    except ValueError:  # UnicodeDecodeError included
        raise _Damaged("a saved column has no readable header") from None
    arrays: dict[str, np.ndarray] = {}
    offset, end = 16 + length, len(body) - 4
    for entry in header if isinstance(header, list) else [None]:
        if not (isinstance(entry, list) and len(entry) == 3 and isinstance(entry[0], str)
                and entry[1] in _BODY_TYPES and type(entry[2]) is int and entry[2] >= 0):
            raise _Damaged("a saved column's header is not a list of arrays")
        name, dtype, count = entry
        offset += -offset % 8
        if offset + count * np.dtype(dtype).itemsize > end:
            raise _Damaged("a saved column is shorter than its header says")
        arrays[name] = np.frombuffer(body, dtype=dtype, count=count, offset=offset)
        offset += count * np.dtype(dtype).itemsize
    return arrays


def _drop_runs(conn: sqlite3.Connection, first: int) -> None:
    conn.execute(f"DELETE FROM {RUN_COLUMNS_TABLE} WHERE run >= ?", (first,))
    conn.execute(f"DELETE FROM {RUNS_TABLE} WHERE run >= ?", (first,))


def _run_docs(conn: sqlite3.Connection, run: int) -> np.ndarray:
    return _checked_docs(conn.execute(f"SELECT docs FROM {RUNS_TABLE} WHERE run = ?",
                                      (run,)).fetchone()[0])


def _checked_docs(blob: Any) -> np.ndarray:
    if not isinstance(blob, bytes) or len(blob) % 8:
        raise _Damaged("a run's documents are not a list of 64-bit numbers")
    docs = np.frombuffer(blob, dtype="<i8")
    if docs.size and docs.min() < 0:
        raise _Damaged("a run names a negative document number")
    return docs


def _keys_and_kinds(conn: sqlite3.Connection) -> list[tuple[str, int]]:
    """The distinct (key, kind) pairs of the side table, one search of its index each."""
    found: list[tuple[str, int]] = []
    statement = f"SELECT key, kind FROM {INDEX_TABLE} ORDER BY key, kind LIMIT 1"
    row = conn.execute(statement).fetchone()
    while row is not None:
        found.append(row)
        row = conn.execute(f"SELECT key, kind FROM {INDEX_TABLE} WHERE (key, kind) > (?, ?) "
                           "ORDER BY key, kind LIMIT 1", row).fetchone()
    return found


class _Saved:
    """The saved columns of one state of the side table, read as asked for."""

    def __init__(self, runs: list[int], later_docs: list[np.ndarray]):
        self._runs = runs
        self._later_docs = later_docs  # the documents of every run after run 0
        self._columns: dict[tuple[int, str, int], _Column | None] = {}
        self._owners: tuple[int, np.ndarray] | None = None

    @classmethod
    def read(cls, conn: sqlite3.Connection, generation: int) -> _Saved | None:
        """The saved columns, or None when there are none or they are not those of state
        `generation` (see `SAVED_SCHEMA`)."""
        if conn.execute("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?",
                        (SAVED_AT_TABLE,)).fetchone() is None or _saved_at(conn) != generation:
            return None
        rows = conn.execute(f"SELECT run, docs FROM {RUNS_TABLE} ORDER BY run").fetchall()
        if not rows:
            return None
        if rows[0][0] != 0:
            raise _Damaged("the saved columns have no run 0")
        return cls([run for run, _ in rows], [_checked_docs(docs) for _, docs in rows[1:]])

    def select(self, conn: sqlite3.Connection, key: str, kind: int, test: str, operand: Any,
               bound: int) -> list[np.ndarray]:
        owners = self._owners_below(bound)
        found = []
        for position, run in enumerate(self._runs):
            column = self._column(conn, run, key, kind)
            if column is None:
                continue
            for docs in column.select(test, operand):
                if column.last >= bound:
                    docs = docs[docs < bound]
                found.append(docs if owners is None else docs[owners[docs] == position])
        return found

    def _owners_below(self, bound: int) -> np.ndarray | None:
        """The position of the run that holds each document's entries (None: all in run 0)."""
        if not self._later_docs:
            return None
        if self._owners is None or self._owners[0] != bound:
            owners = np.zeros(bound, dtype=np.int32)
            for position, docs in enumerate(self._later_docs, 1):
                owners[docs[docs < bound]] = position
            self._owners = (bound, owners)
        return self._owners[1]

    def _column(self, conn: sqlite3.Connection, run: int, key: str, kind: int) -> _Column | None:
        if (run, key, kind) not in self._columns:
            row = conn.execute(f"SELECT body FROM {RUN_COLUMNS_TABLE} WHERE run = ? AND key = ? "
                               "AND kind = ?", (run, key, kind)).fetchone()
            self._columns[run, key, kind] = None if row is None else _read_column(kind, row[0])
        return self._columns[run, key, kind]

    def read_before(self, key: str, kind: int) -> bool:
        return any(k == (key, kind) for _, *k in self._columns)

    def body_bytes(self, conn: sqlite3.Connection, key: str, kind: int) -> int:
        """The size of the saved bodies of `key` and `kind`, every run's."""
        return conn.execute(f"SELECT coalesce(sum(length(body)), 0) FROM {RUN_COLUMNS_TABLE} "
                            "WHERE key = ? AND kind = ?", (key, kind)).fetchone()[0]

    def nbytes(self) -> int:
        return sum(c.nbytes() for c in self._columns.values() if c is not None)


def _read_column(kind: int, body: Any) -> _Column:
    return _column_class(kind).from_arrays(_unbody(body))


# Reading a saved column costs about 1.5 ns a byte (up to 4 ns for bodies of tens of MB), a walk
# about 0.12-0.24 us an entry handed over, and counting entries in the index about 0.07 us each
# (AMD EPYC Zen 4, 1,000,000 documents; bench/README.md, "Filters"). A condition walks when it
# matches fewer entries than a quarter of what the read would cost, so that the count, when it
# comes to nothing, adds at most about a sixth to the read.
_SAVED_BYTES_PER_WALKED_ENTRY = 320


def _walk_is_cheaper(conn: sqlite3.Connection, saved: _Saved, key: str, kind: int, test: str,
                     operand: Any) -> bool:
    """Whether a condition not yet read from its saved column matches fewer entries than
    a quarter of reading the column is worth: an equality on a key of many distinct values (a
    path) walks a few entries instead of reading tens of MB. Counted in the index up to that
    number."""
    if (test == "all" or saved.read_before(key, kind)
            or kind % ITEM == NUMBER and not sql_orders_numbers_exactly()):
        return False
    budget = saved.body_bytes(conn, key, kind) // _SAVED_BYTES_PER_WALKED_ENTRY
    operands = operand if test == "in" else (operand,)
    for start in range(0, len(operands), _IN_CHUNK):
        chunk = tuple(operands[start:start + _IN_CHUNK]) if test == "in" else operands
        budget -= conn.execute(count_statement(kind, test, len(chunk)),
                               (key, kind, *chunk, budget + 1)).fetchone()[0]
        if budget < 0:
            return False
    return True


# -- the choice between walks and columns ---------------------------------------------------

WALK, LOAD, WALK_THEN_LOAD = "walk", "load", "walk then load"
# Loading a column of numbers costs about as much as walks handing over 4 documents for each of
# its entries (3.5 for one float a document, measured); one of strs, about 1.
_NUMBER_LOAD_COST = 4


class Columns:
    """How conditions are answered, and the columns loaded to answer them, for one state of the
    side table: its owner clears it whenever the table may have changed.

    Where the database holds the saved columns of that state (`generation`, see `SAVED_SCHEMA`),
    a condition is answered from its key's saved column, read once (1-2 ns a byte: 5 ms for a key
    of strs of 1,000,000 documents, 13 ms for a key of floats), unless it matches fewer entries
    than a quarter of that read is worth, counted in the index first: then it walks them. Damaged
    saved columns are reported once with a RuntimeWarning and the index answers instead.
    Otherwise, the rules below (`policy`) choose between walks and columns loaded off the index.

    A walk of the index answers one condition for what it matches: 0.14-0.24 us a document handed
    over (a few ms for 1% of 1,000,000 documents, about a plain search for half of them). A column
    (the side table's rows of one key and kind, values in order with their documents) answers any
    condition on its key and kind in 1-3 ms, but loading it costs about what walks handing over
    every entry once cost for a key of strs, 4 times that for numbers (0.17-0.29 and 0.55-0.72 us
    an entry; 1.3-1.7 us for a million distinct strs: bench/README.md, "Filters"). With `policy`
    WALK_THEN_LOAD (the default) a key and kind is walked until its walks have handed over more
    documents than the caller searches over (`bound`; 4 times as many for numbers), and loaded when
    asked about after that, like renting until the rent paid reaches the price: a filter asked
    once, as by a command, never loads a column, a selective filter only after about a hundred
    calls, and a key asked about often costs at most about twice what the better of walking and
    loading would have (more for many distinct strs, whose loads cost more). WALK always walks,
    LOAD always loads; all give the same answers."""

    def __init__(self, policy: str = WALK_THEN_LOAD, generation: int | None = None):
        if policy not in (WALK, LOAD, WALK_THEN_LOAD):
            raise ValueError(f"unknown policy {policy!r}")
        self.policy = policy
        self._saved: _Saved | None | bool = None
        self._columns: dict[tuple[str, int], _Column] = {}
        self._walked: dict[tuple[str, int], int] = {}  # documents handed over by walks
        self.clear(generation)

    def clear(self, generation: int | None = None) -> None:
        """Forgets what was read, for the state `generation` of the table (None: a state whose
        saved columns are not to be used)."""
        self._generation = generation
        self._saved = False if generation is not None else None  # False: not read yet
        self._columns.clear()
        self._walked.clear()

    def select(self, conn: sqlite3.Connection, key: str, kind: int, test: str, operand: Any,
               bound: int) -> Iterator[np.ndarray]:
        """The documents below `bound` of the rows of `key` and `kind` that pass `test` (see
        `_Column.select`; they may repeat)."""
        saved = self._saved_columns(conn)
        if saved is not None and not _walk_is_cheaper(conn, saved, key, kind, test, operand):
            try:
                found = saved.select(conn, key, kind, test, operand, bound)
            except _Damaged as error:
                self._damaged(error)
            else:
                yield from found
                return
        if saved is not None:  # a walk of fewer entries than the saved column's bytes are worth
            for docs in _walk(conn, key, kind, test, operand):
                yield docs[docs < bound] if docs.size and docs.max() >= bound else docs
            return
        column = self._columns.get((key, kind))
        if column is None and self._walks(key, kind, test, bound):
            for docs in _walk(conn, key, kind, test, operand):
                self._walked[key, kind] = self._walked.get((key, kind), 0) + docs.size
                yield docs[docs < bound] if docs.size and docs.max() >= bound else docs
            return
        if column is None:
            column = _column_class(kind).load(conn, key, kind)
            self._columns[key, kind] = column
        for docs in column.select(test, operand):
            yield docs[docs < bound] if column.last >= bound else docs  # newer documents

    def _saved_columns(self, conn: sqlite3.Connection) -> _Saved | None:
        if self._saved is False and self._generation is not None:
            try:
                self._saved = _Saved.read(conn, self._generation)
            except _Damaged as error:
                self._damaged(error)
        return self._saved if isinstance(self._saved, _Saved) else None

    def _damaged(self, error: _Damaged) -> None:
        """Answers from the side table's index from now on, for this state of it."""
        self._saved = None
        warnings.warn(f"the saved metadata columns are damaged ({error}); filters read the "
                      "metadata index instead until a change saves them again", RuntimeWarning,
                      stacklevel=2)

    def _walks(self, key: str, kind: int, test: str, bound: int) -> bool:
        if self.policy == LOAD or (kind % ITEM == NUMBER and test != "all"
                                   and not sql_orders_numbers_exactly()):
            return False
        limit = bound * (_NUMBER_LOAD_COST if kind % ITEM == NUMBER else 1)
        return self.policy == WALK or self._walked.get((key, kind), 0) <= limit

    def nbytes(self) -> int:
        """The memory the loaded columns hold, about."""
        saved = self._saved.nbytes() if isinstance(self._saved, _Saved) else 0
        return saved + sum(column.nbytes() for column in self._columns.values())


# -- compiled filters -----------------------------------------------------------------------

class _Node:
    def hits(self, conn: sqlite3.Connection, bound: int, columns: Columns) -> np.ndarray:
        """bool[bound], a new array: which document numbers below `bound` match."""
        raise NotImplementedError


class _Everything(_Node):
    def hits(self, conn, bound, columns):
        return np.ones(bound, dtype=bool)


class _Condition(_Node):
    """Documents with a side-table row of `key` and `kind` whose value passes a test (see
    `_Column.select`)."""

    def __init__(self, key: str, kind: int, test: str, operand: Any = None):
        self.key, self.kind, self.test, self.operand = key, kind, test, operand

    def hits(self, conn, bound, columns):
        out = np.zeros(bound, dtype=bool)
        for docs in columns.select(conn, self.key, self.kind, self.test, self.operand, bound):
            out[docs] = True
        return out


class _Not(_Node):
    def __init__(self, node: _Node):
        self.node = node

    def hits(self, conn, bound, columns):
        out = self.node.hits(conn, bound, columns)
        return np.logical_not(out, out=out)


class _All(_Node):
    def __init__(self, nodes: list[_Node]):
        self.nodes = nodes

    def hits(self, conn, bound, columns):
        out = self.nodes[0].hits(conn, bound, columns)
        for node in self.nodes[1:]:
            if not out.any():
                break
            out &= node.hits(conn, bound, columns)
        return out


class _Any(_Node):
    def __init__(self, nodes: list[_Node]):
        self.nodes = nodes

    def hits(self, conn, bound, columns):
        out = self.nodes[0].hits(conn, bound, columns)
        for node in self.nodes[1:]:
            if out.all():
                break
            out |= node.hits(conn, bound, columns)
        return out


def _all_of(nodes: list[_Node]) -> _Node:
    nodes = [n for n in nodes if not isinstance(n, _Everything)]
    return _Everything() if not nodes else nodes[0] if len(nodes) == 1 else _All(nodes)


def _any_of(nodes: list[_Node]) -> _Node:
    return nodes[0] if len(nodes) == 1 else _Any(nodes)


_COMPARISONS = frozenset({"$gt", "$gte", "$lt", "$lte"})
_KEY_OPERATORS = frozenset({"$eq", "$ne", "$in", "$nin", "$contains", "$exists", "$not",
                            *_COMPARISONS})
_LOGIC = frozenset({"$and", "$or", "$not"})


def _equal(key: str, value: Value) -> _Node:
    if isinstance(value, list):
        return _Condition(key, LIST, "in", (_list_text(value),))
    return _one_of(key, [value])


def _one_of(key: str, values: list[Scalar]) -> _Node:
    """Scalar value equal to one of `values`: one condition per kind."""
    groups: dict[int, list[Any]] = {}
    for value in values:
        kind, num, text = _columns(value)
        groups.setdefault(kind, []).append(text if kind == STR else num)
    return _any_of([_Condition(key, kind, "in", tuple(operands))
                    for kind, operands in groups.items()])


def _in(key: str, op: str, operand: Any) -> _Node:
    where = f"filter {key!r}: {op!r}"
    if not isinstance(operand, (list, tuple)):
        raise ValueError(f"{where} needs a list, got {operand!r}")
    values = [_value(v, where) for v in operand]
    lists = [v for v in values if isinstance(v, list)]
    scalars = [v for v in values if not isinstance(v, list)]
    nodes = [_equal(key, v) for v in lists]
    if scalars:
        nodes.append(_one_of(key, scalars))
    node = _any_of(nodes) if nodes else _Not(_Everything())
    return _Not(node) if op == "$nin" else node


def _compare(key: str, op: str, operand: Any) -> _Node:
    if type(operand) is bool or not isinstance(operand, (int, float, str)):
        raise ValueError(f"filter {key!r}: {op!r} needs a number or a str, got {operand!r}")
    operand = _scalar(operand, f"filter {key!r}: {op!r}")
    kind, num, text = _columns(operand)
    return _Condition(key, kind, op, text if kind == STR else num)


def _contains(key: str, operand: Any) -> _Node:
    if isinstance(operand, (list, tuple)):
        raise ValueError(f"filter {key!r}: '$contains' needs {_KINDS}, got {operand!r}")
    kind, num, text = _columns(_scalar(operand, f"filter {key!r}: '$contains'"))
    return _Condition(key, kind + ITEM, "in", (text if kind == STR else num,))


def _exists(key: str, operand: Any) -> _Node:
    if type(operand) is not bool:
        raise ValueError(f"filter {key!r}: '$exists' needs True or False, got {operand!r}")
    node = _any_of([_Condition(key, kind, "all") for kind in (BOOL, NUMBER, STR, LIST)])
    return node if operand else _Not(node)


def _key_operator(key: str, op: str, operand: Any) -> _Node:
    if op in ("$eq", "$ne"):
        node = _equal(key, _value(operand, f"filter {key!r}: {op!r}"))
        return _Not(node) if op == "$ne" else node
    if op in _COMPARISONS:
        return _compare(key, op, operand)
    if op in ("$in", "$nin"):
        return _in(key, op, operand)
    if op == "$contains":
        return _contains(key, operand)
    if op == "$exists":
        return _exists(key, operand)
    return _Not(_key_condition(key, operand, f"filter {key!r}: '$not'"))  # $not


def _key_condition(key: str, condition: Any, where: str) -> _Node:
    if not isinstance(condition, Mapping):
        return _equal(key, _value(condition, f"filter {key!r}"))
    if not condition:
        raise ValueError(f"{where} has no operators")
    nodes = []
    for op, operand in condition.items():
        if op not in _KEY_OPERATORS:
            raise ValueError(f"filter {key!r}: unknown operator {op!r}")
        nodes.append(_key_operator(key, op, operand))
    return _all_of(nodes)


def _logic(op: str, operand: Any) -> _Node:
    if op == "$not":
        if not isinstance(operand, Mapping):
            raise ValueError(f"filter '$not' needs a filter (a mapping), got {operand!r}")
        return _Not(_node(operand))
    if not isinstance(operand, (list, tuple)) or not operand:
        raise ValueError(f"filter {op!r} needs a non-empty list of filters, got {operand!r}")
    nodes = []
    for part in operand:
        if not isinstance(part, Mapping):
            raise ValueError(f"filter {op!r} needs a non-empty list of filters, got {part!r} in it")
        nodes.append(_node(part))
    return _all_of(nodes) if op == "$and" else _any_of(nodes)


def _node(where: Mapping[str, Any]) -> _Node:
    nodes = []
    for key, condition in where.items():
        if not isinstance(key, str) or not key:
            raise ValueError(f"filter keys must be non-empty strs, got {key!r}")
        if key.startswith("$"):
            if key not in _LOGIC:
                raise ValueError(f"filter: unknown operator {key!r}")
            nodes.append(_logic(key, condition))
        else:
            nodes.append(_key_condition(key, condition, f"filter {key!r}"))
    return _all_of(nodes)


class Filter:
    """A checked filter, ready to be answered from the side table."""

    def __init__(self, where: Mapping[str, Any]):
        if not isinstance(where, Mapping):
            raise ValueError(f"a filter must be a mapping, got {type(where).__name__}")
        self._root = _node(where)

    @property
    def everything(self) -> bool:
        """True when the filter holds for every document (it is empty)."""
        return isinstance(self._root, _Everything)

    def documents(self, conn: sqlite3.Connection, bound: int,
                  columns: Columns | None = None) -> np.ndarray:
        """bool[bound]: element d tells whether document number d matches (numbers of documents
        that do not exist come out as they would for a document without metadata). `columns`
        chooses between walks and columns and keeps the columns loaded, for the next call on the
        same state of the side table."""
        return self._root.hits(conn, bound, Columns() if columns is None else columns)

    def rows(self, conn: sqlite3.Connection, row_doc: np.ndarray, bound: int | None = None,
             columns: Columns | None = None) -> np.ndarray:
        """bool per matrix row, from the document number of each row (`row_doc`, non-negative
        ints); `bound` is a number above all of them, worked out when not given."""
        if bound is None:
            bound = int(row_doc.max()) + 1 if row_doc.size else 0
        return self.documents(conn, bound, columns)[row_doc]


def compile_filter(where: Mapping[str, Any] | Filter | None) -> Filter | None:
    """A `Filter` from a filter mapping (ValueError if it is malformed), or None when it selects
    every document (None or an empty mapping)."""
    if where is None:
        return None
    compiled = where if isinstance(where, Filter) else Filter(where)
    return None if compiled.everything else compiled


# -- the command line's conditions ----------------------------------------------------------

_CONDITION = re.compile(r"\s*([^=!<>\s][^=!<>]*?)\s*(!=|>=|<=|=|>|<)\s*(.*?)\s*", re.DOTALL)
_OPERATOR_NAMES = {"=": "$eq", "!=": "$ne", ">": "$gt", ">=": "$gte", "<": "$lt", "<=": "$lte"}


def _typed(text: str) -> Value:
    """A condition's value: JSON when it reads as a number, bool, str or list of those (so 2020
    is an int, true a bool and "2020" a str), otherwise the text itself."""
    try:
        return _value(json.loads(text), "")
    except ValueError:  # json.JSONDecodeError included
        return text


def parse_condition(text: str) -> dict[str, Any]:
    """A filter from one command-line condition: KEY=VALUE, KEY!=VALUE, KEY>VALUE, KEY>=VALUE,
    KEY<VALUE or KEY<=VALUE, or a whole filter written as a JSON object."""
    if text.lstrip().startswith("{"):
        try:
            where = json.loads(text)
        except json.JSONDecodeError as e:
            raise ValueError(f"filter {text!r} is not valid JSON: {e}") from None
        if not isinstance(where, dict):
            raise ValueError(f"filter {text!r} is not a JSON object")
        return where
    match = _CONDITION.fullmatch(text)
    if match is None:
        raise ValueError(f"filter {text!r} is not KEY=VALUE, KEY!=VALUE, KEY>VALUE, KEY>=VALUE, "
                         "KEY<VALUE, KEY<=VALUE or a JSON object")
    key, op, value = match.groups()
    return {key: {_OPERATOR_NAMES[op]: _typed(value)}}
