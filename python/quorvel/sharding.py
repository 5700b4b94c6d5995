"""Exact search over rows split into shards, shard after shard in this process or in parallel on
the workers of a Dask cluster.

A search gives the same result as one `_quorvel.score_candidates` call over the shards' matrices
stacked in shard order, with the same options (same identifiers in the same order, same rounded
scores), and runs in two steps:

1. every shard scores its own rows with the query and all per-row options (pre-filter, mask,
   threshold, decay, trajectory, contrast) and returns its best P rows as candidates: their
   identifiers, their float32 rows and their timestamps, P being `oversample` for a diverse
   search and `limit` otherwise;
2. the coordinator stacks the candidates (at most P rows per shard) and makes one more
   `score_candidates` call over them with every option, diversity included. A row's score does
   not depend on where the row sits in a matrix, so this call recomputes exactly the float32
   scores that the whole call would see, and the whole call's best P rows are among the
   candidates: the second call ranks and diversifies them as the whole call would.

A search that fuses BM25 with the semantic score (`terms=` given) is that of
`quorvel.lexical.hybrid_rank` over all rows, which looks only at the best `pool` rows by meaning
and the best `pool` rows by BM25. The shards first report their BM25 statistics for the query's
terms (`quorvel.bm25`), so that each scores its rows with those of all shards; each then returns
its rows of both pools (with their rows, timestamps, mask bits and BM25 scores), and
`hybrid_rank` runs once over the stacked candidates, which hold both pools of the whole.

`like_ids` blends the query towards rows that may sit in any shard. The blended query is composed
here, from the liked rows that the shards return, with the same float32 operations as the native
call, so that every shard and the final call start from the query the whole call would use.

Without a client, shards are opened in this process (memory-mapped) and searched one after the
other. With a `distributed.Client`, each shard is held by an actor on a worker, which opens the
shard once and keeps it open between searches; a worker that dies is replaced by another one
that can open the shard, and a search that cannot reach every shard raises `ShardsUnavailable`
naming them: it never returns the results of some shards as if they were all.
"""

from __future__ import annotations

import json
import operator
import threading
from collections.abc import Callable, Iterable, Mapping, Sequence
from dataclasses import dataclass
from os import PathLike
from pathlib import Path
from typing import Any, Protocol, runtime_checkable

import numpy as np

import _quorvel

from .bm25 import ShardTerms, TermStats
from .lexical import DEFAULT_POOL, hybrid_rank, lexical_pool, row_lead_scores

__all__ = ["Candidates", "HybridCandidates", "ShardData", "ShardFiles", "ShardSearch", "ShardSource",
           "ShardsUnavailable", "ShardFailure", "compose_query", "current_data", "write_shard_files"]

#: Options of `score_candidates` that a sharded search takes. The matrix, identifiers, map,
#: timestamps and mask come from the shards.
SEARCH_OPTIONS = frozenset({"pre_filter_ids", "not_like_vec", "diverse", "limit", "oversample",
                            "threshold", "mmr_lambda", "recent", "recent_days", "like_ids",
                            "traj_from_vec", "traj_to_vec"})
# Options that act on each row's score, and so are applied where the rows are.
_ROW_OPTIONS = ("not_like_vec", "threshold", "recent", "recent_days", "traj_from_vec",
                "traj_to_vec")
# The native defaults of the options that decide the size of a shard's candidate pool.
_DEFAULT_LIMIT = 10
_DEFAULT_OVERSAMPLE = 200
_NO_ROWS = np.zeros((0, 0), dtype=np.float32)
_EMPTY_IDS: tuple[str, ...] = ()


class ShardsUnavailable(RuntimeError):
    """Some shards could not be searched; `shards` names them. No partial result is returned."""

    def __init__(self, shards: Sequence[str], reasons: Sequence[str] = ()):
        self.shards = tuple(shards)
        detail = "; ".join(f"{s}: {r}" for s, r in zip(shards, reasons))
        super().__init__(f"could not search {len(self.shards)} shard(s): {', '.join(self.shards)}"
                         + (f" ({detail})" if detail else ""))

    def __reduce__(self):
        return (type(self), (self.shards,))


