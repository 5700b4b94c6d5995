"""A collection of documents on disk, its embedding matrix, and search over it.

A collection is a folder:

- ``collection.sqlite`` (SQLite in WAL mode), these tables:
  ``documents(doc, id, text, timestamp, metadata)``, one entry per document (``doc`` an internal
  key never reused; ``metadata`` a JSON object or NULL);
  ``metadata_index``, the metadata again, one entry per value and list item, indexed for the
  ``where=`` filters of a search (`quorvel.filters`), changed in the transaction that changes
  the document; and the columns of that index that every change saves as runs of columns
  (``metadata_runs``, ``metadata_run_columns``, ``metadata_runs_saved_at``: derived data, see
  `quorvel.filters.save_columns`), so that a search reads a key's column in one read;
  ``rows(row, doc, start, line, dead)``, one entry per matrix row: the document it embeds, where
  its passage starts in the text (character offset and line) and a tombstone flag;
  ``meta(key, value)``: ``format``, ``generation`` (raised by every change), ``rows`` (the
  committed row count), ``dim``, ``matrix`` (the matrix file's name), ``embedder`` (the
  embedder's JSON description), ``embedder_id`` (the identity of the vector space),
  ``fit_texts`` and ``changed`` (texts at the default embedder's last fit, texts changed since);
- ``<stem>.embeddings.npy``: the float32 C-order matrix, row r embedding passage row r, with a
  128-byte .npy header; only the first ``rows`` rows count (rows after them are what an
  interrupted change left, ignored and overwritten), so the header's count may be larger;
- whatever the embedder saves (``<stem>.lsa.npz`` for the default embedder);
- ``collection.lock``, the lock writers hold across a whole change.

A change takes the lock, reloads the handle if the generation on disk moved, works from that
state, and commits in one SQLite transaction. Adding appends rows to the matrix file in place
(flushed before the commit that counts them) and removing tombstones rows, which searches leave
out through the ``mask`` argument; both cost what they change. When tombstones pass
`COMPACT_FRACTION` of the rows, or on `compact()`, and when the default embedder is refitted, a
new matrix file is written and switched to in the commit. A change that fails puts the matrix
file back and deletes the files it made, so files and handle stay as they were; after a kill at
any point the committed state is the old or the new one, and files no commit refers to are
deleted by the next change. Readers take no lock: they read the metadata and the row table in one
transaction, and the committed rows of a matrix file never change.

Documents are split into passages by `split` (`quorvel.passages`), one matrix row a passage. The
rows of a document are labelled for `_quorvel.score_candidates` by `row_label`.

The BM25 terms of the rows (`quorvel.bm25`) are derived data, kept as inverted tables of
consecutive rows of the matrix file: the table of rows a to b of the file ``<stem>.embeddings.npy``
is ``<stem>.a-b.terms.npz``, and ``<generation>.terms.json`` lists the tables of a generation
(``{"format", "language", "token_pattern", "matrix", "rows", "tables": [[a, b], ...]}``). The
first search of a generation (or `lexical_index()`) reads them, or takes those of the latest
earlier generation of the same matrix file and adds a table of the rows appended since (rows of a
matrix file never change once committed; tombstones are told by the live mask), saves what it
made, and keeps it all in memory. Each file is written under a scratch name and renamed, and read
back with every array checked, so that a damaged or missing file is made again. A change deletes
the lists of earlier generations and the tables that the latest list no longer needs.
"""

from __future__ import annotations

import datetime as _dt
import json
import math
import operator
import os
import secrets
import shutil
import sqlite3
import warnings
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from dataclasses import dataclass, field
from os import PathLike
from pathlib import Path
from typing import Any, NamedTuple, Self, TypedDict, Unpack

import numpy as np

import _quorvel

from .embedders import Embedder, LsaEmbedder, default_embedder, restore_embedder, unit_rows
from .filters import (INDEX_SCHEMA, INDEX_TABLE, SAVED_SCHEMA, TOUCHED_TABLE, Columns, Filter,
                      Metadata, check_metadata, compile_filter, index_rows, metadata_from_json,
                      metadata_json, prepare_saved_columns, save_columns)
from .bm25 import ShardTerms, TermTable
from .lexical import DEFAULT_POOL, LANGUAGE, TOKEN_PATTERN, hybrid_rank, tokenize
from .passages import Passage as _Cut, indexed_passages, indexed_text
from .query import QueryError, QueryWarning, modifier_notes
from .storage import CollectionError, MatrixFile, folder_file, writer_lock

DB_NAME = "collection.sqlite"
FORMAT = "3"
MATRIX_SUFFIX = ".embeddings.npy"
#: The list of the BM25 term tables of generation G is the file ``G.terms.json``.
TERMS_SUFFIX = ".terms.json"
#: The term table of rows a to b of the matrix file ``<stem>.embeddings.npy``:
#: ``<stem>.a-b.terms.npz``.
TABLE_SUFFIX = ".terms.npz"
_TERMS_FORMAT = 1
#: What the scratch name of a derived file ends with (``.<name>.<random>.part``) until renamed.
_SCRATCH_SUFFIX = ".part"
DEFAULT_LIMIT = 10
SNIPPET_CHARS = 200
EMBED_BATCH = 512
#: A change that leaves more than this share of the rows tombstoned compacts the matrix.
COMPACT_FRACTION = 0.25
#: The default embedder is refitted when the texts added, changed or removed since its last fit
#: would pass this share of the texts it was fitted on; until then new texts are projected with
#: the fitted model (words it does not know are left out until the refit).
REFIT_FRACTION = 0.1
#: How often a reader tries again when a concurrent change deleted the files it was opening.
LOAD_ATTEMPTS = 5
SQLITE_TIMEOUT = 60.0

#: progress(stage, done, total), called while a change is embedded.
Progress = Callable[[str, int, int], None]

_SCHEMA = """
CREATE TABLE meta (key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE documents (
    doc INTEGER PRIMARY KEY AUTOINCREMENT,
    id TEXT NOT NULL UNIQUE,
    text TEXT NOT NULL,
    timestamp REAL,
    metadata TEXT
);
CREATE TABLE rows (
    row INTEGER PRIMARY KEY,
    doc INTEGER NOT NULL,
    start INTEGER NOT NULL,
    line INTEGER NOT NULL,
    dead INTEGER NOT NULL DEFAULT 0
);
CREATE INDEX live_rows ON rows (doc) WHERE dead = 0;
""" + INDEX_SCHEMA + ";\n".join(SAVED_SCHEMA) + ";\n"
_META_KEYS = ("format", "generation", "rows", "dim", "matrix", "embedder", "embedder_id",
              "fit_texts", "changed")
_COUNT_KEYS = ("generation", "rows", "dim", "fit_texts", "changed")

class ModifierOverrides(TypedDict, total=False):
    """Keywords of a search that stand for keys of the modifier string (applied to the parsed
    modifiers before they are mapped; None takes a key away)."""

    recent: bool | None
    recent_days: int | None
    diverse: bool | None
    limit: int | None
    like: str | Sequence[str] | None
    unlike: str | None
    trajectory_from: str | None
    trajectory_to: str | None


class SearchOverrides(ModifierOverrides, total=False):
    """The keywords of `Collection.search` beyond its own: the modifier keys, and options of
    `_quorvel.score_candidates` (applied last, so they win; None takes one away)."""

    like_ids: str | Sequence[str] | None
    pre_filter_ids: str | Sequence[str] | None
    not_like_vec: str | np.ndarray | None
    traj_from_vec: str | np.ndarray | None
    traj_to_vec: str | np.ndarray | None
    oversample: int | None
    threshold: float | None
    mmr_lambda: float | None
    mask: np.ndarray | None


_MODIFIER_KEYS = frozenset(ModifierOverrides.__annotations__)
_PARAMETER_KEYS = frozenset(SearchOverrides.__annotations__) - _MODIFIER_KEYS
_VECTOR_KEYS = frozenset({"not_like_vec", "traj_from_vec", "traj_to_vec"})
_ID_LIST_KEYS = frozenset({"like_ids", "pre_filter_ids"})


@dataclass(frozen=True, slots=True)
class Document:
    """One document: a unique identifier, its text and, optionally, when it was written
    (seconds since the Unix epoch) and its metadata (str keys to a str, int, float, bool or a
    list of those; see `quorvel.filters`)."""

    id: str
    text: str
    timestamp: float | None = None
    metadata: Mapping[str, Any] = field(default_factory=dict, hash=False)


@dataclass(frozen=True, slots=True)
class Result:
    """One search hit: the document's identifier, its score (rounded to four decimals), the start
    of its best passage with whitespace collapsed, the document's timestamp if it has one, the
    line (1-based) where that passage starts in the document's text, and its metadata."""

    id: str
    score: float
    snippet: str
    timestamp: float | None
    line: int = 1
    metadata: Mapping[str, Any] = field(default_factory=dict, hash=False)


class Changes(NamedTuple):
    """What `Collection.add` did: documents added, and existing ones whose text, time or metadata
    changed."""

    added: int
    updated: int


class Update(NamedTuple):
    """What `Collection.update` did: documents added, existing ones whose text or time changed,
    and documents removed."""

    added: int
    updated: int
    removed: int


