"""A collection of documents on disk, its embedding matrix, and search over it.

A collection is a folder:

- ``collection.sqlite``: the documents (row, identifier, text, optional timestamp) and metadata
  (the embedder's description, the name of the current matrix file);
- ``<stem>.embeddings.npy``: the float32 matrix of unit rows, row r for document row r, opened
  memory-mapped and read-only so that a search reads it in place;
- whatever the embedder saves next to it (``<stem>.lsa.npz`` for the default embedder).

Every change writes a new matrix (and embedder) file under a fresh stem and then switches the
metadata to it in one SQLite transaction, so a collection on disk is always consistent.
"""

from __future__ import annotations

import datetime as _dt
import json
import math
import operator
import secrets
import sqlite3
import warnings
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from dataclasses import dataclass
from os import PathLike
from pathlib import Path
from typing import Any, NamedTuple

import numpy as np

import _quorvel

from .embedders import Embedder, LsaEmbedder, restore_embedder, unit_rows
from .query import QueryError, QueryWarning, modifier_notes

DB_NAME = "collection.sqlite"
FORMAT = "1"
DEFAULT_LIMIT = 10
SNIPPET_CHARS = 200
EMBED_BATCH = 512

#: progress(stage, done, total), called while a change is embedded.
Progress = Callable[[str, int, int], None]

_SCHEMA = """
CREATE TABLE documents (
    row INTEGER PRIMARY KEY,
    id TEXT NOT NULL UNIQUE,
    text TEXT NOT NULL,
    timestamp REAL
);
CREATE TABLE meta (key TEXT PRIMARY KEY, value TEXT NOT NULL);
"""

# Keyword overrides of search(): the modifier keys (texts and plain values, applied to the parsed
# modifiers before they are mapped) and the score_candidates parameters (applied last, so they win).
_MODIFIER_KEYS = frozenset({"recent", "recent_days", "diverse", "limit", "like", "unlike",
                            "trajectory_from", "trajectory_to"})
_PARAMETER_KEYS = frozenset({"pre_filter_ids", "not_like_vec", "oversample", "threshold",
                             "mmr_lambda", "like_ids", "traj_from_vec", "traj_to_vec", "mask"})
_VECTOR_KEYS = frozenset({"not_like_vec", "traj_from_vec", "traj_to_vec"})
_ID_LIST_KEYS = frozenset({"like_ids", "pre_filter_ids"})


@dataclass(frozen=True, slots=True)
class Document:
    """One document: a unique identifier, its text and, optionally, when it was written
    (seconds since the Unix epoch)."""

    id: str
    text: str
    timestamp: float | None = None


@dataclass(frozen=True, slots=True)
class Result:
    """One search hit: the document's identifier, its score (rounded to four decimals), the start
    of its text with whitespace collapsed, and its timestamp if it has one."""

    id: str
    score: float
    snippet: str
    timestamp: float | None


class Changes(NamedTuple):
    """What `Collection.add` did: documents added, and existing ones whose text or time changed."""

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
    """A `Document` from a Document, an (id, text[, timestamp]) tuple or a mapping."""
    if isinstance(item, Document):
        doc_id, text, ts = item.id, item.text, item.timestamp
    elif isinstance(item, Mapping):
        doc_id, text, ts = item["id"], item["text"], item.get("timestamp")
    else:
        doc_id, text, *rest = item
        ts = rest[0] if rest else None
    if not isinstance(doc_id, str) or not doc_id:
        raise ValueError(f"document identifier must be a non-empty str, got {doc_id!r}")
    if not isinstance(text, str):
        raise TypeError(f"text of document {doc_id!r} must be a str")
    return Document(doc_id, text, _timestamp(ts))


def _report(notes: list[str], strict: bool) -> None:
    """Raise the notes of a search as one QueryError when strict, else warn with each."""
    if notes and strict:
        raise QueryError(notes)
    for note in notes:
        warnings.warn(note, QueryWarning, stacklevel=3)


def _id_list(value: str | Iterable[str]) -> list[str]:
    return [value] if isinstance(value, str) else [str(v) for v in value]