class ShardFailure(RuntimeError):
    """A shard's native search failed on an inconsistency of the shard's own data."""


# --- shards as data ------------------------------------------------------------------------

@dataclass(frozen=True, slots=True)
class ShardData:
    """One shard, as `score_candidates` reads it: a C-contiguous float32 matrix (memory-mapped
    or not), the identifier of each row, the map from identifier to row, and optionally float64
    epoch seconds per row and a bool mask (False: the row is never returned).

    Identifiers must be unique over all shards of a search among the rows that can be returned,
    and `id_to_idx[ids[r]] == r` for every such row r. A shard of documents cut into passages
    may give `first_rows`, which maps rows to the first row of each one's document (the row
    whose cosine with the query is the lead score of a fused search); a shard without it
    scores its rows as documents of one row each."""

    matrix: np.ndarray
    ids: Sequence[str]
    id_to_idx: Mapping[str, int]
    timestamps: np.ndarray | None = None
    mask: np.ndarray | None = None
    first_rows: Callable[[np.ndarray], np.ndarray] | None = None

    def __post_init__(self) -> None:
        m = self.matrix
        if not (isinstance(m, np.ndarray) and m.ndim == 2 and m.dtype == np.float32
                and m.flags.c_contiguous):
            raise TypeError("a shard's matrix must be a C-contiguous 2-D float32 array")


@runtime_checkable
class ShardSource(Protocol):
    """Where a shard lives: a picklable description that can be opened on any machine that
    reaches it; `key` names it. `open()` returns the shard's `ShardData`, or a handle whose
    `snapshot()` returns the shard's current state (an object with the attributes of
    `ShardData`), taken again for every search so that a shard that changes is followed. A
    handle that can also answer a filter of `quorvel.filters` has `filtered(where)`, which
    returns the current `ShardData` with the rows that the filter leaves out masked."""

    @property
    def key(self) -> str: ...

    def open(self) -> Any: ...


def current_data(opened: Any, where: Any = None) -> ShardData:
    """The data to search now of what a source's `open()` returned; with a filter `where`, its
    rows masked by it (for a shard whose handle has `filtered(where)`)."""
    if where is not None:
        filtered = getattr(opened, "filtered", None)
        if filtered is None:
            raise TypeError("a search with a filter needs shards that hold their documents' "
                            "metadata (collection shards)")
        return filtered(where)
    if isinstance(opened, ShardData):
        return opened
    s = opened.snapshot()
    return ShardData(s.matrix, s.ids, s.id_to_idx, s.timestamps, s.mask, getattr(s, "first_rows", None))


def current_terms(opened: Any, where: Any = None) -> tuple[ShardData, ShardTerms]:
    """The data to search now and the terms of its rows, for a shard whose handle has
    `with_terms(where)`."""
    with_terms = getattr(opened, "with_terms", None)
    if with_terms is None:
        raise TypeError("a search that fuses BM25 needs shards that hold their rows' terms "
                        "(collection shards)")
    return with_terms(where)


_MATRIX_FILE = "matrix.npy"
_IDS_FILE = "ids.json"
_TIMESTAMPS_FILE = "timestamps.npy"
_MASK_FILE = "mask.npy"


@dataclass(frozen=True, slots=True)
class ShardFiles:
    """A shard stored as plain files in a folder (written by `write_shard_files`); the matrix is
    memory-mapped read-only when opened."""

    folder: str

    @property
    def key(self) -> str:
        return self.folder

    def open(self) -> ShardData:
        folder = Path(self.folder)
        ids = json.loads((folder / _IDS_FILE).read_text(encoding="utf-8"))
        matrix = np.load(folder / _MATRIX_FILE, mmap_mode="r" if ids else None)
        optional = {}
        for name, file in (("timestamps", _TIMESTAMPS_FILE), ("mask", _MASK_FILE)):
            if (folder / file).is_file():
                optional[name] = np.load(folder / file, mmap_mode="r")
        return ShardData(matrix, ids, {d: i for i, d in enumerate(ids)}, **optional)


