"""BM25 over rows kept in several places (the shards of a sharded collection), scored with the
statistics of all of them together.

A `LexicalIndex` bakes its own statistics (row count, average row length, each term's document
frequency) into the scores it stores, so the indexes of two shards score one row differently
than one index over both would. Here each shard keeps its rows' terms as an inverted table
(`TermTable`), reports its statistics for the terms of a query only (`TermTable.stats`), and
scores its rows with the sums of every shard's (`TermTable.scores`). The formula and its float
steps are those of `LexicalIndex` (the Lucene variant of BM25 in `bm25s`, k1 = 1.2, b = 0.75),
so that a row scores exactly as in one index over all the live rows.
"""

from __future__ import annotations

import math
from collections.abc import Iterable, Sequence
from dataclasses import dataclass

import numpy as np

#: The parameters `LexicalIndex` indexes with.
K1 = 1.2
B = 0.75


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
    """The index terms of a shard's rows as an inverted table: for each term, the rows that
    hold it (ascending) and how often. Rows without terms (tombstoned rows) are not counted."""

    def __init__(self, terms: Sequence[Sequence[str]], counted: int):
        """`terms[r]` are the terms of row r (`lexical.tokenize`), `counted` the number of rows
        that count as documents (the live ones)."""
        n = len(terms)
        self.counted = counted
        self.lengths = np.fromiter(map(len, terms), dtype=np.int64, count=n)
        vocabulary: dict[str, int] = {}
        flat = np.fromiter((vocabulary.setdefault(w, len(vocabulary)) for t in terms for w in t),
                           dtype=np.int64, count=int(self.lengths.sum()))
        keys, counts = np.unique(flat * max(n, 1) + np.repeat(np.arange(n), self.lengths),
                                 return_counts=True)  # by term, then row
        self._vocabulary = vocabulary
        self._rows = keys % max(n, 1)
        self._tf = counts.astype(np.float32)
        self._starts = np.searchsorted(keys // max(n, 1), np.arange(len(vocabulary) + 1))

    @property
    def rows(self) -> int:
        return len(self.lengths)

    def _postings(self, term: str) -> tuple[np.ndarray, np.ndarray]:
        t = self._vocabulary.get(term)
        if t is None:
            return self._rows[:0], self._tf[:0]
        start, end = self._starts[t], self._starts[t + 1]
        return self._rows[start:end], self._tf[start:end]

    def stats(self, terms: Iterable[str]) -> TermStats:
        """This table's statistics for the query terms `terms`."""
        return TermStats(self.counted, int(self.lengths.sum()),
                         {t: len(self._postings(t)[0]) for t in dict.fromkeys(terms)})

    def scores(self, terms: Sequence[str], total: TermStats) -> np.ndarray:
        """float32 BM25 score of the query `terms` (repeats count again, as in
        `LexicalIndex.scores`) for every row, with the statistics `total` of all rows."""
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
        return out
