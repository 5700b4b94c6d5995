"""BM25 over rows kept in several places (the shards of a sharded collection), scored with the
statistics of all of them together.

A `LexicalIndex` bakes its own statistics (row count, average row length, each term's document
frequency) into the scores it stores, so the indexes of two shards score one row differently
than one index over both would. Here each shard keeps its rows' terms as inverted tables
(`ShardTerms`), reports its statistics for the terms of a query only (`stats`), and scores its
rows with the sums of every shard's (`scores`). The formula and its float steps are those of
`LexicalIndex` (the Lucene variant of BM25 in `bm25s`, k1 = 1.2, b = 0.75), so that a row scores
exactly as in one index over all the live rows.

A shard's rows only grow and die while its matrix file stays (a compaction writes a new one):
`ShardTerms` then adds a table for the rows appended since it last looked, and tells the dead
rows by the live mask it is given, so that a change costs the terms of the rows it adds.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass

import numpy as np

#: The parameters `LexicalIndex` indexes with.
K1 = 1.2
B = 0.75
#: Tables a shard keeps before it merges them into one (merging sorts their postings again).
MAX_TABLES = 8


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

    def __init__(self, vocabulary: dict[str, int], term_ids: np.ndarray, rows: np.ndarray,
                 tf: np.ndarray, lengths: np.ndarray):
        """From postings (term id, row, count) in any order; see `of_rows` and `merged`."""
        order = np.lexsort((rows, term_ids))
        self._vocabulary = vocabulary
        self._rows = rows[order]
        self._tf = tf[order].astype(np.float32)
        self._starts = np.searchsorted(term_ids[order], np.arange(len(vocabulary) + 1))
        self.lengths = lengths

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
        return cls(vocabulary, keys // width, keys % width, counts, lengths)

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
            rows.append(t._rows + offset)
            tf.append(t._tf)
            offset += t.rows
        empty = np.zeros(0, dtype=np.int64)
        return cls(vocabulary, np.concatenate([empty, *term_ids]), np.concatenate([empty, *rows]),
                   np.concatenate([np.zeros(0, np.float32), *tf]),
                   np.concatenate([empty, *(t.lengths for t in tables)]))

    @property
    def rows(self) -> int:
        return len(self.lengths)

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


class ShardTerms:
    """The terms of one shard's rows, followed from one state of the shard to the next."""

    def __init__(self) -> None:
        self._source: str | None = None
        self._tables: list[TermTable] = []
        self._live: np.ndarray | None = None

    @property
    def rows(self) -> int:
        return sum(t.rows for t in self._tables)

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
        if len(self._tables) > MAX_TABLES:
            self._tables = [TermTable.merged(self._tables)]
        self._source = source
        self._live = None if live is None else np.array(live[:rows], dtype=bool)

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