def write_shard_files(folder: str | PathLike[str], matrix: np.ndarray, ids: Sequence[str],
                      timestamps: np.ndarray | None = None,
                      mask: np.ndarray | None = None) -> ShardFiles:
    """Write a shard into the new folder `folder` and return its source."""
    path = Path(folder)
    path.mkdir(parents=True)
    np.save(path / _MATRIX_FILE, np.ascontiguousarray(matrix, dtype=np.float32))
    (path / _IDS_FILE).write_text(json.dumps(list(ids)), encoding="utf-8")
    if timestamps is not None:
        np.save(path / _TIMESTAMPS_FILE, np.asarray(timestamps, dtype=np.float64))
    if mask is not None:
        np.save(path / _MASK_FILE, np.asarray(mask, dtype=bool))
    return ShardFiles(str(path))


# --- the work on one shard -----------------------------------------------------------------

def _score(*args: Any, **kwargs: Any) -> list[dict[str, Any]]:
    """`score_candidates`, with its internal failure (an exception type of the native module
    that derives from BaseException) raised as a ShardFailure: an ordinary error, which can
    travel from a worker process to the caller."""
    try:
        return _quorvel.score_candidates(*args, **kwargs)
    except (Exception, KeyboardInterrupt, SystemExit):
        raise
    except BaseException as e:
        raise ShardFailure(f"{type(e).__name__}: {e}") from None


@dataclass(frozen=True, slots=True)
class LikedRows:
    """The liked rows a shard holds: positions in the `like_ids` list and the rows, in order."""

    rows_count: int  # how many identifiers the shard has
    dims: int
    positions: np.ndarray  # int64
    rows: np.ndarray  # (len(positions), dims) float32


@dataclass(frozen=True, slots=True)
class Candidates:
    """A shard's best rows for a query: identifiers, float32 rows and timestamps (or None)."""

    ids: list[str]
    rows: np.ndarray
    timestamps: np.ndarray | None


def liked_rows(shard: ShardData, like_ids: Sequence[str]) -> LikedRows:
    """The rows of `like_ids` that this shard holds (unknown identifiers are skipped, repeated
    ones found again at each place)."""
    positions = []
    rows = []
    n = shard.matrix.shape[0]
    for j, doc_id in enumerate(like_ids):
        row = shard.id_to_idx.get(doc_id)
        if row is None:
            continue
        if not 0 <= row < n:
            raise ShardFailure(f"identifier {doc_id!r} maps to row {row} of a {n}-row shard")
        positions.append(j)
        rows.append(row)
    dims = shard.matrix.shape[1]
    return LikedRows(len(shard.ids), dims, np.asarray(positions, dtype=np.int64),
                     np.asarray(shard.matrix[rows]) if rows else np.zeros((0, dims), np.float32))


def shard_candidates(shard: ShardData, query_vec: np.ndarray, options: Mapping[str, Any],
                     pool: int) -> Candidates:
    """The best `pool` rows of the shard for the composed query, per-row options applied."""
    kwargs = {k: options[k] for k in _ROW_OPTIONS if k in options}
    if "pre_filter_ids" in options:
        kwargs["pre_filter_ids"] = options["pre_filter_ids"]
    found = _score(shard.matrix, shard.ids, shard.id_to_idx, query_vec, timestamps=shard.timestamps,
                   mask=shard.mask, diverse=False, limit=pool, **kwargs)
    ids = [r["id"] for r in found]
    rows = [shard.id_to_idx[d] for d in ids]
    if any(shard.ids[r] != d for r, d in zip(rows, ids)):
        raise ShardFailure("the shard's identifier map does not match its identifiers")
    timestamps = None
    if shard.timestamps is not None:
        timestamps = np.asarray(shard.timestamps[rows], dtype=np.float64)
    return Candidates(ids, np.asarray(shard.matrix[rows]), timestamps)


