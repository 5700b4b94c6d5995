"""BM25 over the rows of a collection, or of rows kept in several places (the shards of a
sharded collection) scored with the statistics of all of them together.

A `LexicalIndex` bakes its own statistics (row count, average row length, each term's document
frequency) into the scores it stores, so the indexes of two shards score one row differently
than one index over both would. Here each shard keeps its rows' terms as inverted tables
(`ShardTerms`), reports its statistics for the terms of a query only (`stats`), and scores its
rows with the sums of every shard's (`scores`). The formula and its float steps are those of
`LexicalIndex` (the Lucene variant of BM25 in `bm25s`, k1 = 1.2, b = 0.75), so that a row scores
exactly as in one index over all the live rows.

A collection's rows (a shard's, or those of a whole collection) only grow and die while its
matrix file stays (a compaction writes a new one): `ShardTerms` then adds a table for the rows
appended since it last looked, and tells the dead rows by the live mask it is given, so that a
change costs the terms of the rows it adds. Tables are merged as they pile up, the newest ones
while they are small beside the one before them: a logarithmic number of tables, and a row
merged again a logarithmic number of times (each merge a sort of the postings it merges).

A table is saved as a `.npz` file (`TermTable.save`) and read back with every array checked
against the others (`TermTable.load`), so that a damaged file is refused rather than scored.
"""

from __future__ import annotations

import math
import os
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass
from typing import IO

import numpy as np

#: The parameters `LexicalIndex` indexes with.
K1 = 1.2
B = 0.75
#: The newest tables are merged into one while the table before them holds no more than this
#: many times their rows: tables shrink by about this factor from the oldest to the newest.
GROWTH = 4
#: The arrays of a saved table (`TermTable.save`): the vocabulary as UTF-8 terms, each ended by
#: a newline; for each term where its postings start; the postings' rows and counts; the rows'
#: lengths.
_TABLE_ARRAYS = frozenset({"vocabulary", "starts", "rows", "tf", "lengths"})


@dataclass(frozen=True, slots=True)
class TermStats:
    """What BM25 needs to know of a set of rows for one query: how many rows, the sum of their
    lengths (terms), and for each term of the query the number of rows that hold it."""

    rows: int
    length: int
    frequencies: dict[str, int]

    @staticmethod
    def total(parts: Iterable["TermStats"]) -> "TermStats":
        rows = length = 0
        frequencies: dict[str, int] = {}
        for p in parts:
            rows, length = rows + p.rows, length + p.length
            for term, df in p.frequencies.items():
                frequencies[term] = frequencies.get(term, 0) + df
        return TermStats(rows, length, frequencies)