def snippet(text: str, chars: int = SNIPPET_CHARS) -> str:
    """The start of `text` with runs of whitespace collapsed, cut at a word boundary."""
    flat = " ".join(text.split())
    if len(flat) <= chars:
        return flat
    cut = flat.rfind(" ", 0, chars)
    return flat[: cut if cut > chars // 2 else chars].rstrip(" ,;:.") + "…"


def _timestamp(value: Any) -> float | None:
    if value is None:
        return None
    if isinstance(value, _dt.datetime):
        return value.timestamp()
    value = float(value)
    return value if math.isfinite(value) and value > 0 else None


def as_document(item: Document | Mapping[str, Any] | Sequence[Any]) -> Document:
    """A `Document` from a Document, an (id, text[, timestamp[, metadata]]) tuple or a mapping.

    Raises ValueError, naming the identifier, for one that is empty, not a str, or that SQLite
    cannot store (a lone surrogate, a NUL), and for such a text; and, naming the key, for
    metadata that is not allowed (`quorvel.filters.check_metadata`).
    """
    if isinstance(item, Document):
        doc_id, text, ts, meta = item.id, item.text, item.timestamp, item.metadata
    elif isinstance(item, Mapping):
        doc_id, text = item["id"], item["text"]
        ts, meta = item.get("timestamp"), item.get("metadata")
    else:
        doc_id, text, *rest = item
        ts = rest[0] if rest else None
        meta = rest[1] if len(rest) > 1 else None
    if not isinstance(doc_id, str) or not doc_id:
        raise ValueError(f"document identifier must be a non-empty str, got {doc_id!r}")
    if not isinstance(text, str):
        raise TypeError(f"text of document {doc_id!r} must be a str")
    _storable(doc_id, f"document identifier {doc_id!r}")
    _storable(text, f"text of document {doc_id!r}")
    try:
        checked = check_metadata(meta)
    except ValueError as e:
        raise ValueError(f"document {doc_id!r}: {e}") from None
    return Document(doc_id, text, _timestamp(ts), checked)


def _storable(value: str, what: str) -> None:
    try:
        value.encode("utf-8")
    except UnicodeEncodeError as e:
        raise ValueError(f"{what} cannot be stored: {e.reason} at position {e.start}") from None
    if "\0" in value:
        raise ValueError(f"{what} cannot be stored: it contains a NUL character")


def _batch(documents: Iterable[Any]) -> dict[str, Document]:
    """The documents by identifier, all checked before any work is done; of several items with
    one identifier the last wins."""
    return {d.id: d for d in map(as_document, documents)}


def _best_per_document(ranked: list[tuple[int, float]], labels: Sequence[str]) -> list[tuple[int, float]]:
    """The first (best) ranked row of each document, in rank order."""
    seen: set[str] = set()
    best = []
    for row, score in ranked:
        doc_id = document_of(labels[row])
        if doc_id not in seen:
            seen.add(doc_id)
            best.append((row, score))
    return best


def first_rows(state: _State, rows: np.ndarray) -> np.ndarray:
    """The first row of the document of each of `rows` (live rows)."""
    return np.fromiter((state.id_to_idx[document_of(state.ids[row])] for row in rows.tolist()),
                       dtype=np.int64, count=len(rows))


def _table_name(matrix: str, first: int, end: int) -> str:
    return f"{matrix.removesuffix(MATRIX_SUFFIX)}.{first}-{end}{TABLE_SUFFIX}"


def _table_bounds(tables: Sequence[TermTable]) -> list[tuple[int, int]]:
    ends = np.cumsum([0, *(t.rows for t in tables)]).tolist()
    return list(zip(ends, ends[1:]))


def _write_atomically(path: Path, write: Callable[[Any], None]) -> None:
    """Writes a file through `write(file)` under a scratch name and renames it to `path`; on an
    OSError (a folder the process cannot write, a full disk) the scratch file is removed and the
    error raised."""
    scratch = path.with_name(f".{path.name}.{secrets.token_hex(4)}{_SCRATCH_SUFFIX}")
    try:
        with open(scratch, "wb") as f:
            write(f)
        os.replace(scratch, path)
    except OSError:
        scratch.unlink(missing_ok=True)
        raise


def _unlink(path: str | Path) -> None:
    try:
        os.unlink(path)
    except OSError:
        pass


def _list_generation(name: str) -> int | None:
    """The generation whose term list the file `name` is, or None for another file."""
    stem = name.removesuffix(TERMS_SUFFIX)
    return int(stem) if stem != name and stem.isascii() and stem.isdigit() else None


def _terms_list(path: Path) -> dict[str, Any] | None:
    """The list of term tables in the file `path`, checked for its form and for this version's
    tokenizer; None when missing or not such a list."""
    try:
        with open(path, encoding="utf-8") as f:
            saved = json.load(f)
    except (OSError, ValueError):
        return None
    if (not isinstance(saved, dict) or saved.get("format") != _TERMS_FORMAT
            or saved.get("language") != LANGUAGE or saved.get("token_pattern") != TOKEN_PATTERN
            or not isinstance(saved.get("matrix"), str) or type(saved.get("rows")) is not int
            or not isinstance(saved.get("tables"), list)):
        return None
    end = 0
    for bounds in saved["tables"]:
        if (not isinstance(bounds, list) or len(bounds) != 2 or any(type(b) is not int for b in bounds)
                or bounds[0] != end or bounds[1] <= end):
            return None
        end = bounds[1]
    return saved if end == saved["rows"] else None


def _report(notes: list[str], strict: bool) -> None:
    """Raise the notes of a search as one QueryError when strict, else warn with each."""
    if notes and strict:
        raise QueryError(notes)
    for note in notes:
        warnings.warn(note, QueryWarning, stacklevel=3)


def _id_list(value: str | Iterable[str]) -> list[str]:
    return [value] if isinstance(value, str) else [str(v) for v in value]


class Passage(NamedTuple):
    """A piece of a document embedded as one matrix row: the text embedded and indexed for it,
    and where it starts in the document's text (character offset, 1-based line)."""

    text: str
    start: int
    line: int


def split(doc: Document) -> list[Passage]:
    """The passages of a document as `quorvel.passages.indexed_passages` gives them: each
    embedded and indexed with the document's identifier and section title before its text (a
    file's name and headings say what it is about), led by the document's lead sentence when it
    has several, so that its first row is the one `hybrid_rank` scores each of its passages
    with. A blank text is one passage all the same, so that every document has a row."""
    parts = indexed_passages(doc.id, doc.text)
    if not parts:
        return [Passage(indexed_text(doc.id, _Cut(doc.text, 1, 0)), 0, 1)]
    return [Passage(text, p.offset, p.line) for text, p in parts]


#: Separates a document's identifier from the row number in the labels of its rows after the
#: first; identifiers cannot hold it (SQLite text is refused a NUL), so labels never collide.
ROW_MARK = "\0"


def row_label(doc_id: str, row: int, labels: Mapping[str, int]) -> str:
    """The label of a live row of `doc_id`: the identifier itself for the document's first row
    (so that identifiers find their document in `id_to_idx`), `doc_id + ROW_MARK + row` for the
    others (so that every row has a label of its own)."""
    return doc_id if doc_id not in labels else f"{doc_id}{ROW_MARK}{row}"


def document_of(label: str) -> str:
    """The document identifier of a row label."""
    return label.partition(ROW_MARK)[0]


def rows_by_document(labels: Sequence[str]) -> dict[str, list[int]]:
    """The live rows of each document, in order, from the row labels ('' for a dead row)."""
    out: dict[str, list[int]] = {}
    for row, label in enumerate(labels):
        if label:
            out.setdefault(document_of(label), []).append(row)
    return out


class Snapshot(NamedTuple):
    """What one `_quorvel.score_candidates` call over a collection needs, as of one generation:
    the memory-mapped matrix, the identifier of each row ('' for a tombstoned row), the map of
    live identifiers to rows, the float64 timestamps per row (None when no row has one) and the
    mask of live rows (None when every row is live). The list, dict and arrays belong to the
    handle and follow its later changes; treat them as read-only."""

    generation: int
    matrix: np.ndarray
    ids: list[str]
    id_to_idx: dict[str, int]
    timestamps: np.ndarray | None
    mask: np.ndarray | None


def _meta_counts(meta: dict[str, str], where: Path) -> dict[str, int]:
    counts = {}
    for key in _COUNT_KEYS:
        try:
            value = int(meta[key])
        except (KeyError, ValueError):
            raise CollectionError(f"{where}: metadata {key!r} is {meta.get(key)!r}, "
                                  "not a count") from None
        if value < 0:
            raise CollectionError(f"{where}: metadata {key!r} is negative ({value})")
        counts[key] = value
    return counts


@dataclass(slots=True)
class _State:
    """A handle's copy of one committed generation. The per-row arrays are views of buffers
    with room to grow, so that an append by this handle costs what it appends."""

    generation: int
    meta: dict[str, str]
    rows: int
    dim: int
    dead: int
    matrix_file: MatrixFile | None
    matrix: np.ndarray
    ids: list[str]
    id_to_idx: dict[str, int]
    ts_buffer: np.ndarray
    live_buffer: np.ndarray
    doc_buffer: np.ndarray
    dated: bool
    documents: int = 0
    timestamps: np.ndarray | None = None
    mask: np.ndarray | None = None
    row_docs: np.ndarray | None = None
    doc_bound: int = 0  # above every document key of a row

    def publish(self) -> None:
        """Refreshes the views after the row count or a flag changed."""
        ts = self.ts_buffer[:self.rows]
        ts.flags.writeable = False
        self.timestamps = ts if self.dated else None
        live = self.live_buffer[:self.rows]
        live.flags.writeable = False
        self.mask = live if self.dead else None
        docs = self.doc_buffer[:self.rows]
        docs.flags.writeable = False
        self.row_docs = docs

    def grow(self, rows: int) -> None:
        if rows > len(self.ts_buffer):
            capacity = max(rows, 2 * len(self.ts_buffer), 64)
            ts = np.full(capacity, np.nan)
            ts[:self.rows] = self.ts_buffer[:self.rows]
            live = np.zeros(capacity, dtype=bool)
            live[:self.rows] = self.live_buffer[:self.rows]
            docs = np.zeros(capacity, dtype=np.int64)
            docs[:self.rows] = self.doc_buffer[:self.rows]
            self.ts_buffer, self.live_buffer, self.doc_buffer = ts, live, docs


def parse_request(modifiers: str | None, overrides: Mapping[str, Any]) -> dict[str, Any]:
    """The modifiers of a search: the modifier string parsed by `_quorvel.parse_modifiers`, with
    the keyword overrides of modifier keys applied; TypeError for a keyword that
    `SearchOverrides` does not name (type checkers see those through `Unpack`)."""
    unknown = overrides.keys() - SearchOverrides.__annotations__.keys()
    if unknown:
        raise TypeError(f"search() got an unexpected keyword argument {min(unknown)!r}")
    mods = _quorvel.parse_modifiers(modifiers)
    mods.update((k, v) for k, v in overrides.items() if k in _MODIFIER_KEYS)
    if mods["recent_days"] is not None and not mods["recent_days"] > 0:
        mods["recent_days"] = None  # no half-life of 0 or below: the default one is used
    return mods


def liked_ids(mods: Mapping[str, Any], overrides: Mapping[str, Any]) -> list[str] | None:
    """The identifiers to blend the query towards: `like_ids` wins over `like:`, and None takes
    it away."""
    value = overrides["like_ids"] if "like_ids" in overrides else mods["like"]
    return None if value is None else _id_list(value)


def score_options(mods: Mapping[str, Any], vectors: np.ndarray, unlike: str,
                  trajectory: bool) -> dict[str, Any]:
    """The `score_candidates` keywords that the modifiers and the embedded texts of
    `query_texts` give (not `limit`, not the liked documents, not the per-row arrays)."""
    options: dict[str, Any] = {"diverse": bool(mods["diverse"]), "recent": bool(mods["recent"])}
    if mods["recent_days"] is not None:
        options["recent_days"] = float(mods["recent_days"])
    if unlike:
        options["not_like_vec"] = vectors[1]
    if trajectory:
        options["traj_from_vec"], options["traj_to_vec"] = vectors[-2], vectors[-1]
    return options


def apply_overrides(options: dict[str, Any], overrides: Mapping[str, Any],
                    embed: Callable[[Sequence[str]], np.ndarray],
                    rows_of: Callable[[list[str]], list[str]] = lambda ids: ids,
                    user_mask: Callable[[Any], np.ndarray] = lambda mask: mask) -> None:
    """Applies the keyword options of `score_candidates` to `options`, last so that they win: a
    str given for a vector is embedded, identifier lists go through `rows_of`, a mask through
    `user_mask`; None takes an option away, but for `mask` (a mask of None adds no rows).
    `like_ids` is read by `liked_ids`."""
    for key, value in overrides.items():
        if key not in _PARAMETER_KEYS or key == "like_ids":
            continue
        if value is None:
            if key != "mask":
                options.pop(key, None)
        elif key in _VECTOR_KEYS:
            options[key] = _as_vector(embed, value)
        elif key in _ID_LIST_KEYS:
            options[key] = rows_of(_id_list(value))
        elif key == "mask":
            options[key] = user_mask(value)
        else:
            options[key] = value


def _as_vector(embed: Callable[[Sequence[str]], np.ndarray], value: Any) -> np.ndarray:
    """A vector option: a str is embedded, anything else made a float32 vector."""
    if isinstance(value, str):
        return embed([value])[0]
    return np.ascontiguousarray(value, dtype=np.float32).reshape(-1)


def query_texts(text: str, mods: Mapping[str, Any]) -> tuple[list[str], str, bool]:
    """The texts a search embeds (the query, then the `unlike:` text, then the `from:` and `to:`
    texts), the `unlike:` text ('' when none: 'unlike:' with nothing after it contrasts with
    nothing) and whether there is a trajectory (both ends given)."""
    texts = [text or ""]
    unlike = mods["unlike"] or ""
    if unlike:
        texts.append(unlike)
    start, end = mods["trajectory_from"], mods["trajectory_to"]
    trajectory = bool(start) and bool(end)
    if trajectory:
        texts += [start, end]
    return texts, unlike, trajectory


def request_arguments(embed: Callable[[Sequence[str]], np.ndarray], vectors: np.ndarray,
                      unlike: str, trajectory: bool, mods: Mapping[str, Any],
                      like: list[str] | None, overrides: Mapping[str, Any]) -> dict[str, Any]:
    """The `score_candidates` keywords of a search, but the collection's per-row arrays
    (timestamps, mask of live rows): from the embedded texts of `query_texts` and what
    `text_notes` kept of them, the liked documents held, and the overrides. `embed` turns texts
    into unit rows; a `mask` override is passed on as given, for the collection to combine with
    its own."""
    kwargs = score_options(mods, vectors, unlike, trajectory)
    kwargs["limit"] = DEFAULT_LIMIT if mods["limit"] is None else operator.index(mods["limit"])
    if like:
        kwargs["like_ids"] = like
    apply_overrides(kwargs, overrides, embed)
    return kwargs


def known_ids(ids: list[str], held: Callable[[str], bool], notes: list[str]) -> list[str]:
    """The non-empty identifiers of `ids` that are `held`; a note for the others."""
    unknown = [i for i in ids if i and not held(i)]
    if unknown:
        notes.append(f"like: {', '.join(map(repr, unknown))} "
                     f"{'is' if len(unknown) == 1 else 'are'} not in the collection; ignored")
    return [i for i in ids if held(i)]


def text_notes(text: str, blank: np.ndarray, unlike: str, trajectory: bool, lexical: bool,
               found_by_words: bool, notes: list[str]) -> tuple[str, bool]:
    """Notes for the texts of `query_texts` in which no word is known (`blank`: per embedded
    text, whether its vector is zero) and a fused search whose query words occur nowhere; returns
    the `unlike:` text and the trajectory as the search keeps them (dropped when blank)."""
    if blank[0] and not found_by_words:
        notes.append(f"no word of the query {text!r} is known to the collection")
    elif lexical and not found_by_words:
        notes.append(f"no word of the query {text!r} occurs in the collection; "
                     "ranked by meaning alone")
    if unlike and blank[1]:
        notes.append(f"no word of 'unlike:{unlike}' is known to the collection; it is ignored")
        unlike = ""
    if trajectory and (blank[-2] or blank[-1]):
        notes.append("no word of the 'from:' or the 'to:' text is known to the collection; "
                     "the trajectory is ignored")
        trajectory = False
    return unlike, trajectory


class Collection:
    """Documents, their embedding matrix and the embedder that made it, stored in a folder.

    Make one with `Collection.create(path, documents)`, reopen it with `Collection.open(path)`,
    and query it with `search`. Use it as a context manager or call `close`. Any number of
    handles and processes may read and change one collection: changes are serialised by a lock
    file, and a handle reloads when the collection was changed elsewhere.
    """

    def __init__(self, path: Path, conn: sqlite3.Connection, embedder: Embedder | None,
                 read_only: bool = False, config: str | None = None):
        self.path = path
        self._conn: sqlite3.Connection | None = conn
        self._read_only = read_only
        self._lock = writer_lock(path)
        self._embedder = embedder
        # The stored description the embedder was restored from (or saved as): while it stays
        # the same on disk the embedder is kept. A caller's embedder is never replaced.
        self._embedder_config = config
        # The BM25 terms of the rows as of generation `_terms_generation`, and the names of the
        # saved tables this handle found damaged (written again).
        self._terms = ShardTerms()
        self._terms_generation: int | None = None
        self._refused_tables: set[str] = set()
        self._cuts: dict[str, tuple[str, list[Passage]]] = {}  # see _split
        self._caller_embedder = embedder is not None and config is None
        self._state = self._load()
        # The metadata columns filters have loaded, good for the generation they were read at.
        self._columns = Columns()
        self._columns_generation = -1

    # -- opening ---------------------------------------------------------------------------

    @classmethod
    def create(cls, path: str | PathLike[str], documents: Iterable[Any] = (), *,
               embedder: Embedder | None = None, progress: Progress | None = None) -> Self:
        """Create a collection in the folder `path` (made if missing) and add `documents`.

        The embedder defaults to `default_embedder()`: WordLlama when it is installed (the
        `embed` extra), else an `LsaEmbedder` fitted on the collection's texts.
        Raises FileExistsError if the folder already holds a collection.
        """
        folder = Path(path)
        documents = _batch(documents).values()
        folder.mkdir(parents=True, exist_ok=True)
        embedder = embedder if embedder is not None else default_embedder()
        with writer_lock(folder):
            if (folder / DB_NAME).exists():
                raise FileExistsError(f"a collection already exists in {folder}")
            config = _write_new_database(folder, embedder)
        collection = cls(folder, _connect(folder / DB_NAME), embedder, config=config)
        try:
            if documents:
                collection.add(documents, progress=progress)
        except BaseException:
            collection._undo_create(embedder, config)
            raise
        return collection

    def _undo_create(self, embedder: Embedder, config: str) -> None:
        """Removes what a failed `create` made, so that it can be tried again: the database and
        the embedder's files, unless another handle has changed the collection in the meantime.
        The lock file stays: a writer may be waiting on it."""
        self.close()
        folder = self.path
        with writer_lock(folder):
            conn = _connect(folder / DB_NAME)
            try:
                row = conn.execute("SELECT value FROM meta WHERE key = 'generation'").fetchone()
            except sqlite3.Error:
                row = None
            finally:
                conn.close()
            if row is None or row[0] != "0":
                return
            for name in (DB_NAME, DB_NAME + "-wal", DB_NAME + "-shm",
                         *embedder.files(json.loads(config))):
                (folder / name).unlink(missing_ok=True)

    @classmethod
    def open(cls, path: str | PathLike[str], *, embedder: Embedder | None = None,
             read_only: bool = False) -> Self:
        """Open the collection in the folder `path`.

        The embedder it was built with is restored from the folder; a custom embedder must be
        passed again as `embedder`, and must have the identity stored with the vectors. With
        `read_only` the handle searches but refuses changes (a shard of a larger collection).
        Raises FileNotFoundError when the folder holds no collection, and CollectionError when
        it cannot be used: damaged, inconsistent or missing files, a stale format, another
        embedder's vectors.
        """
        folder = Path(path)
        db = folder / DB_NAME
        if not db.is_file():
            raise FileNotFoundError(f"no collection in {folder}")
        if db.stat().st_size == 0:
            raise CollectionError(f"{db}: empty file")
        conn = _connect(db, read_only=read_only)
        try:
            return cls(folder, conn, embedder, read_only)
        except sqlite3.DatabaseError as e:
            conn.close()
            raise CollectionError(f"{db}: {e}") from None
        except BaseException:
            conn.close()
            raise

    def close(self) -> None:
        """Close the database; the collection cannot be used afterwards."""
        if self._conn is not None:
            self._conn.close()
            self._conn = None

    def __enter__(self) -> Self:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def _db(self) -> sqlite3.Connection:
        if self._conn is None:
            raise ValueError("the collection is closed")
        return self._conn

    def _generation_on_disk(self) -> int:
        row = self._db().execute("SELECT value FROM meta WHERE key = 'generation'").fetchone()
        try:
            return int(row[0])
        except (TypeError, ValueError):
            raise CollectionError(f"{self.path / DB_NAME}: metadata 'generation' is "
                                  f"{row and row[0]!r}") from None

    def _refresh(self) -> _State:
        """The current state, reloaded first if the collection changed since this handle read it."""
        if self._generation_on_disk() != self._state.generation:
            self._state = self._load()
        return self._state

    # -- loading ---------------------------------------------------------------------------

    def _read_tables(self) -> tuple[dict[str, str], list[tuple], int]:
        """Metadata, row table and document count, read in one transaction."""
        conn = self._db()
        conn.execute("BEGIN")
        try:
            meta = dict(conn.execute("SELECT key, value FROM meta"))
            _check_format(meta, self.path / DB_NAME)
            rows = conn.execute("SELECT r.row, r.dead, r.doc, d.id, d.timestamp FROM rows r "
                                "LEFT JOIN documents d ON d.doc = r.doc ORDER BY r.row").fetchall()
            documents = conn.execute("SELECT count(*) FROM documents").fetchone()[0]
        finally:
            conn.execute("COMMIT")
        return meta, rows, documents

    def _load(self) -> _State:
        """The committed state and its embedder; CollectionError for anything damaged. A file
        deleted by a concurrent change between reading the tables and opening it is retried."""
        for attempt in range(LOAD_ATTEMPTS):
            try:
                meta, rows, documents = self._read_tables()
            except sqlite3.DatabaseError as e:
                raise CollectionError(f"{self.path / DB_NAME}: {e}") from None
            try:
                state = self._check_state(meta, rows, documents)
                embedder = self._check_embedder(meta, state)
            except CollectionError:
                if attempt + 1 < LOAD_ATTEMPTS and self._generation_on_disk() != _generation_of(meta):
                    continue
                raise
            self._embedder = embedder
            if not self._caller_embedder:
                self._embedder_config = meta["embedder"]
            return state
        raise AssertionError("unreachable")

    def _check_state(self, meta: dict[str, str], rows: list[tuple], documents: int) -> _State:
        db = self.path / DB_NAME
        missing = [k for k in _META_KEYS if k not in meta]
        if missing:
            raise CollectionError(f"{db}: metadata lacks {', '.join(missing)}")
        counts = _meta_counts(meta, db)
        n, dim = counts["rows"], counts["dim"]
        if len(rows) != n:
            raise CollectionError(f"{db}: {len(rows)} rows in the row table, the metadata says {n}")
        ids: list[str] = []
        id_to_idx: dict[str, int] = {}
        ts = np.full(max(n, 64), np.nan)
        live = np.zeros(max(n, 64), dtype=bool)
        docs = np.zeros(max(n, 64), dtype=np.int64)
        dead = seen = 0
        for i, (row, is_dead, doc, doc_id, stamp) in enumerate(rows):
            if row != i or is_dead not in (0, 1) or type(doc) is not int or doc < 0:
                raise CollectionError(f"{db}: row entry {row!r} (dead {is_dead!r}, document "
                                      f"{doc!r}) at position {i}")
            docs[i] = doc
            if is_dead:
                dead += 1
                ids.append("")
                continue
            if not isinstance(doc_id, str):
                raise CollectionError(f"{db}: row {i} belongs to a missing document")
            label = row_label(doc_id, i, id_to_idx)
            ids.append(label)
            id_to_idx[label] = i
            seen += ROW_MARK not in label
            live[i] = True
            if stamp is not None:
                ts[i] = stamp
        if seen != documents:
            raise CollectionError(f"{db}: {documents} documents but {seen} with live rows")
        matrix_file = None
        if meta["matrix"] or n:
            if dim == 0:
                raise CollectionError(f"{db}: {n} rows of dimension 0")
            matrix_file = MatrixFile.check(folder_file(self.path, meta["matrix"], MATRIX_SUFFIX), n, dim)
            matrix = matrix_file.rows(n)
        else:
            matrix = np.zeros((0, dim), dtype=np.float32)
        state = _State(counts["generation"], meta, n, dim, dead, matrix_file, matrix, ids,
                       id_to_idx, ts, live, docs, dated=bool(np.any(ts[:n] > 0)),
                       documents=documents, doc_bound=int(docs[:n].max()) + 1 if n else 0)
        state.publish()
        return state

    def _check_embedder(self, meta: dict[str, str], state: _State) -> Embedder:
        try:
            config = json.loads(meta["embedder"])
        except ValueError:
            raise CollectionError(f"{self.path / DB_NAME}: metadata 'embedder' is not JSON") from None
        if not isinstance(config, dict) or not isinstance(config.get("kind"), str):
            raise CollectionError(f"{self.path}: malformed embedder description {config!r}")
        if self._caller_embedder or meta["embedder"] == self._embedder_config:
            embedder = self._embedder
        else:
            embedder = restore_embedder(self.path, config)
        assert embedder is not None
        if embedder.identity != meta["embedder_id"]:
            raise CollectionError(
                f"{self.path}: its vectors were made by the embedder {meta['embedder_id']!r}, "
                f"not by {embedder.identity!r}")
        if state.rows and embedder.dim != state.dim:
            raise CollectionError(f"{self.path}: vectors of {state.dim} dimensions, the embedder "
                                  f"makes {embedder.dim}")
        return embedder

    # -- reading ---------------------------------------------------------------------------

    @property
    def embedder(self) -> Embedder:
        self._refresh()
        assert self._embedder is not None
        return self._embedder

    @property
    def generation(self) -> int:
        """The number of the committed state this handle reads (raised by every change)."""
        return self._refresh().generation

    @property
    def ids(self) -> list[str]:
        """The identifier of each matrix row ('' for a tombstoned row); read-only by convention."""
        return self._refresh().ids

    @property
    def matrix(self) -> np.ndarray:
        """The (rows, dim) float32 embedding matrix, memory-mapped read-only. Tombstoned rows
        are still in it until the next compaction; `mask` says which rows are live."""
        return self._refresh().matrix

    @property
    def timestamps(self) -> np.ndarray | None:
        """float64 epoch seconds per row (NaN where unknown), or None if no row has one."""
        return self._refresh().timestamps

    @property
    def mask(self) -> np.ndarray | None:
        """bool per row, False for tombstoned rows; None when every row is live."""
        return self._refresh().mask

    def snapshot(self) -> Snapshot:
        """The arrays and maps of the current generation, for a `score_candidates` call."""
        s = self._refresh()
        return Snapshot(s.generation, s.matrix, s.ids, s.id_to_idx, s.timestamps, s.mask)

    def __len__(self) -> int:
        return self._refresh().documents

    def __contains__(self, doc_id: object) -> bool:
        return isinstance(doc_id, str) and ROW_MARK not in doc_id and doc_id in self._refresh().id_to_idx

    def get(self, doc_id: str) -> Document | None:
        row = self._db().execute("SELECT id, text, timestamp, metadata FROM documents WHERE id = ?",
                                 (doc_id,)).fetchone()
        return _stored_document(row) if row else None

    def documents(self) -> Iterator[Document]:
        """All documents, in the order they were first added."""
        query = "SELECT id, text, timestamp, metadata FROM documents ORDER BY doc"
        for row in self._db().execute(query):
            yield _stored_document(row)

    def __repr__(self) -> str:
        if self._conn is None:
            return f"Collection({str(self.path)!r}, closed)"
        kind = self._embedder.kind if self._embedder is not None else "?"
        return f"Collection({str(self.path)!r}, {len(self)} documents, {kind} x {self._state.dim})"

    # -- changing --------------------------------------------------------------------------

    def add(self, documents: Iterable[Any], *, progress: Progress | None = None) -> Changes:
        """Add documents, replacing the text, timestamp and metadata of those whose identifier
        exists.

        Items are `Document`s, (id, text[, timestamp[, metadata]]) tuples or mappings with those
        keys; the last of several items with one identifier wins. Every item is checked before
        anything is done. Only new and changed texts are embedded and appended; the default embedder is
        refitted on all texts when it has gone stale (see `REFIT_FRACTION`).
        """
        added, updated, _ = self.update(documents, progress=progress)
        return Changes(added, updated)

    def update(self, documents: Iterable[Any] = (), *, remove: Iterable[str] = (),
               root: str | None = None, progress: Progress | None = None) -> Update:
        """Add (or replace) `documents`, as `add` does, and remove the documents with the
        identifiers `remove` (those also in `documents` are kept), in one change: all of it is
        committed, or after a failure or an interrupt none of it. `root` records the folder the
        collection mirrors (see `root`)."""
        batch = _batch(documents)
        dropped = [i for i in dict.fromkeys(_id_list(remove)) if i not in batch]
        self._cuts.clear()  # kept from here to the index built after this change
        with self._change() as state:
            known = self._stored([*batch, *dropped])
            gone = [known[i][0] for i in dropped if i in known]
            new, retext, retime = [], [], []
            for doc in batch.values():
                old = known.get(doc.id)
                if old is None:
                    new.append(doc)
                elif old[1] != doc.text:
                    retext.append((old[0], doc))
                elif old[2] != doc.timestamp or metadata_json(old[3]) != metadata_json(doc.metadata):
                    retime.append((old[0], doc))
            meta = {} if root is None or state.meta.get("root") == root else {"root": root}
            if not (new or retext or retime or gone or meta):
                return Update(0, 0, 0)
            texts_changed = len(new) + len(retext)
            appended = sum(len(self._split(d)) for d in [*new, *(d for _, d in retext)])
            tombstoned = self._live_rows([key for key, _ in retext] + gone)
            if self._stale(state, texts_changed):
                self._rebuild(state, new, retext, retime, gone, refit=True, progress=progress,
                              meta=meta)
            elif (state.matrix_file is None and appended
                  or _sparse(state.dead + tombstoned, state.rows + appended)):
                self._rebuild(state, new, retext, retime, gone, refit=False, progress=progress,
                              meta=meta)
            else:
                self._append(state, new, retext, retime, gone, progress, meta=meta)
                if gone or retime or tombstoned != len(retext) or appended != texts_changed:
                    self._state = self._load()  # documents of several rows: read the state again
        return Update(len(new), len(retext) + len(retime), len(gone))

    @property
    def root(self) -> str | None:
        """The folder this collection mirrors, as recorded by `update` (`quorvel index`), or None."""
        return self._refresh().meta.get("root")

    def document_sizes(self) -> dict[str, tuple[int, float | None]]:
        """Each document's text size in UTF-8 bytes and its timestamp, by identifier, read
        without loading the texts."""
        rows = self._db().execute("SELECT id, length(CAST(text AS BLOB)), timestamp FROM documents")
        return {doc_id: (size, ts) for doc_id, size, ts in rows}

    def remove(self, ids: Iterable[str]) -> int:
        """Remove the documents with these identifiers; returns how many were removed. Their
        rows are tombstoned, and compacted away in the same change once the tombstones pass
        `COMPACT_FRACTION` of the rows."""
        wanted = list(dict.fromkeys(_id_list(ids)))
        with self._change() as state:
            known = self._stored(wanted)
            if not known:
                return 0
            docs = [known[i][0] for i in known]
            tombstoned = self._live_rows(docs)
            if _sparse(state.dead + tombstoned, state.rows):
                self._rebuild(state, [], [], [], docs, refit=False, progress=None)
                return len(known)
            self._commit_sql(state, [
                *((f"UPDATE rows SET dead = 1 WHERE dead = 0 AND doc IN ({_marks(part)})", part)
                  for part in _chunks(docs)),
                *((f"DELETE FROM documents WHERE doc IN ({_marks(part)})", part)
                  for part in _chunks(docs)),
                *_index_statements(docs, []),
            ], {"changed": int(state.meta["changed"]) + len(known)})
            if tombstoned != len(known):  # documents of several rows: read the state again
                self._state = self._load()
                return len(known)
            for doc_id in known:
                row = state.id_to_idx.pop(doc_id)
                state.ids[row] = ""
                state.live_buffer[row] = False
                state.dead += 1
            state.documents -= len(known)
            state.publish()
        return len(known)

    def compact(self) -> None:
        """Write the matrix again without its tombstoned rows (done by itself past
        `COMPACT_FRACTION`)."""
        with self._change() as state:
            if state.dead:
                self._rebuild(state, [], [], [], (), refit=False, progress=None)

    def refit(self, *, progress: Progress | None = None) -> None:
        """Fit the embedder again on every text and embed them all (for an embedder that
        learns from the collection, such as the default; otherwise nothing to do)."""
        with self._change() as state:
            assert self._embedder is not None
            if self._embedder.fits_collection and len(state.id_to_idx):
                self._rebuild(state, [], [], [], (), refit=True, progress=progress)

    # -- the machinery of a change ----------------------------------------------------------

    def _change(self) -> "_Change":
        if self._read_only:
            raise ValueError(f"{self.path} was opened read-only")
        self._db()
        return _Change(self)

    def _stored(self, ids: list[str]) -> dict[str, tuple[int, str, float | None, Metadata]]:
        """doc key, text, timestamp and metadata of those of `ids` that are stored."""
        found = {}
        for part in _chunks(ids):
            query = ("SELECT id, doc, text, timestamp, metadata FROM documents "
                     f"WHERE id IN ({_marks(part)})")
            for doc_id, doc, text, ts, meta in self._db().execute(query, part):
                found[doc_id] = (doc, text, ts, metadata_from_json(meta))
        return found

    def _stale(self, state: _State, texts_changed: int) -> bool:
        emb = self._embedder
        assert emb is not None
        if not emb.fits_collection or not texts_changed:
            return False
        if state.meta["embedder_id"] == "lsa/unfitted" or not state.id_to_idx and not state.rows:
            return True
        changed = int(state.meta["changed"]) + texts_changed
        return changed > REFIT_FRACTION * int(state.meta["fit_texts"])

    def _commit_sql(self, state: _State, statements: list[tuple[str, Sequence[Any]]],
                    meta: dict[str, Any]) -> None:
        """Runs the statements and sets the metadata, with the generation raised, in one
        transaction; the handle's state takes the new metadata only once it is committed."""
        conn = self._db()
        meta = {k: str(v) for k, v in meta.items()}
        meta["generation"] = str(state.generation + 1)
        conn.execute("BEGIN IMMEDIATE")
        try:
            prepare_saved_columns(conn)
            for sql, params in statements:
                if params and isinstance(params[0], (tuple, list)):
                    conn.executemany(sql, params)
                else:
                    conn.execute(sql, params)
            save_columns(conn, state.generation + 1)
            conn.executemany("INSERT OR REPLACE INTO meta VALUES (?, ?)", meta.items())
            _before_commit(self.path)
            conn.execute("COMMIT")
        except BaseException:
            if conn.in_transaction:
                conn.execute("ROLLBACK")
            raise
        state.meta.update(meta)
        state.generation += 1

    def _embed_batches(self, texts: Sequence[str], progress: Progress | None,
                       embedder: Embedder | None = None) -> np.ndarray:
        emb = embedder or self._embedder
        assert emb is not None
        parts = []
        for start in range(0, len(texts), EMBED_BATCH):
            parts.append(_embed_with(emb, texts[start:start + EMBED_BATCH]))
            if progress:
                progress("embedding", min(start + EMBED_BATCH, len(texts)), len(texts))
        return np.concatenate(parts) if parts else np.zeros((0, emb.dim), dtype=np.float32)

    def _append(self, state: _State, new: list[Document], retext: list[tuple[int, Document]],
                retime: list[tuple[int, Document]], gone: Sequence[int], progress: Progress | None,
                meta: dict[str, Any]) -> None:
        """Embeds the new and changed texts and appends their rows; the changed documents' old
        rows are tombstoned, and the documents `gone` (keys) removed with their rows; `meta` is
        committed with them."""
        passages = [(doc, p) for doc in [*new, *(d for _, d in retext)] for p in self._split(doc)]
        first, undo = state.rows, None
        if passages:
            vectors = self._embed_batches([p.text for _, p in passages], progress)
            if vectors.shape[1] != state.dim:
                raise ValueError(f"the embedder returned vectors of {vectors.shape[1]} dimensions, "
                                 f"the collection holds {state.dim}")
            assert state.matrix_file is not None
            undo = state.matrix_file.append(first, vectors)
        try:
            statements: list[tuple[str, Sequence[Any]]] = [
                *_document_statements(new, [*retext, *retime]),
                ("UPDATE rows SET dead = 1 WHERE dead = 0 AND doc = ?",
                 [(key,) for key in [*(k for k, _ in retext), *gone]]),
                ("DELETE FROM documents WHERE doc = ?", [(key,) for key in gone]),
                *_index_statements(gone, []),
                ("INSERT INTO rows (row, doc, start, line) VALUES (?, (SELECT doc FROM documents "
                 "WHERE id = ?), ?, ?)",
                 [(first + i, doc.id, p.start, p.line) for i, (doc, p) in enumerate(passages)]),
            ]
            statements = [(sql, params) for sql, params in statements if params]
            meta = {**meta, "rows": first + len(passages),
                    "changed": int(state.meta["changed"]) + len(new) + len(retext) + len(gone)}
            self._commit_sql(state, statements, meta)
        except BaseException:
            if undo is not None:
                undo()
            raise
        # Committed: bring the handle's copy along (nothing below can fail on valid input).
        keys = {doc_id: known[0] for doc_id, known in self._stored([d.id for d in new]).items()}
        keys.update((doc.id, key) for key, doc in retext)
        state.doc_bound = max([state.doc_bound, *(key + 1 for key in keys.values())])
        state.grow(first + len(passages))
        for _, doc in retext:
            row = state.id_to_idx.pop(doc.id)
            state.ids[row] = ""
            state.live_buffer[row] = False
            state.dead += 1
        for _, doc in retime:
            state.ts_buffer[state.id_to_idx[doc.id]] = np.nan if doc.timestamp is None else doc.timestamp
            state.dated = state.dated or doc.timestamp is not None
        for i, (doc, _) in enumerate(passages):
            row = first + i
            label = row_label(doc.id, row, state.id_to_idx)
            state.ids.append(label)
            state.id_to_idx[label] = row
            state.live_buffer[row] = True
            state.doc_buffer[row] = keys[doc.id]
            state.ts_buffer[row] = np.nan if doc.timestamp is None else doc.timestamp
            state.dated = state.dated or doc.timestamp is not None
        state.rows = first + len(passages)
        state.documents += len(new)
        if passages:
            assert state.matrix_file is not None
            state.matrix = state.matrix_file.rows(state.rows)
        state.publish()

    def _live_rows(self, docs: Sequence[int]) -> int:
        count = 0
        for part in _chunks(docs):
            count += self._db().execute(
                f"SELECT count(*) FROM rows WHERE dead = 0 AND doc IN ({_marks(part)})", part).fetchone()[0]
        return count

    def _rebuild(self, state: _State, new: list[Document], retext: list[tuple[int, Document]],
                 retime: list[tuple[int, Document]], removed: Sequence[int], *, refit: bool,
                 progress: Progress | None, meta: dict[str, Any] | None = None) -> None:
        """Writes the whole collection after the change (documents added, changed, and the
        document keys `removed`) to a new matrix file, and with `refit` a newly fitted embedder;
        unchanged live rows keep their vectors unless refitted."""
        emb = self._embedder
        assert emb is not None
        changed = {doc.id: doc for doc in [*new, *(d for _, d in retext), *(d for _, d in retime)]}
        gone = set(removed)
        stored = self._db().execute("SELECT doc, id, text, timestamp FROM documents ORDER BY doc").fetchall()
        docs = [changed.pop(doc_id, None) or Document(doc_id, text, ts)
                for key, doc_id, text, ts in stored if key not in gone]
        docs += new
        passages = [(doc, p) for doc in docs for p in self._split(doc)]
        if refit:
            if progress:
                progress("fitting", 0, 1)
            emb = emb.fitted([p.text for _, p in passages])
            vectors = self._embed_batches([p.text for _, p in passages], progress, emb)
        else:
            retexted = {d.id for d in new} | {d.id for _, d in retext}
            keep = [i for i, (doc, _) in enumerate(passages) if doc.id not in retexted]
            fresh = [i for i, (doc, _) in enumerate(passages) if doc.id in retexted]
            dim = state.dim or emb.dim
            vectors = np.empty((len(passages), dim), dtype=np.float32)
            old_rows = rows_by_document(state.ids)
            ordinal: dict[str, int] = {}
            for i in list(keep):  # a kept document's passages are its live rows, in order
                doc_id = passages[i][0].id
                k = ordinal[doc_id] = ordinal.get(doc_id, -1) + 1
                if k >= len(old_rows.get(doc_id, ())):
                    keep.remove(i)  # cut otherwise than when it was stored: embedded again
                    fresh.append(i)
            fresh.sort()
            ordinal.clear()
            if keep:
                source = []
                for i in keep:
                    doc_id = passages[i][0].id
                    k = ordinal[doc_id] = ordinal.get(doc_id, -1) + 1
                    source.append(old_rows[doc_id][k])
                vectors[keep] = state.matrix[source]
            if fresh:
                made = self._embed_batches([passages[i][1].text for i in fresh], progress)
                if made.shape[1] != dim:
                    raise ValueError(f"the embedder returned vectors of {made.shape[1]} dimensions, "
                                     f"the collection holds {dim}")
                vectors[fresh] = made
        stem = secrets.token_hex(6)
        made_files: list[Path] = []
        try:
            matrix_name = f"{stem}{MATRIX_SUFFIX}"
            made_files.append(self.path / matrix_name)
            MatrixFile.create(self.path / matrix_name, vectors)
            meta = {**(meta or {}), "rows": len(passages), "dim": vectors.shape[1], "matrix": matrix_name}
            if refit:
                config = emb.save(self.path, stem)
                made_files += [self.path / f for f in emb.files(config)]
                meta.update(embedder=json.dumps(config), embedder_id=emb.identity,
                            fit_texts=len(passages), changed=0)
            else:
                meta["changed"] = int(state.meta["changed"]) + len(new) + len(retext) + len(gone)
            statements: list[tuple[str, Sequence[Any]]] = [
                *((f"DELETE FROM documents WHERE doc IN ({_marks(part)})", part)
                  for part in _chunks(list(gone))),
                *_index_statements(list(gone), []),
                *_document_statements(new, [*retext, *retime]),
                ("DELETE FROM rows", ()),
                ("INSERT INTO rows (row, doc, start, line) VALUES (?, (SELECT doc FROM documents "
                 "WHERE id = ?), ?, ?)",
                 [(i, doc.id, p.start, p.line) for i, (doc, p) in enumerate(passages)]),
            ]
            statements = [(sql, params) for sql, params in statements if params or sql.startswith("DELETE")]
            self._commit_sql(state, statements, meta)
        except BaseException:
            for f in made_files:
                f.unlink(missing_ok=True)
            raise
        if refit:
            self._embedder = emb
            if not self._caller_embedder:
                self._embedder_config = state.meta["embedder"]
        self._state = self._load()

    def _sweep(self) -> None:
        """Deletes the matrix and embedder files that no committed state refers to (left by a
        change that was killed, or replaced by a compaction); only under the writer lock."""
        state = self._state
        keep = {state.meta["matrix"]}
        try:
            config = json.loads(state.meta["embedder"])
            assert self._embedder is not None
            keep.update(self._embedder.files(config))
        except (ValueError, TypeError, KeyError):
            return
        self._sweep_terms(state)
        with os.scandir(self.path) as entries:
            for entry in entries:
                if (entry.name.endswith((MATRIX_SUFFIX, ".lsa.npz")) and entry.name not in keep
                        and entry.is_file(follow_symlinks=False)):
                    _unlink(entry.path)

    def _sweep_terms(self, state: _State) -> None:
        """Deletes the term lists of generations before the latest, the term tables that list no
        longer needs (those of other matrix files, and those of rows it covers otherwise: they
        were merged; a table of rows after it is kept, for a reader may be saving it with the
        next list), scratch files, and the BM25 index folders of an earlier version."""
        lists: dict[int, str] = {}  # generation, path
        tables: list[tuple[str, str, int]] = []  # name, matrix stem, end
        with os.scandir(self.path) as entries:
            for entry in entries:
                name = entry.name
                if ".lexical" in name and entry.is_dir(follow_symlinks=False):
                    shutil.rmtree(entry.path, ignore_errors=True)
                elif name.startswith(".") and name.endswith(_SCRATCH_SUFFIX) and ".terms." in name:
                    _unlink(entry.path)
                elif (generation := _list_generation(name)) is not None:
                    lists[generation] = entry.path
                elif name.endswith(TABLE_SUFFIX):
                    stem, _, bounds = name.removesuffix(TABLE_SUFFIX).rpartition(".")
                    end = bounds.partition("-")[2]
                    tables.append((entry.path, stem, int(end) if end.isascii() and end.isdigit() else -1))
        latest = max(lists, default=None)
        for generation, path in lists.items():
            if generation != latest:
                _unlink(path)
        saved = _terms_list(Path(lists[latest])) if latest is not None else None
        if saved is not None and saved["matrix"] != state.meta["matrix"]:
            saved = None
        kept = {_table_name(state.meta["matrix"], a, b) for a, b in saved["tables"]} if saved else set()
        current = state.meta["matrix"].removesuffix(MATRIX_SUFFIX)
        covered = saved["rows"] if saved else 0
        for path, stem, end in tables:
            if os.path.basename(path) not in kept and (stem != current or end <= covered):
                _unlink(path)

    # -- searching -------------------------------------------------------------------------

    def _embed(self, texts: Sequence[str]) -> np.ndarray:
        state = self._refresh()
        assert self._embedder is not None
        vectors = _embed_with(self._embedder, texts)
        if state.rows and vectors.shape[1] != state.dim:
            raise ValueError(f"the embedder returned vectors of {vectors.shape[1]} dimensions, "
                             f"the collection holds {state.dim}")
        return vectors

    def embed(self, text: str) -> np.ndarray:
        """The float32 unit vector of `text` in this collection's space."""
        return self._embed([text])[0]

    def search(self, text: str, modifiers: str | None = None, *,
               where: Mapping[str, Any] | Filter | None = None, strict: bool = False,
               passages: bool = False, lexical: bool = True,
               **overrides: Unpack[SearchOverrides]) -> list[Result]:
        """The documents best matching `text` among those whose metadata matches `where`,
        steered by a modifier string and keyword overrides: one `Result` a document, scored by
        its best passage, whose start is the snippet and whose first line is `line`; with
        `passages=True` one `Result` a passage, every passage that ranks.

        Ranking fuses the semantic score of each passage with its BM25 score and with the
        semantic score of its document's first row, the document's lead sentence
        (`lexical=False`: the semantic score alone); see `quorvel.lexical.hybrid_rank`.

        `where` is a filter of `quorvel.filters` ({"lang": "en", "year": {"$gte": 2020}});
        a malformed one raises ValueError before anything else is done. It becomes the mask of
        the rows (every passage of a selected document), so every modifier works within the
        documents it selects.

        `modifiers` is read by `_quorvel.parse_modifiers` ('recent:30 diverse limit:5'). Keyword
        overrides win over it: the modifier keys recent, recent_days, diverse, limit, like, unlike,
        trajectory_from, trajectory_to (same meaning as in the modifier string), and the scoring
        options like_ids, pre_filter_ids, not_like_vec, traj_from_vec, traj_to_vec, oversample,
        threshold, mmr_lambda and mask, passed to `_quorvel.score_candidates` (a str given for a
        vector option is embedded; `like_ids` and `pre_filter_ids` are document identifiers,
        standing for all their passages; a mask has one entry per matrix row and is combined with
        the collection's own mask of live rows). Recency decays a passage by its document's time.

        What the search ignores is said with a `QueryWarning` each: words of `modifiers` that
        are unknown or malformed, `like:` identifiers that are not in the collection, texts
        (the query, `unlike:`, `from:`/`to:`) in which no word is known. A query without a known
        word and nothing else to steer by finds nothing. With `strict=True` the search raises
        `QueryError` listing them instead.
        """
        mods = parse_request(modifiers, overrides)
        selection = compile_filter(where)
        notes = modifier_notes(modifiers)  # a half-life of 0 or below among them
        state = self._refresh()
        like = liked_ids(mods, overrides)
        if like is not None:
            like = known_ids(like, state.id_to_idx.__contains__, notes)
        if not state.id_to_idx:
            _report(notes, strict)
            return []

        texts, unlike, trajectory = query_texts(text, mods)
        vectors = self._embed(texts)
        lexical_scores = None
        if lexical:
            words = self._term_tables(state)
            asked = tokenize([text or ""])[0]
            lexical_scores = words.scores(asked, words.stats(asked))
        found_by_words = lexical_scores is not None and bool(lexical_scores.any())
        blank = ~vectors.any(axis=1)
        unlike, trajectory = text_notes(text, blank, unlike, trajectory, lexical_scores is not None,
                                        found_by_words, notes)
        _report(notes, strict)
        if blank[0] and not like and not found_by_words:
            return []

        limit = DEFAULT_LIMIT if mods["limit"] is None else operator.index(mods["limit"])
        options = score_options(mods, vectors, unlike, trajectory)
        if state.timestamps is not None:
            options["timestamps"] = state.timestamps
        if state.mask is not None:
            options["mask"] = state.mask
        if like:
            options["like_ids"] = self._row_labels(state, like)
        apply_overrides(options, overrides, self._embed, lambda ids: self._row_labels(state, ids),
                        lambda mask: self._user_mask(state, mask))
        if selection is not None:
            selected = self._selected_rows(state, selection)
            options["mask"] = selected & options["mask"] if "mask" in options else selected
        ranked = self._rank(state, vectors[0], lexical_scores, options, limit, passages)
        return self._results(state, ranked)

    def _rank(self, state: _State, query: np.ndarray, lexical_scores: np.ndarray | None,
              options: dict[str, Any], limit: int, passages: bool) -> list[tuple[int, float]]:
        """The best `limit` rows, or with `passages` false the best row of each of the best
        `limit` documents, as (row, score). Rows are asked for in growing numbers until enough
        documents are found: a document's passages may fill the first rows."""
        live = state.rows - state.dead
        fetch = limit if passages or live == state.documents else min(live, 4 * limit)
        while True:
            if lexical_scores is not None:
                ranked = hybrid_rank(state.matrix, state.ids, state.id_to_idx, query, lexical_scores,
                                     limit=fetch, pool=max(DEFAULT_POOL, fetch),
                                     lead_rows=lambda rows: first_rows(state, rows), **options)
            else:
                found = _quorvel.score_candidates(state.matrix, state.ids, state.id_to_idx, query,
                                                  limit=fetch, **options)
                ranked = [(state.id_to_idx[r["id"]], r["score"]) for r in found]
            if passages:
                return ranked
            best = _best_per_document(ranked, state.ids)
            if len(best) >= limit or len(ranked) < fetch or fetch >= live:
                return best[:limit]
            fetch = min(live, 4 * fetch)

    def _row_labels(self, state: _State, doc_ids: list[str]) -> list[str]:
        """The labels of every live row of these documents (identifiers not held are kept as
        they are: the native call ignores them or says so)."""
        held = [i for i in dict.fromkeys(doc_ids) if i in state.id_to_idx]
        wanted = set(held)
        labels = [i for i in doc_ids if i not in state.id_to_idx]
        for part in _chunks(held):
            query = ("SELECT r.row FROM rows r JOIN documents d ON r.doc = d.doc "
                     f"WHERE r.dead = 0 AND d.id IN ({_marks(part)}) ORDER BY r.row")
            for (row,) in self._db().execute(query, part):
                label = state.ids[row] if row < state.rows else ""
                if label and document_of(label) in wanted:  # the same row in this generation
                    labels.append(label)
        return labels

    def lexical_index(self) -> ShardTerms:
        """The BM25 terms of the current generation's live rows (`quorvel.bm25.ShardTerms`;
        `stats` and `scores` rank with them): kept in memory, read from the collection's folder,
        or made there from the latest earlier generation's and the rows appended since, and
        saved for the next process (see the module docstring)."""
        return self._term_tables(self._refresh())

    def _term_tables(self, state: _State) -> ShardTerms:
        if self._terms_generation == state.generation:
            return self._terms
        matrix = state.meta["matrix"]
        terms = self._terms
        if terms.source != matrix or not terms.rows or terms.rows > state.rows:
            terms.adopt(matrix, self._saved_terms(state))

        def terms_of(first: int) -> list[list[str]]:
            return tokenize(self._row_texts(state, first))

        terms.follow(matrix, state.rows, state.mask, terms_of)
        self._cuts.clear()
        if not self._read_only:
            self._save_terms(state, terms.tables)
        self._terms_generation = state.generation
        return terms

    def _saved_terms(self, state: _State) -> list[TermTable]:
        """The saved term tables of this generation, or else of the latest earlier one of the
        same matrix file (rows only appended since); none when a table is missing or damaged."""
        matrix = state.meta["matrix"]
        saved = _terms_list(self.path / f"{state.generation}{TERMS_SUFFIX}")
        if saved is None:
            with os.scandir(self.path) as entries:
                earlier = [g for g in map(_list_generation, (e.name for e in entries))
                           if g is not None and g < state.generation]
            if earlier:
                saved = _terms_list(self.path / f"{max(earlier)}{TERMS_SUFFIX}")
        if saved is None or saved["matrix"] != matrix or saved["rows"] > state.rows:
            return []
        tables = []
        for first, end in saved["tables"]:
            name = _table_name(matrix, first, end)
            try:
                tables.append(TermTable.load(folder_file(self.path, name, TABLE_SUFFIX), end - first))
            except (ValueError, CollectionError):
                self._refused_tables.add(name)
                return []
        return tables

    def _save_terms(self, state: _State, tables: Sequence[TermTable]) -> None:
        """Saves the tables not saved yet and the list of this generation's tables; a folder the
        process cannot write keeps them in memory only. A table's name says which rows of which
        matrix file it holds, and the terms of those rows are the same in every generation where
        they are live: a saved table is written again only when it was found damaged."""
        matrix = state.meta["matrix"]
        bounds = _table_bounds(tables)
        listing = {"format": _TERMS_FORMAT, "language": LANGUAGE, "token_pattern": TOKEN_PATTERN,
                   "matrix": matrix, "rows": state.rows, "tables": [list(b) for b in bounds]}
        try:
            for table, (first, end) in zip(tables, bounds):
                name = _table_name(matrix, first, end)
                if name in self._refused_tables or not (self.path / name).is_file():
                    _write_atomically(self.path / name, table.save)
                    self._refused_tables.discard(name)
            path = self.path / f"{state.generation}{TERMS_SUFFIX}"
            if _terms_list(path) != listing:
                _write_atomically(path, lambda f: f.write(json.dumps(listing).encode("utf-8")))
        except OSError:
            pass

    def _split(self, doc: Document) -> list[Passage]:
        """`split(doc)`, each document cut once for a change and the index built after it."""
        cut = self._cuts.get(doc.id)
        if cut is None or cut[0] != doc.text:
            cut = self._cuts[doc.id] = (doc.text, split(doc))
        return cut[1]

    def _row_texts(self, state: _State, first: int = 0) -> list[str]:
        """The text indexed for each row of `state` from `first` on ('' for a dead row), from
        its document: the k-th live row of a document holds its k-th passage."""
        texts = [""] * (state.rows - first)
        later = rows_by_document(state.ids[first:])  # rows from `first` on, counted from it
        every: dict[str, list[int]] | None = None
        for part in _chunks(list(later)):
            query = f"SELECT id, text, timestamp FROM documents WHERE id IN ({_marks(part)})"
            for doc_id, text, ts in self._db().execute(query, part):
                passages = self._split(Document(doc_id, text, ts))
                skip = 0
                if state.id_to_idx[doc_id] < first:  # live rows before `first` too (not after a change)
                    every = every if every is not None else rows_by_document(state.ids)
                    skip = len(every[doc_id]) - len(later[doc_id])
                for row, passage in zip(later[doc_id], passages[skip:]):
                    texts[row] = passage.text
        return texts

    def _selected_rows(self, state: _State, selection: Filter) -> np.ndarray:
        """bool per row: does the row's document match the filter."""
        if self._columns_generation != state.generation:
            self._columns.clear(state.generation)
            self._columns_generation = state.generation
        assert state.row_docs is not None
        conn = self._db()
        conn.execute("BEGIN")  # the columns and the generation they belong to read together
        try:
            # After a later change committed, this search answers on its own and keeps nothing.
            on_disk = self._generation_on_disk()
            columns = self._columns if on_disk == state.generation else Columns(generation=on_disk)
            return selection.rows(conn, state.row_docs, state.doc_bound, columns)
        finally:
            conn.execute("COMMIT")

    @staticmethod
    def _user_mask(state: _State, value: Any) -> np.ndarray:
        mask = np.asarray(value, dtype=bool)
        if mask.shape != (state.rows,):
            raise ValueError(f"mask of shape {mask.shape}; the collection has {state.rows} rows")
        return mask if state.mask is None else mask & state.mask

    def _results(self, state: _State, ranked: list[tuple[int, float]]) -> list[Result]:
        """A `Result` for each ranked row: its document, score, the start of its passage, the
        passage's first line and the document's metadata."""
        docs = list(dict.fromkeys(document_of(state.ids[row]) for row, _ in ranked))
        found: dict[str, tuple[str, float | None, str | None]] = {}
        for part in _chunks(docs):
            query = ("SELECT id, text, timestamp, metadata FROM documents "
                     f"WHERE id IN ({_marks(part)})")
            for doc_id, text, ts, meta in self._db().execute(query, part):
                found[doc_id] = (text, ts, meta)
        where: dict[int, tuple[int, int]] = {}
        rows = [row for row, _ in ranked]
        for part in _chunks(rows):
            query = f"SELECT row, start, line FROM rows WHERE row IN ({_marks(part)})"
            where.update((row, (start, line)) for row, start, line in self._db().execute(query, part))
        out = []
        for row, score in ranked:
            doc_id = document_of(state.ids[row])
            text, ts, meta = found.get(doc_id, ("", None, None))
            start, line = where.get(row, (0, 1))
            out.append(Result(doc_id, round(float(score), 4), snippet(text[start:]), ts, line,
                              metadata_from_json(meta)))
        return out


class _Change:
    """The writer lock held across one change: reload if needed, work, then clean up."""

    def __init__(self, collection: Collection):
        self.collection = collection

    def __enter__(self) -> _State:
        c = self.collection
        c._lock.acquire()
        try:
            return c._refresh()
        except BaseException:
            c._lock.release()
            raise

    def __exit__(self, exc_type: object, *rest: object) -> None:
        c = self.collection
        try:
            if exc_type is None:
                c._sweep()
        finally:
            c._lock.release()


def _generation_of(meta: dict[str, str]) -> int | None:
    try:
        return int(meta["generation"])
    except (KeyError, ValueError):
        return None


def _check_format(meta: dict[str, str], db: Path) -> None:
    """Format 1 (one matrix row per document in a single table, the whole matrix written again
    by every change) and format 2 (without the metadata index) are refused rather than migrated:
    their documents table holds everything needed to create the collection again, which also
    refits its embedder."""
    if meta.get("format", FORMAT) != FORMAT:
        raise CollectionError(
            f"{db}: collection format {meta['format']!r}, this version reads format {FORMAT!r}; "
            "create the collection again from its documents")


def _sparse(dead: int, rows: int) -> bool:
    """True when `dead` of `rows` rows is past the share that calls for a compaction."""
    return dead > COMPACT_FRACTION * rows


def _before_commit(folder: Path) -> None:
    """Called inside every change's transaction just before its commit (a point for tests to
    interrupt a change)."""


def _stored_document(row: tuple[str, str, float | None, str | None]) -> Document:
    doc_id, text, ts, meta = row
    return Document(doc_id, text, ts, metadata_from_json(meta))


def _index_statements(dropped: Sequence[int], written: Sequence[Document]
                      ) -> list[tuple[str, Sequence[Any]]]:
    """The statements that drop the metadata index entries of the document keys `dropped` and
    write those of the stored documents `written` (found by identifier)."""
    statements: list[tuple[str, Sequence[Any]]] = [
        (f"DELETE FROM {INDEX_TABLE} WHERE doc IN ({_marks(part)})", part)
        for part in _chunks(dropped)]
    rows = [row for doc in written for row in index_rows(doc.id, doc.metadata)]
    if rows:
        statements.append((f"INSERT INTO {INDEX_TABLE} VALUES ((SELECT doc FROM documents "
                           "WHERE id = ?), ?, ?, ?, ?)", rows))
    # noted for the saved metadata columns (`quorvel.filters.save_columns`)
    if dropped:
        statements.append((f"INSERT OR IGNORE INTO {TOUCHED_TABLE} VALUES (?)",
                           [(doc,) for doc in dropped]))
    if written:
        statements.append((f"INSERT OR IGNORE INTO {TOUCHED_TABLE} SELECT doc FROM documents "
                           "WHERE id = ?", [(doc.id,) for doc in written]))
    return statements


def _document_statements(new: Sequence[Document], changed: Sequence[tuple[int, Document]]
                         ) -> list[tuple[str, Sequence[Any]]]:
    """The statements that insert the documents `new` and update the (key, document) pairs
    `changed`, with their metadata index entries."""
    statements: list[tuple[str, Sequence[Any]]] = [
        ("INSERT INTO documents (id, text, timestamp, metadata) VALUES (?, ?, ?, ?)",
         [(d.id, d.text, d.timestamp, metadata_json(dict(d.metadata))) for d in new]),
        ("UPDATE documents SET text = ?, timestamp = ?, metadata = ? WHERE doc = ?",
         [(d.text, d.timestamp, metadata_json(dict(d.metadata)), key) for key, d in changed]),
    ]
    statements = [(sql, params) for sql, params in statements if params]
    return statements + _index_statements([key for key, _ in changed],
                                          [*new, *(d for _, d in changed)])


def _chunks(items: Sequence[Any], size: int = 500) -> Iterator[Sequence[Any]]:
    for start in range(0, len(items), size):
        yield items[start:start + size]


def _marks(part: Sequence[Any]) -> str:
    return ",".join("?" * len(part))


def _embed_with(embedder: Embedder, texts: Sequence[str]) -> np.ndarray:
    vectors = unit_rows(embedder.embed(list(texts)))
    if vectors.ndim != 2 or vectors.shape[0] != len(texts):
        raise ValueError(f"embedder returned {vectors.shape[0]} rows for {len(texts)} texts")
    if not np.isfinite(vectors).all():
        raise ValueError("embedder returned vectors with NaN or infinite values")
    return vectors


def _connect(db: Path, read_only: bool = False) -> sqlite3.Connection:
    if read_only:
        return sqlite3.connect(f"{db.resolve().as_uri()}?mode=ro", uri=True, autocommit=True,
                               timeout=SQLITE_TIMEOUT)
    return sqlite3.connect(db, autocommit=True, timeout=SQLITE_TIMEOUT)


def _write_new_database(folder: Path, embedder: Embedder) -> str:
    """Writes an empty collection's database under a scratch name and renames it into place,
    so a collection appears whole or not at all."""
    scratch = folder / f".{DB_NAME}.{secrets.token_hex(4)}"
    stem = secrets.token_hex(6)
    config = embedder.save(folder, stem)
    made = [folder / f for f in embedder.files(config)]
    try:
        conn = sqlite3.connect(scratch, autocommit=True)
        try:
            conn.execute("PRAGMA journal_mode=WAL")
            conn.executescript(_SCHEMA)
            conn.executemany("INSERT INTO meta VALUES (?, ?)", [
                ("format", FORMAT), ("generation", "0"), ("rows", "0"), ("dim", "0"),
                ("matrix", ""), ("embedder", json.dumps(config)),
                ("embedder_id", embedder.identity), ("fit_texts", "0"),
                ("changed", "0")])
        finally:
            conn.close()
        os.replace(scratch, folder / DB_NAME)
    except BaseException:
        scratch.unlink(missing_ok=True)
        for f in made:
            f.unlink(missing_ok=True)
        raise
    return json.dumps(config)