@dataclass(frozen=True, slots=True)
class HybridCandidates:
    """A shard's candidates for a fused search, in the shard's row order: identifiers, float32
    rows, timestamps (or None), mask (or None) and BM25 scores with every shard's statistics;
    for a shard with `first_rows`, the rows that lead the candidates' documents (each once) and,
    per candidate, its lead's place among them (-1 for a candidate that leads its document)."""

    ids: list[str]
    rows: np.ndarray
    timestamps: np.ndarray | None
    mask: np.ndarray | None
    lexical: np.ndarray
    lead_rows: np.ndarray | None = None
    lead_of: np.ndarray | None = None

    def lead_scores(self, query_vec: np.ndarray) -> np.ndarray:
        """The lead score of each candidate for the query `query_vec` (NaN where none)."""
        if self.lead_of is None or self.lead_rows is None:
            return np.full(len(self.ids), np.nan)
        scores = np.append(row_lead_scores(self.lead_rows, query_vec), np.nan)
        return scores[self.lead_of]  # -1 picks the NaN at the end


def shard_hybrid_candidates(shard: ShardData, table: ShardTerms, query_vec: np.ndarray,
                            options: Mapping[str, Any], pool: int, terms: Sequence[str],
                            total: TermStats) -> HybridCandidates:
    """The shard's rows among the `pool` best by the semantic score (every per-row option but
    recency applied) and the `pool` best by BM25 with the statistics `total`: every row that
    `hybrid_rank` over all shards could look at."""
    if table.rows != len(shard.ids):
        raise ShardFailure(f"the shard's terms cover {table.rows} rows, its matrix {len(shard.ids)}")
    lexical = table.scores(terms, total)
    kwargs = {k: options[k] for k in (*_ROW_OPTIONS, "pre_filter_ids")
              if k in options and k not in ("recent", "recent_days")}
    found = _score(shard.matrix, shard.ids, shard.id_to_idx, query_vec, mask=shard.mask,
                   diverse=False, limit=pool, **kwargs)
    semantic = np.fromiter((shard.id_to_idx[r["id"]] for r in found), dtype=np.int64, count=len(found))
    rows = np.union1d(semantic, lexical_pool(lexical, pool, options.get("pre_filter_ids"),
                                              shard.id_to_idx))
    ids = [shard.ids[r] for r in rows]
    if any(not d or shard.id_to_idx.get(d) != r for d, r in zip(ids, rows)):
        raise ShardFailure("the shard's identifier map does not match its identifiers")
    lead_rows = lead_of = None
    if shard.first_rows is not None:
        leads = np.asarray(shard.first_rows(rows), dtype=np.int64)
        unique, place = np.unique(leads, return_inverse=True)
        lead_rows, lead_of = np.asarray(shard.matrix[unique]), np.where(leads == rows, -1, place.reshape(-1))
    return HybridCandidates(
        ids, np.asarray(shard.matrix[rows]),
        None if shard.timestamps is None else np.asarray(shard.timestamps[rows], dtype=np.float64),
        None if shard.mask is None else np.asarray(shard.mask[rows], dtype=bool), lexical[rows],
        lead_rows, lead_of)


# --- the coordinator's float32 steps -------------------------------------------------------

def _squared_norm(v: np.ndarray) -> np.float32:
    """The sum of squares in float32, added in element order (a cumulative sum is sequential)."""
    if v.size == 0:
        return np.float32(0.0)
    return np.cumsum(v * v, dtype=np.float32)[-1]


def _normalised(v: np.ndarray) -> np.ndarray:
    sq = _squared_norm(v)
    return v / np.sqrt(sq) if sq > 0 else v