class TermTable:
    """The index terms of consecutive rows as an inverted table: for each term, the rows that
    hold it (ascending) and how often."""

    def __init__(self, vocabulary: dict[str, int], starts: np.ndarray, rows: np.ndarray,
                 tf: np.ndarray, lengths: np.ndarray):
        """From the postings sorted by term, then row: those of term t are `starts[t]` to
        `starts[t + 1]`; see `of_rows`, `merged` and `load`."""
        self._vocabulary = vocabulary
        self._starts = starts
        self._rows = rows
        self._tf = tf
        self.lengths = lengths

    @classmethod
    def _of_postings(cls, vocabulary: dict[str, int], term_ids: np.ndarray, rows: np.ndarray,
                     tf: np.ndarray, lengths: np.ndarray) -> "TermTable":
        """From postings (term id, row, count) in any order."""
        order = np.lexsort((rows, term_ids))
        return cls(vocabulary, np.searchsorted(term_ids[order], np.arange(len(vocabulary) + 1)),
                   rows[order], tf[order].astype(np.float32), lengths)

    @classmethod
    def of_rows(cls, terms: Sequence[Sequence[str]]) -> "TermTable":
        """The table of rows whose terms (`lexical.tokenize`) are `terms[0]`, `terms[1]`, ..."""
        n = len(terms)
        lengths = np.fromiter(map(len, terms), dtype=np.int64, count=n)
        vocabulary: dict[str, int] = {}
        flat = np.fromiter((vocabulary.setdefault(w, len(vocabulary)) for t in terms for w in t),
                           dtype=np.int64, count=int(lengths.sum()))
        width = max(n, 1)
        keys, counts = np.unique(flat * width + np.repeat(np.arange(n), lengths), return_counts=True)
        return cls._of_postings(vocabulary, keys // width, keys % width, counts, lengths)

    @classmethod
    def merged(cls, tables: Sequence["TermTable"]) -> "TermTable":
        """One table of the rows of `tables`, one after the other."""
        vocabulary: dict[str, int] = {}
        term_ids, rows, tf = [], [], []
        offset = 0
        for t in tables:
            remap = np.fromiter((vocabulary.setdefault(w, len(vocabulary)) for w in t._vocabulary),
                                dtype=np.int64, count=len(t._vocabulary))
            term_ids.append(remap[np.repeat(np.arange(len(remap)), np.diff(t._starts))])
            rows.append(t._rows.astype(np.int64) + offset)
            tf.append(t._tf)
            offset += t.rows
        empty = np.zeros(0, dtype=np.int64)
        return cls._of_postings(vocabulary, np.concatenate([empty, *term_ids]), np.concatenate([empty, *rows]),
                                np.concatenate([np.zeros(0, np.float32), *tf]),
                                np.concatenate([empty, *(t.lengths for t in tables)]))

    @property
    def rows(self) -> int:
        return len(self.lengths)

    def save(self, file: IO[bytes]) -> None:
        """Writes the table to `file` (an `.npz` archive, no pickled objects)."""
        words = "".join(f"{w}\n" for w in self._vocabulary).encode("utf-8")
        narrow = np.int32 if self.rows < 2**31 else np.int64
        np.savez(file, vocabulary=np.frombuffer(words, dtype=np.uint8), starts=self._starts,
                 rows=self._rows.astype(narrow), tf=self._tf, lengths=self.lengths)

    @classmethod
    def load(cls, path: str | os.PathLike[str], rows: int) -> "TermTable":
        """The table of `rows` rows saved in the file `path` by `save`. ValueError for a file
        that is not such a table, or one whose arrays do not fit together (a posting of a row out
        of range or twice, a row whose counts do not add up to its length, ...)."""
        try:
            with np.load(path, allow_pickle=False) as archive:
                if set(archive.files) != _TABLE_ARRAYS:
                    raise ValueError(f"arrays {sorted(archive.files)}")
                arrays = {name: archive[name] for name in _TABLE_ARRAYS}
            return cls(*_checked_table(rows, arrays))
        except Exception as e:  # whatever a damaged archive raises (zip, zlib, format, shapes)
            raise ValueError(f"{str(path)!r} is not a term table of {rows} rows: {e}") from None

    def _postings(self, term: str) -> tuple[np.ndarray, np.ndarray]:
        t = self._vocabulary.get(term)
        if t is None:
            return self._rows[:0], self._tf[:0]
        start, end = self._starts[t], self._starts[t + 1]
        return self._rows[start:end], self._tf[start:end]

    def stats(self, terms: Iterable[str], live: np.ndarray | None = None) -> TermStats:
        """The statistics of the table's live rows (all when `live` is None) for the query
        terms `terms`."""
        if live is None:
            return TermStats(self.rows, int(self.lengths.sum()),
                             {t: len(self._postings(t)[0]) for t in dict.fromkeys(terms)})
        return TermStats(int(np.count_nonzero(live)), int(self.lengths[live].sum()),
                         {t: int(np.count_nonzero(live[self._postings(t)[0]])) for t in dict.fromkeys(terms)})

    def scores(self, terms: Sequence[str], total: TermStats, live: np.ndarray | None = None) -> np.ndarray:
        """float32 BM25 score of the query `terms` (repeats count again, as in
        `LexicalIndex.scores`) for every row, with the statistics `total` of all rows; 0 for
        rows that are not live."""
        out = np.zeros(self.rows, dtype=np.float32)
        if not total.rows or not total.length:
            return out
        average = np.float64(total.length) / total.rows
        for term in terms:
            df = total.frequencies.get(term, 0)
            rows, tf = self._postings(term)
            if not df or not len(rows):
                continue
            idf = np.float32(math.log(1 + (total.rows - df + 0.5) / (df + 0.5)))
            tfc = tf / (K1 * ((1 - B) + B * self.lengths[rows] / average) + tf)
            out[rows] += (idf * tfc).astype(np.float32)
        if live is not None:
            out[~live] = 0
        return out


def _checked_table(count: int, arrays: dict[str, np.ndarray]
                   ) -> tuple[dict[str, int], np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
    """The arguments of `TermTable` from the arrays of a saved table of `count` rows, each
    checked: the terms distinct, each term's postings non-empty and of ascending rows in range,
    the counts whole and positive and adding up to each row's length."""
    words, starts, rows, tf, lengths = (arrays[k] for k in ("vocabulary", "starts", "rows", "tf", "lengths"))
    if words.dtype != np.uint8 or words.ndim != 1 or (len(words) and words[-1] != ord("\n")):
        raise ValueError("malformed vocabulary")
    terms = words.tobytes().decode("utf-8").split("\n")[:-1]
    vocabulary = {term: i for i, term in enumerate(terms)}
    if len(vocabulary) != len(terms):
        raise ValueError("a term listed twice")
    for name, a, kinds in (("starts", starts, "iu"), ("rows", rows, "iu"), ("tf", tf, "f"), ("lengths", lengths, "iu")):
        if a.ndim != 1 or a.dtype.kind not in kinds:
            raise ValueError(f"{name}: {a.dtype} of shape {a.shape}")
    if len(starts) != len(terms) + 1 or len(lengths) != count or len(tf) != len(rows):
        raise ValueError("arrays of mismatched lengths")
    starts, lengths = starts.astype(np.int64, copy=False), lengths.astype(np.int64, copy=False)
    tf = tf.astype(np.float32, copy=False)
    if starts[0] != 0 or starts[-1] != len(rows) or np.any(starts[1:] <= starts[:-1]):
        raise ValueError("postings do not follow the vocabulary")
    if len(rows) and (rows.min() < 0 or rows.max() >= count):
        raise ValueError("a posting of a row out of range")
    ascending = rows[1:] > rows[:-1]
    ascending[starts[1:-1] - 1] = True  # where the next term's postings begin
    if not ascending.all():
        raise ValueError("a term's rows are not ascending")
    if not np.all((tf >= 1) & (tf <= 2**24) & (tf == np.floor(tf))):
        raise ValueError("counts that are not whole and positive")
    if np.any(lengths < 0) or not np.array_equal(np.bincount(rows, weights=tf, minlength=count), lengths):
        raise ValueError("row lengths do not match the counts")
    return vocabulary, starts, rows, tf, lengths


class ShardTerms:
    """The terms of one collection's rows (a shard's, or a whole collection's), followed from one
    state of the collection to the next."""

    def __init__(self) -> None:
        self._source: str | None = None
        self._tables: list[TermTable] = []
        self._live: np.ndarray | None = None

    @property
    def rows(self) -> int:
        return sum(t.rows for t in self._tables)

    @property
    def source(self) -> str | None:
        """Where the rows are kept (the `source` of the last `follow` or `adopt`)."""
        return self._source

    @property
    def tables(self) -> list[TermTable]:
        """The tables, of the first rows to the last; read-only by convention."""
        return self._tables

    def adopt(self, source: str, tables: Sequence[TermTable]) -> None:
        """Takes `tables`, the terms of the first rows kept in `source` (saved earlier), as
        those known; `follow` then adds the rows after them."""
        self._source, self._tables, self._live = source, list(tables), None

    def follow(self, source: str, rows: int, live: np.ndarray | None,
               terms_of: Callable[[int], Sequence[Sequence[str]]]) -> None:
        """Brings the tables to a state of `rows` rows, `live` telling the live ones (None: all).
        `source` names where the rows are kept: while it stays the same, rows are only appended
        and tombstoned, so only those after the ones already known are asked of `terms_of(first)`
        (the terms of rows `first` to `rows - 1`); otherwise every row is."""
        known = self.rows
        if source != self._source or rows < known:
            self._tables, known = [], 0
        if rows > known:
            self._tables.append(TermTable.of_rows(terms_of(known)))
            self._settle()
        self._source = source
        self._live = None if live is None else np.array(live[:rows], dtype=bool)

    def _settle(self) -> None:
        """Merges the newest tables into one while the table before them holds no more than
        `GROWTH` times their rows."""
        first, newest = len(self._tables) - 1, self._tables[-1].rows
        while first and self._tables[first - 1].rows <= GROWTH * newest:
            first -= 1
            newest += self._tables[first].rows
        if first < len(self._tables) - 1:
            self._tables[first:] = [TermTable.merged(self._tables[first:])]

    def _parts(self) -> Iterable[tuple[TermTable, np.ndarray | None]]:
        start = 0
        for t in self._tables:
            yield t, None if self._live is None else self._live[start:start + t.rows]
            start += t.rows

    def stats(self, terms: Sequence[str]) -> TermStats:
        return TermStats.total(t.stats(terms, live) for t, live in self._parts())

    def scores(self, terms: Sequence[str], total: TermStats) -> np.ndarray:
        parts = [t.scores(terms, total, live) for t, live in self._parts()]
        return np.concatenate([np.zeros(0, np.float32), *parts])