class Collection:
    """Documents, their embedding matrix and the embedder that made it, stored in a folder.

    Make one with `Collection.create(path, documents)`, reopen it with `Collection.open(path)`,
    and query it with `search`. Use it as a context manager or call `close`.
    """

    def __init__(self, path: Path, conn: sqlite3.Connection, embedder: Embedder):
        self.path = path
        self._conn = conn
        self._embedder = embedder
        self._load_state()

    # -- opening ---------------------------------------------------------------------------

    @classmethod
    def create(cls, path: str | PathLike[str], documents: Iterable[Any] = (), *,
               embedder: Embedder | None = None, progress: Progress | None = None) -> "Collection":
        """Create a collection in the folder `path` (made if missing) and add `documents`.

        The embedder defaults to `LsaEmbedder()`, fitted on the collection's texts.
        Raises FileExistsError if the folder already holds a collection.
        """
        folder = Path(path)
        db = folder / DB_NAME
        if db.exists():
            raise FileExistsError(f"a collection already exists in {folder}")
        folder.mkdir(parents=True, exist_ok=True)
        embedder = embedder if embedder is not None else LsaEmbedder()
        conn = sqlite3.connect(db)
        with conn:
            conn.executescript(_SCHEMA)
            conn.executemany("INSERT INTO meta VALUES (?, ?)", [
                ("format", FORMAT), ("matrix", ""),
                ("embedder", json.dumps(embedder.save(folder, "initial")))])
        collection = cls(folder, conn, embedder)
        documents = list(documents)
        if documents:
            collection.add(documents, progress=progress)
        return collection

    @classmethod
    def open(cls, path: str | PathLike[str], *, embedder: Embedder | None = None) -> "Collection":
        """Open the collection in the folder `path`.

        The embedder it was built with is restored from the folder; a custom embedder must be
        passed again as `embedder`.
        """
        folder = Path(path)
        db = folder / DB_NAME
        if not db.is_file():
            raise FileNotFoundError(f"no collection in {folder}")
        conn = sqlite3.connect(db)
        try:
            meta = dict(conn.execute("SELECT key, value FROM meta"))
            if meta.get("format") != FORMAT:
                raise ValueError(f"{db} has an unknown format {meta.get('format')!r}")
            if embedder is None:
                embedder = restore_embedder(folder, json.loads(meta["embedder"]))
            return cls(folder, conn, embedder)
        except BaseException:
            conn.close()
            raise

    def close(self) -> None:
        """Close the database; the collection cannot be used afterwards."""
        self._matrix = None
        self._conn.close()

    def __enter__(self) -> "Collection":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def _meta(self) -> dict[str, str]:
        return dict(self._conn.execute("SELECT key, value FROM meta"))

    def _load_state(self) -> None:
        rows = self._conn.execute("SELECT id, timestamp FROM documents ORDER BY row").fetchall()
        self._ids: tuple[str, ...] = tuple(r[0] for r in rows)
        self._id_to_idx = {doc_id: i for i, doc_id in enumerate(self._ids)}
        ts = np.array([np.nan if r[1] is None else r[1] for r in rows], dtype=np.float64)
        ts.flags.writeable = False
        self._timestamps = ts if np.any(ts > 0) else None
        name = self._meta().get("matrix", "")
        if name:
            file = self.path / name
            # A zero-row array cannot be memory-mapped; it is tiny, so load it.
            matrix = np.load(file, mmap_mode="r") if self._ids else np.load(file)
            matrix.flags.writeable = False
        else:
            matrix = np.zeros((0, 0), dtype=np.float32)
        if matrix.shape[0] != len(self._ids) or matrix.dtype != np.float32:
            raise ValueError(f"{self.path}: matrix {matrix.shape} {matrix.dtype} does not match "
                             f"{len(self._ids)} documents")
        self._matrix: np.ndarray | None = matrix

    # -- reading ---------------------------------------------------------------------------

    @property
    def embedder(self) -> Embedder:
        return self._embedder

    @property
    def ids(self) -> tuple[str, ...]:
        """Document identifiers in matrix-row order."""
        return self._ids

    @property
    def matrix(self) -> np.ndarray:
        """The (n, dim) float32 embedding matrix, memory-mapped read-only."""
        if self._matrix is None:
            raise ValueError("the collection is closed")
        return self._matrix

    @property
    def timestamps(self) -> np.ndarray | None:
        """float64 epoch seconds per row (NaN where unknown), or None if no document has one."""
        return self._timestamps

    def __len__(self) -> int:
        return len(self._ids)

    def __contains__(self, doc_id: object) -> bool:
        return doc_id in self._id_to_idx

    def get(self, doc_id: str) -> Document | None:
        row = self._conn.execute("SELECT id, text, timestamp FROM documents WHERE id = ?",
                                 (doc_id,)).fetchone()
        return Document(*row) if row else None

    def documents(self) -> Iterator[Document]:
        """All documents in row order."""
        for row in self._conn.execute("SELECT id, text, timestamp FROM documents ORDER BY row"):
            yield Document(*row)

    def __repr__(self) -> str:
        dim = self._matrix.shape[1] if self._matrix is not None else "?"
        return f"Collection({str(self.path)!r}, {len(self)} documents, {self._embedder.kind} x {dim})"

    # -- changing --------------------------------------------------------------------------

    def add(self, documents: Iterable[Any], *, progress: Progress | None = None) -> Changes:
        """Add documents, replacing the text and timestamp of those whose identifier exists.

        Items are `Document`s, (id, text[, timestamp]) tuples or mappings with those keys; the
        last of several items with one identifier wins. The embedder is refitted when it learns
        from the collection; otherwise only new and changed texts are embedded.
        """
        batch = {d.id: d for d in map(as_document, documents)}
        current = list(self.documents())
        position = {d.id: i for i, d in enumerate(current)}
        reuse: list[int | None] = list(range(len(current)))
        added = updated = 0
        for doc in batch.values():
            i = position.get(doc.id)
            if i is None:
                current.append(doc)
                reuse.append(None)
                added += 1
            elif current[i] != doc:
                if current[i].text != doc.text:
                    reuse[i] = None
                current[i] = doc
                updated += 1
        if added or updated:
            self._rewrite(current, reuse, progress)
        return Changes(added, updated)

    def update(self, documents: Iterable[Any] = (), *, remove: Iterable[str] = (),
               root: str | None = None, progress: Progress | None = None) -> Update:
        """Add (or replace) `documents` and remove the identifiers `remove` in one change, and
        record `root`, the folder the collection mirrors, when given; either all of it is
        committed or, if it fails or is interrupted, none of it."""
        batch = {d.id: d for d in map(as_document, documents)}
        gone = set(_id_list(remove)) & self._id_to_idx.keys()
        current, reuse = [], []
        for i, d in enumerate(self.documents()):
            if d.id not in gone:
                current.append(d)
                reuse.append(i)
        position = {d.id: i for i, d in enumerate(current)}
        added = updated = 0
        for doc in batch.values():
            i = position.get(doc.id)
            if i is None:
                current.append(doc)
                reuse.append(None)
                added += 1
            elif current[i] != doc:
                if current[i].text != doc.text:
                    reuse[i] = None
                current[i] = doc
                updated += 1
        if added or updated or gone or (root is not None and root != self.root):
            self._rewrite(current, reuse, progress, root=root)
        return Update(added, updated, len(gone))

    @property
    def root(self) -> str | None:
        """The folder this collection mirrors (recorded by `update`), or None."""
        return self._meta().get("root")

    def document_sizes(self) -> dict[str, tuple[int, float | None]]:
        """Each document's text size in UTF-8 bytes and its timestamp, by identifier, read
        without loading the texts."""
        rows = self._conn.execute("SELECT id, length(CAST(text AS BLOB)), timestamp FROM documents")
        return {doc_id: (size, ts) for doc_id, size, ts in rows}

    def remove(self, ids: Iterable[str]) -> int:
        """Remove the documents with these identifiers; returns how many were removed."""
        gone = set(_id_list(ids)) & self._id_to_idx.keys()
        if gone:
            docs = [(i, d) for i, d in enumerate(self.documents()) if d.id not in gone]
            self._rewrite([d for _, d in docs], [i for i, _ in docs], None)
        return len(gone)

    def _embed_batches(self, texts: Sequence[str], progress: Progress | None) -> np.ndarray:
        parts = []
        for start in range(0, len(texts), EMBED_BATCH):
            parts.append(self._embed(texts[start:start + EMBED_BATCH]))
            if progress:
                progress("embedding", min(start + EMBED_BATCH, len(texts)), len(texts))
        return np.concatenate(parts) if parts else np.zeros((0, 0), dtype=np.float32)

    def _rewrite(self, docs: list[Document], reuse: list[int | None],
                 progress: Progress | None, root: str | None = None) -> None:
        """Store `docs` as the whole collection; reuse[i] is the old row whose vector
        document i keeps, or None when it must be embedded."""
        emb = self._embedder
        if not docs:
            matrix = None
        elif emb.fits_collection:
            if progress:
                progress("fitting", 0, 1)
            emb.fit([d.text for d in docs])
            matrix = self._embed_batches([d.text for d in docs], progress)
        else:
            fresh = [i for i, r in enumerate(reuse) if r is None]
            matrix = np.empty((len(docs), emb.dim), dtype=np.float32)
            kept = [(i, r) for i, r in enumerate(reuse) if r is not None]
            if kept:
                matrix[[i for i, _ in kept]] = self.matrix[[r for _, r in kept]]
            if fresh:
                matrix[fresh] = self._embed_batches([docs[i].text for i in fresh], progress)

        old_meta = self._meta()
        stem = secrets.token_hex(6)
        matrix_name = ""
        if matrix is not None:
            matrix_name = f"{stem}.embeddings.npy"
            np.save(self.path / matrix_name, matrix)
        config = emb.save(self.path, stem)
        with self._conn:
            self._conn.execute("DELETE FROM documents")
            self._conn.executemany(
                "INSERT INTO documents (row, id, text, timestamp) VALUES (?, ?, ?, ?)",
                [(i, d.id, d.text, d.timestamp) for i, d in enumerate(docs)])
            self._conn.executemany("INSERT OR REPLACE INTO meta VALUES (?, ?)", [
                ("matrix", matrix_name), ("embedder", json.dumps(config)),
                *([("root", root)] if root is not None else [])])
        # The previous files are no longer referenced; an open memory map of them stays valid.
        stale = [old_meta.get("matrix", "")]
        stale += emb.files(json.loads(old_meta.get("embedder", "{}")))
        for name in stale:
            if name and name not in (matrix_name, *emb.files(config)):
                (self.path / name).unlink(missing_ok=True)
        self._load_state()

    # -- searching -------------------------------------------------------------------------

    def _embed(self, texts: Sequence[str]) -> np.ndarray:
        vectors = unit_rows(self._embedder.embed(list(texts)))
        if vectors.shape[0] != len(texts):
            raise ValueError(f"embedder returned {vectors.shape[0]} rows for {len(texts)} texts")
        return vectors

    def embed(self, text: str) -> np.ndarray:
        """The float32 unit vector of `text` in this collection's space."""
        return self._embed([text])[0]

    def _vector(self, value: Any) -> np.ndarray:
        if isinstance(value, str):
            return self.embed(value)
        return np.ascontiguousarray(value, dtype=np.float32).reshape(-1)

    def search(self, text: str, modifiers: str | None = None, *, strict: bool = False,
               **overrides: Any) -> list[Result]:
        """The documents best matching `text`, steered by a modifier string and keyword overrides.

        `modifiers` is read by `_quorvel.parse_modifiers` ('recent:30 diverse limit:5'). Keyword
        overrides win over it: the modifier keys recent, recent_days, diverse, limit, like, unlike,
        trajectory_from, trajectory_to (same meaning as in the modifier string), and the scoring
        options like_ids, pre_filter_ids, not_like_vec, traj_from_vec, traj_to_vec, oversample,
        threshold, mmr_lambda and mask, passed to `_quorvel.score_candidates` as given (a str
        given for a vector option is embedded).

        What the search ignores is said with a `QueryWarning` each: words of `modifiers` that
        are unknown or malformed, `like:` identifiers that are not in the collection, texts
        (the query, `unlike:`, `from:`/`to:`) in which the embedder knows no word. A query
        without a known word and nothing else to steer by finds nothing. With `strict=True`
        the search raises `QueryError` listing them instead.
        """
        for key in overrides:
            if key not in _MODIFIER_KEYS and key not in _PARAMETER_KEYS:
                raise TypeError(f"search() got an unexpected keyword argument {key!r}")
        mods = _quorvel.parse_modifiers(modifiers)
        mods.update((k, v) for k, v in overrides.items() if k in _MODIFIER_KEYS)
        notes = modifier_notes(modifiers)
        if mods["recent_days"] is not None and not mods["recent_days"] > 0:
            mods["recent_days"] = None  # said by the notes: the default half-life is used
        if mods["like"] is not None:
            mods["like"] = self._known_ids(_id_list(mods["like"]), notes)
        like = mods["like"]
        if "like_ids" in overrides:  # wins over like:, and None takes it away
            like_ids = overrides["like_ids"]
            like = None if like_ids is None else self._known_ids(_id_list(like_ids), notes)
        if not self._ids:
            _report(notes, strict)
            return []

        texts = [text or ""]
        unlike = mods["unlike"]
        if unlike:  # 'unlike:' with nothing after it contrasts with nothing
            texts.append(unlike)
        start, end = mods["trajectory_from"], mods["trajectory_to"]
        trajectory = bool(start) and bool(end)
        if trajectory:
            texts += [start, end]
        vectors = self._embed(texts)
        blank = ~vectors.any(axis=1)
        if blank[0]:
            notes.append(f"no word of the query {text!r} is known to the collection")
        if unlike and blank[1]:
            notes.append(f"no word of 'unlike:{unlike}' is known to the collection; it is ignored")
            unlike = ""
        if trajectory and (blank[-2] or blank[-1]):
            notes.append("no word of the 'from:' or the 'to:' text is known to the collection; "
                         "the trajectory is ignored")
            trajectory = False
        _report(notes, strict)
        if blank[0] and not like:
            return []

        limit = mods["limit"]
        kwargs: dict[str, Any] = {
            "diverse": bool(mods["diverse"]),
            "limit": DEFAULT_LIMIT if limit is None else operator.index(limit),
            "recent": bool(mods["recent"]),
        }
        if mods["recent_days"] is not None:
            kwargs["recent_days"] = float(mods["recent_days"])
        if self._timestamps is not None:
            kwargs["timestamps"] = self._timestamps
        if like:
            kwargs["like_ids"] = like
        if unlike:
            kwargs["not_like_vec"] = vectors[1]
        if trajectory:
            kwargs["traj_from_vec"], kwargs["traj_to_vec"] = vectors[-2], vectors[-1]
        for key, value in overrides.items():
            if key not in _PARAMETER_KEYS:
                continue
            if value is None:
                kwargs.pop(key, None)
            elif key in _VECTOR_KEYS:
                kwargs[key] = self._vector(value)
            elif key == "like_ids":
                continue  # read above, with the modifier's like:
            elif key in _ID_LIST_KEYS:
                kwargs[key] = _id_list(value)
            elif key == "mask":
                kwargs[key] = np.asarray(value, dtype=bool)
            else:
                kwargs[key] = value

        rows = _quorvel.score_candidates(self.matrix, self._ids, self._id_to_idx, vectors[0], **kwargs)
        return self._results(rows)

    def _known_ids(self, ids: list[str], notes: list[str]) -> list[str]:
        """The non-empty identifiers of `ids` held by the collection; a note for the others."""
        unknown = [i for i in ids if i and i not in self._id_to_idx]
        if unknown:
            notes.append(f"like: {', '.join(map(repr, unknown))} "
                         f"{'is' if len(unknown) == 1 else 'are'} not in the collection; ignored")
        return [i for i in ids if i in self._id_to_idx]

    def _results(self, rows: list[dict[str, Any]]) -> list[Result]:
        ids = list(dict.fromkeys(r["id"] for r in rows))
        found: dict[str, tuple[str, float | None]] = {}
        for chunk in range(0, len(ids), 500):
            part = ids[chunk:chunk + 500]
            query = f"SELECT id, text, timestamp FROM documents WHERE id IN ({','.join('?' * len(part))})"
            for doc_id, text, ts in self._conn.execute(query, part):
                found[doc_id] = (text, ts)
        out = []
        for r in rows:
            text, ts = found.get(r["id"], ("", None))
            out.append(Result(r["id"], r["score"], snippet(text), ts))
        return out