def compose_query(query_vec: np.ndarray, liked: np.ndarray | None) -> np.ndarray | None:
    """The vector to hand to `score_candidates` (with no `like_ids`) so that the query it scores
    with is the one a call with `like_ids` composes from `query_vec` and the liked rows (in
    `like_ids` order, repeats included). None when `like_ids` resolved to no row: such a call
    returns no result.

    The call normalises what it receives, so it is handed the vector that normalises into its
    blended query: the blend before its normalisation, or the centroid before its own."""
    if liked is None:
        return query_vec
    if len(liked) == 0:
        return None
    q = np.array(query_vec, dtype=np.float32)
    query_sq = _squared_norm(q)
    total = np.zeros(q.shape, dtype=np.float32)
    for row in liked:  # row after row, as the native sum
        total = total + row
    centroid = total / np.float32(len(liked))
    if not query_sq > 0:
        return centroid
    half = np.float32(0.5)
    return half * _normalised(q) + half * _normalised(centroid)


def _pool_size(options: Mapping[str, Any]) -> int:
    if options.get("diverse", False):
        return operator.index(options.get("oversample", _DEFAULT_OVERSAMPLE))
    return operator.index(options.get("limit", _DEFAULT_LIMIT))


def merge_candidates(parts: Sequence[Candidates], query_vec: np.ndarray,
                     options: Mapping[str, Any]) -> list[dict[str, Any]]:
    """The final ranking (and diverse selection) over the shards' candidates, in shard order."""
    parts = [p for p in parts if p.ids]
    if not parts:
        return []
    ids = [d for p in parts for d in p.ids]
    rows = np.concatenate([p.rows for p in parts]) if len(parts) > 1 else parts[0].rows
    kwargs = {k: v for k, v in options.items() if k not in ("pre_filter_ids", "like_ids")}
    if any(p.timestamps is not None for p in parts):
        kwargs["timestamps"] = np.concatenate([
            p.timestamps if p.timestamps is not None else np.zeros(len(p.ids)) for p in parts])
    return _score(np.ascontiguousarray(rows), ids, {}, query_vec, **kwargs)


def merge_hybrid(parts: Sequence[HybridCandidates], query_vec: np.ndarray,
                 options: Mapping[str, Any], pool: int, lead_query: np.ndarray | None = None) -> list[dict[str, Any]]:
    """`hybrid_rank` over the shards' candidates stacked in shard order: they hold the semantic
    and the lexical pool that it draws from all rows, so it ranks as over all rows. The lead
    scores are those of `lead_query` (the query before liked documents were blended in, as one
    collection scores them), `query_vec` when not given."""
    parts = [p for p in parts if p.ids]
    if not parts:
        return []
    ids = [d for p in parts for d in p.ids]
    kwargs = {k: v for k, v in options.items() if k not in ("pre_filter_ids", "like_ids", "limit")}
    if any(p.timestamps is not None for p in parts):
        kwargs["timestamps"] = np.concatenate([
            p.timestamps if p.timestamps is not None else np.full(len(p.ids), np.nan) for p in parts])
    if any(p.mask is not None for p in parts):
        kwargs["mask"] = np.concatenate([
            p.mask if p.mask is not None else np.ones(len(p.ids), dtype=bool) for p in parts])
    if any(p.lead_of is not None for p in parts):
        lead_query = query_vec if lead_query is None else lead_query
        kwargs["lead_scores"] = np.concatenate([p.lead_scores(lead_query) for p in parts])
    ranked = hybrid_rank(np.ascontiguousarray(np.concatenate([p.rows for p in parts])), ids,
                         {d: i for i, d in enumerate(ids)}, query_vec,
                         np.concatenate([p.lexical for p in parts]),
                         limit=operator.index(options.get("limit", _DEFAULT_LIMIT)), pool=pool, **kwargs)
    return [{"id": ids[row], "score": score} for row, score in ranked]


def check_options(query_vec: Any, options: Mapping[str, Any]) -> None:
    """Raises what `score_candidates` raises for these arguments (a TypeError naming the
    argument, an OverflowError), before any shard is asked: a call over no rows converts every
    argument and returns at once."""
    for key in options:
        if key not in SEARCH_OPTIONS:
            raise TypeError(f"search() got an unexpected keyword argument {key!r}")
    _quorvel.score_candidates(_NO_ROWS, _EMPTY_IDS, {}, query_vec, **options)


def _check_dims(parts: Iterable[LikedRows], query_vec: np.ndarray) -> bool:
    """False when no shard has a row; raises the native call's ValueError for a query whose
    length differs from the rows'."""
    dims = {p.dims for p in parts if p.rows_count}
    if not dims:
        return False
    if len(dims) > 1:
        raise ValueError(f"shards have rows of different lengths: {sorted(dims)}")
    (d,) = dims
    if len(query_vec) != d:
        raise ValueError(f"Query vector dimension {len(query_vec)} doesn't match cache dimension {d}")
    return True


def _liked_in_order(parts: Sequence[LikedRows], dims: int) -> np.ndarray:
    positions = np.concatenate([p.positions for p in parts])
    if len(np.unique(positions)) != len(positions):
        raise ValueError("a liked identifier is held by more than one shard")
    rows = np.concatenate([p.rows.reshape(-1, dims) for p in parts])
    return rows[np.argsort(positions, kind="stable")]


# --- running the shards --------------------------------------------------------------------

class _LocalShards:
    """Shards opened in this process and searched one after the other."""

    def __init__(self, shards: Sequence[ShardData | ShardSource]):
        self.names = [s.key if isinstance(s, ShardSource) else f"shard {i}" for i, s in enumerate(shards)]
        self._opened: list[Any] = []
        failed, reasons = [], []
        for name, s in zip(self.names, shards):
            try:
                self._opened.append(s.open() if isinstance(s, ShardSource) else s)
            except Exception as e:
                failed.append(name)
                reasons.append(repr(e))
        if failed:
            raise ShardsUnavailable(failed, reasons)

    def liked(self, like_ids: Sequence[str]) -> list[LikedRows]:
        return [liked_rows(current_data(d), like_ids) for d in self._opened]

    def candidates(self, query_vec: np.ndarray, options: Mapping[str, Any], pool: int,
                   where: Any = None) -> list[Candidates]:
        return [shard_candidates(current_data(d, where), query_vec, options, pool) for d in self._opened]

    def term_stats(self, terms: Sequence[str]) -> list[TermStats]:
        return [current_terms(d)[1].stats(terms) for d in self._opened]

    def hybrid(self, query_vec: np.ndarray, options: Mapping[str, Any], pool: int, where: Any,
               terms: Sequence[str], total: TermStats) -> list[HybridCandidates]:
        return [shard_hybrid_candidates(*current_terms(d, where), query_vec, options, pool, terms, total)
                for d in self._opened]

    def close(self) -> None:
        self._opened = []


class _ShardActor:
    """Holds one open shard on a Dask worker between searches. Its methods return
    ("ok", value) or ("error", exception), so that the caller tells a failed search (raised
    again as it is) from a worker that could not be reached."""

    def __init__(self, source: ShardSource):
        self._opened = source.open()

    def _outcome(self, fn, *args, where=None):
        try:
            return ("ok", fn(current_data(self._opened, where), *args))
        except Exception as e:
            return ("error", e)

    def liked(self, like_ids):
        return self._outcome(liked_rows, like_ids)

    def candidates(self, query_vec, options, pool, where=None):
        return self._outcome(shard_candidates, query_vec, options, pool, where=where)

    def term_stats(self, terms):
        try:
            return ("ok", current_terms(self._opened)[1].stats(terms))
        except Exception as e:
            return ("error", e)

    def hybrid(self, query_vec, options, pool, where, terms, total):
        try:
            data, table = current_terms(self._opened, where)
            return ("ok", shard_hybrid_candidates(data, table, query_vec, options, pool, terms, total))
        except Exception as e:
            return ("error", e)


class _DaskShards:
    """One actor per shard on the workers of a Dask client, shard i preferring worker i modulo
    the worker count. A call that cannot reach its actor's worker makes a new actor on another
    worker and calls it again."""

    #: Tries per shard and search: the first actor, then new actors on other workers.
    ATTEMPTS = 3
    #: Seconds a worker may take to open a shard for a new actor.
    START_TIMEOUT = 120.0
    #: Seconds to wait for a worker when none is left.
    WORKER_WAIT = 10.0

    def __init__(self, client: Any, shards: Sequence[ShardSource]):
        for s in shards:
            if not isinstance(s, ShardSource):
                raise TypeError("a search on a Dask cluster takes shard sources (with key and "
                                "open()), not data held in this process")
        self._client = client
        self._sources = list(shards)
        self.names = [s.key for s in shards]
        self._lock = threading.Lock()
        self._actors: list[Any] = [None] * len(shards)
        self._futures: list[Any] = [None] * len(shards)  # an actor lives while its future does
        self._start(range(len(shards)))

    def _workers(self) -> list[str]:
        return sorted(self._client.scheduler_info(n_workers=-1)["workers"])

    def _start(self, indices: Iterable[int], lost: frozenset[str] = frozenset()) -> None:
        """Makes actors for the shards `indices`, each on its preferred live worker or, if it
        cannot open the shard there, on the next one; raises ShardsUnavailable for shards that no
        worker could open. Workers in `lost` (just found unreachable, though perhaps still
        registered) are left out."""
        indices = list(indices)
        workers = [w for w in self._workers() if w not in lost]
        if not workers:  # the last worker has just died: its nanny may be starting a new one
            try:
                self._client.wait_for_workers(len(lost) + 1, timeout=self.WORKER_WAIT)
            except TimeoutError:
                pass
            workers = [w for w in self._workers() if w not in lost]
        if not workers:
            raise ShardsUnavailable([self.names[i] for i in indices], ["no worker"] * len(indices))
        failed, reasons = [], []
        for i in indices:
            self._actors[i] = self._futures[i] = None
            last = "no worker could open it"
            for k in range(len(workers)):
                # The preferred worker, then each other one in turn, in case the shard is out of
                # reach of some.
                w = workers[(i + k) % len(workers)]
                future = self._client.submit(_ShardActor, self._sources[i], actor=True,
                                             workers=[w], allow_other_workers=False, pure=False)
                try:
                    self._actors[i] = future.result(timeout=self.START_TIMEOUT)
                    self._futures[i] = future
                    break
                except Exception as e:
                    future.cancel()
                    last = repr(e)
            else:
                failed.append(self.names[i])
                reasons.append(last)
        if failed:
            raise ShardsUnavailable(failed, reasons)

    def _call(self, method: str, *args: Any) -> list[Any]:
        """Calls `method` on every shard's actor at once and returns the values in shard
        order; retries on new actors the shards whose workers were lost."""
        values: list[Any] = [None] * len(self._actors)
        pending = list(range(len(self._actors)))
        lost_reason: dict[int, str] = {}
        for attempt in range(self.ATTEMPTS):
            futures = {i: getattr(self._actors[i], method)(*args) for i in pending}
            lost = []
            error = None
            for i, future in futures.items():
                try:
                    status, value = future.result()
                except Exception as e:  # the worker holding the actor is gone
                    lost.append(i)
                    lost_reason[i] = repr(e)
                    continue
                if status == "ok":
                    values[i] = value
                elif error is None:
                    error = value
            if error is not None:
                raise error
            if not lost:
                return values
            pending = lost
            if attempt + 1 < self.ATTEMPTS:
                gone = frozenset(self._actors[i]._address for i in lost)
                with self._lock:
                    self._start(lost, gone)
        raise ShardsUnavailable([self.names[i] for i in pending], [lost_reason[i] for i in pending])

    def liked(self, like_ids: Sequence[str]) -> list[LikedRows]:
        return self._call("liked", list(like_ids))

    def candidates(self, query_vec: np.ndarray, options: Mapping[str, Any], pool: int,
                   where: Any = None) -> list[Candidates]:
        return self._call("candidates", query_vec, dict(options), pool, where)

    def term_stats(self, terms: Sequence[str]) -> list[TermStats]:
        return self._call("term_stats", list(terms))

    def hybrid(self, query_vec: np.ndarray, options: Mapping[str, Any], pool: int, where: Any,
               terms: Sequence[str], total: TermStats) -> list[HybridCandidates]:
        return self._call("hybrid", query_vec, dict(options), pool, where, list(terms), total)

    def close(self) -> None:
        self._actors = []
        self._futures = []


class ShardSearch:
    """Exact search over shards: `search(query_vec, **options)` returns what one
    `score_candidates(matrix, ids, id_to_idx, query_vec, timestamps=..., mask=..., **options)`
    over all shards' rows stacked in shard order returns.

    `shards` are `ShardData` (searched in this process) or `ShardSource`s. With a
    `distributed.Client`, each source is opened once by an actor on a worker and kept open until
    `close()`; without, the sources are opened here, memory-mapped.
    """

    def __init__(self, shards: Sequence[ShardData | ShardSource], *, client: Any = None):
        if not shards:
            raise ValueError("a sharded search needs at least one shard")
        self._runner = _LocalShards(shards) if client is None else _DaskShards(client, shards)

    @property
    def shard_names(self) -> list[str]:
        return list(self._runner.names)

    def search(self, query_vec: np.ndarray, *, liked_rows: np.ndarray | None = None,
               where: Any = None, terms: Sequence[str] | None = None, fusion_pool: int = DEFAULT_POOL,
               term_totals: TermStats | None = None, **options: Any) -> list[dict[str, Any]]:
        """`options` are those of `score_candidates` but the per-row arrays. A caller that
        holds the rows of `like_ids` itself (in list order, repeats included, unknown identifiers
        left out) may pass them as `liked_rows`, which saves asking the shards for them.

        `where`, a filter of `quorvel.filters` (a mapping, sent as it is), is answered by each
        shard from its own documents' metadata where the shard is searched: the rows it leaves
        out are added to the shard's mask. Shards opened from sources whose handles have
        `filtered` take it; others raise TypeError.

        `terms`, the index terms of the query text (`quorvel.lexical.tokenize`), make the search
        that of `quorvel.lexical.hybrid_rank` (pool `fusion_pool`) over all rows, the BM25
        scores computed with the statistics of all shards: the shards first report their row
        counts, lengths and the document frequencies of these terms, then each returns its
        rows among the `fusion_pool` best by meaning and by BM25, and `hybrid_rank` ranks the
        stacked candidates. Shards whose handles have `with_terms` take it. A caller that holds
        the statistics of all shards for these terms (`term_stats`) may pass them as
        `term_totals`, which saves asking the shards for them."""
        check_options(query_vec, options)
        like_ids = options.pop("like_ids", None)
        text_query = query_vec
        if liked_rows is not None and like_ids is None:
            raise TypeError("liked_rows is given without like_ids")
        # The liked rows are fetched first (they also give the rows' length), then the query is
        # composed once for all shards. Without like_ids the shards check the length themselves.
        if like_ids is not None:
            if liked_rows is None:
                parts = self._runner.liked(list(like_ids))
                if not _check_dims(parts, query_vec):
                    return []
                liked_rows = _liked_in_order(parts, len(query_vec))
            query_vec = compose_query(query_vec, liked_rows)
            if query_vec is None:
                return []
        if terms is not None:
            terms = list(terms)
            total = term_totals if term_totals is not None else self.term_stats(terms)
            found = self._runner.hybrid(query_vec, options, operator.index(fusion_pool), where, terms, total)
            return merge_hybrid(found, query_vec, options, fusion_pool, text_query)
        pool = _pool_size(options)
        parts = self._runner.candidates(query_vec, options, pool, where)
        return merge_candidates(parts, query_vec, options)

    def term_stats(self, terms: Sequence[str]) -> TermStats:
        """The BM25 statistics of all shards for the query terms `terms`."""
        return TermStats.total(self._runner.term_stats(list(terms)))

    def close(self) -> None:
        self._runner.close()

    def __enter__(self) -> "ShardSearch":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
