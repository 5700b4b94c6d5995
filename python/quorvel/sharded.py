"""A collection split into shards: a folder of collections that share one embedder, searched
together by `quorvel.sharding` in this process or on a Dask cluster.

The folder holds:

- ``sharded.json``: the format, the number of shards and the embedder's description; written last
  when the collection is made, so a folder without it holds no sharded collection;
- the embedder's files (for the default embedder, fitted once on the documents it was made with);
- ``shard-000`` ... : one collection per shard. A document lives in shard
  blake2b(identifier) mod N, so every handle on every machine places it alike;
- ``collection.lock``, held by a writer across a whole change, and ``pending.json`` while a change
  spanning several shards is being applied.

A change is all or nothing over the shards. Every document is checked and every new text embedded
before any shard is touched. Then the change is written down in ``pending.json`` with what undoes
it (the documents it touches as they were stored), and each shard makes its part in one
transaction of its own. A shard that refuses its part (a full disk, a damaged file) has the shards
changed so far put back, so the caller's exception leaves the collection as it was; a crash
part-way leaves ``pending.json``, and the next handle that opens the collection or changes it
completes the change (or finishes putting it back, if that had begun). Parts and undos are
idempotent: a shard that already made one is left as it is.

The shards' BM25 term tables (see `quorvel.collection`) are saved by the writer, through each
shard's writable handle, when the collection is made and after every change, so that searchers,
which open shards read-only and never save, only read them.
"""

from __future__ import annotations

import functools
import hashlib
import json
import os
import secrets
import shutil
import threading
import warnings
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass, field
from os import PathLike
from pathlib import Path
from typing import Any, Self, Unpack

import numpy as np

from .bm25 import ShardTerms, TermStats
from .collection import (DEFAULT_LIMIT, EMBED_BATCH, TERMS_SUFFIX, Changes, Collection, Document,
                         Result, SearchOverrides, Update, _batch, _embed_with, _id_list, _report,
                         document_of, first_rows, known_ids, liked_ids, parse_request, query_texts,
                         request_arguments, split, text_notes)
from .embedders import Embedder, LsaEmbedder, default_embedder, restore_embedder
from .filters import Filter, compile_filter
from .lexical import DEFAULT_POOL, tokenize
from .query import modifier_notes
from .sharding import ShardData, ShardSearch
from .storage import CollectionError, writer_lock

META_NAME = "sharded.json"
PENDING_NAME = "pending.json"
FORMAT = 1
MAX_SHARDS = 4096


def shard_of(doc_id: str, shards: int) -> int:
    """The shard of a document: a hash of its identifier that is the same in every process."""
    digest = hashlib.blake2b(doc_id.encode("utf-8", "surrogatepass"), digest_size=8).digest()
    return int.from_bytes(digest, "little") % shards


def _shard_name(k: int) -> str:
    return f"shard-{k:03d}"


class _SharedEmbedder(Embedder):
    """The sharded collection's embedder as each shard sees it: the same vector space, never
    refitted by a shard on its own documents."""

    kind = "shared"
    fits_collection = False

    def __init__(self, inner: Embedder):
        self.inner = inner
        self._ready: dict[str, np.ndarray] = {}

    @property
    def dim(self) -> int:
        return self.inner.dim

    @property
    def identity(self) -> str:
        return self.inner.identity

    def embed(self, texts: Sequence[str]) -> np.ndarray:
        if not self._ready or not texts:
            return self.inner.embed(texts)
        missing = list(dict.fromkeys(t for t in texts if t not in self._ready))
        made = dict(zip(missing, np.asarray(self.inner.embed(missing), dtype=np.float32))) if missing else {}
        return np.stack([self._ready[t] if t in self._ready else made[t] for t in texts])

    def prepare(self, texts: Sequence[str], dims: Iterable[int]) -> None:
        """Embeds `texts` now (checked as a shard checks what it gets, and against the shards'
        row length `dims`), for the shards to take them from here: a change fails on its texts
        before any shard is written. Nothing is kept after `prepare([], ())`."""
        self._ready = {}
        unique = list(dict.fromkeys(texts))
        for start in range(0, len(unique), EMBED_BATCH):
            part = unique[start:start + EMBED_BATCH]
            # float32 as the shard's first step makes it: the same vectors, half the memory of
            # float64 for a large change, which is held here until every shard has written it
            raw = np.asarray(self.inner.embed(part), dtype=np.float32)
            vectors = _embed_with(_Replay(raw), part)
            for dim in dims:
                if vectors.shape[1] != dim:
                    raise ValueError(f"the embedder returned vectors of {vectors.shape[1]} "
                                     f"dimensions, the collection holds {dim}")
            self._ready.update(zip(part, raw))


class _Replay(Embedder):
    """Hands back vectors already made, so that they are checked as a shard checks them."""

    def __init__(self, vectors: np.ndarray):
        self._vectors = vectors
        self.dim = vectors.shape[-1] if vectors.ndim else 0

    def embed(self, texts: Sequence[str]) -> np.ndarray:
        return self._vectors


class _SpaceOnly(Embedder):
    """Stands in for the embedder where a shard is only searched (a Dask worker): it names the
    vector space, so that the shard accepts it, and embeds nothing."""

    kind = "shared"

    def __init__(self, identity: str, dim: int):
        self._identity, self._dim = identity, dim

    @property
    def dim(self) -> int:
        return self._dim

    @property
    def identity(self) -> str:
        return self._identity

    def embed(self, texts: Sequence[str]) -> np.ndarray:
        raise RuntimeError("a shard opened for searching embeds no text")


@dataclass(frozen=True, slots=True)
class CollectionShard:
    """A shard collection as a source for `ShardSearch`: opened read-only where it is searched,
    its snapshot taken at every search so that changes are followed."""

    folder: str
    identity: str
    dim: int

    @property
    def key(self) -> str:
        return self.folder

    def open(self) -> "_ShardReader":
        return _ShardReader(self)

    def open_collection(self) -> Collection:
        return Collection.open(self.folder, embedder=_SpaceOnly(self.identity, self.dim), read_only=True)


class ShardView:
    """A shard collection as `ShardSearch` reads it where it is searched: its current rows
    (`snapshot`), masked by a filter answered from its own metadata (`filtered`), and with the
    terms of its rows for BM25 (`with_terms`), kept while the shard's generation stays."""

    def __init__(self, shard: Collection):
        self.shard = shard

    def snapshot(self) -> Any:
        return self.shard.snapshot()

    def filtered(self, where: Mapping[str, Any] | Filter | None) -> ShardData:
        return self._data(self.shard._refresh(), compile_filter(where))

    def with_terms(self, where: Mapping[str, Any] | Filter | None = None) -> tuple[ShardData, ShardTerms]:
        state = self.shard._refresh()
        return self._data(state, compile_filter(where)), self.shard._term_tables(state)

    def _data(self, state: Any, selection: Filter | None) -> ShardData:
        mask = state.mask
        if selection is not None:
            selected = self.shard._selected_rows(state, selection)
            mask = selected if mask is None else selected & mask
        return ShardData(state.matrix, state.ids, state.id_to_idx, state.timestamps, mask,
                         functools.partial(first_rows, state))

    # a view is its own opened shard, for a search in this process
    @property
    def key(self) -> str:
        return str(self.shard.path)

    def open(self) -> "ShardView":
        return self


class _ShardReader:
    """A shard opened where it is searched. A collection handle serves the thread that opened it
    (its database connection does), and a worker may search from another thread than the one
    that opened the shard: each searching thread gets a handle of its own."""

    def __init__(self, source: CollectionShard):
        self._source = source
        self._local = threading.local()
        source.open_collection().close()  # fails here if the shard cannot be opened

    def _view(self) -> ShardView:
        view = getattr(self._local, "view", None)
        if view is None:
            view = self._local.view = ShardView(self._source.open_collection())
        return view

    def snapshot(self) -> Any:
        return self._view().snapshot()

    def filtered(self, where: Mapping[str, Any] | Filter | None) -> ShardData:
        return self._view().filtered(where)

    def with_terms(self, where: Mapping[str, Any] | Filter | None = None) -> tuple[ShardData, ShardTerms]:
        return self._view().with_terms(where)


def _entry(doc: Document) -> list[Any]:
    """A document as a change written down holds it (JSON: metadata values are JSON types)."""
    return [doc.id, doc.text, doc.timestamp, dict(doc.metadata)]


@dataclass(slots=True)
class _ShardChange:
    """One shard's part of a change, and what puts the shard back: the documents as they were
    stored before, and the identifiers the change adds."""

    documents: list[Document]
    remove: list[str]
    restore: list[Document]
    absent: list[str]


@dataclass(slots=True)
class _Plan:
    """A change split by shard, with the passages it embeds and the shards' row lengths."""

    parts: dict[int, _ShardChange] = field(default_factory=dict)
    texts: list[str] = field(default_factory=list)
    dims: set[int] = field(default_factory=set)

    def journal(self, *, back: bool) -> dict[str, Any]:
        """The change as written down: with `back`, its undo is what is left to do."""
        parts = self.parts.values()
        return {"add": [_entry(d) for p in parts for d in p.documents],
                "remove": [i for p in parts for i in p.remove],
                "undo": {"add": [_entry(d) for p in parts for d in p.restore],
                         "remove": [i for p in parts for i in p.absent]},
                "back": back}


def _write_json(path: Path, value: Any) -> None:
    """Writes `path` whole or not at all: a scratch file, flushed, renamed over it."""
    scratch = path.with_name(f".{path.name}.{secrets.token_hex(4)}")
    try:
        with open(scratch, "w", encoding="utf-8") as f:
            json.dump(value, f)
            f.flush()
            os.fsync(f.fileno())
        os.replace(scratch, path)
    except BaseException:
        scratch.unlink(missing_ok=True)
        raise


class ShardedCollection:
    """Documents split over N shard collections in one folder, searched together as one.

    Make one with `ShardedCollection.create(path, documents, shards=N)`, reopen it with
    `ShardedCollection.open(path, client=...)`. Without a client, searches run in this process,
    shard after shard; with a `distributed.Client`, on its workers, each of which opens its shards
    once and keeps them open. Results are those of one search over all documents.
    """

    def __init__(self, path: Path, shards: list[Collection], shared: _SharedEmbedder, client: Any):
        self.path = path
        self._shards = shards
        self._shared = shared
        self._embedder = embedder = shared.inner
        self._views = [ShardView(s) for s in shards]
        # BM25 statistics of all shards as of their generations: rows, length, term -> frequency
        self._stats: tuple[tuple[int, ...], TermStats] | None = None
        self._lock = writer_lock(path)
        self._client = client
        self._remote: ShardSearch | None = None
        if client is not None:
            sources = [CollectionShard(str(s.path), embedder.identity, embedder.dim) for s in shards]
            self._remote = ShardSearch(sources, client=client)

    # -- opening ---------------------------------------------------------------------------

    @classmethod
    def create(cls, path: str | PathLike[str], documents: Iterable[Any] = (), *, shards: int,
               embedder: Embedder | None = None, client: Any = None) -> Self:
        """Create a sharded collection of `shards` shards in the folder `path` (made if missing)
        and add `documents`. The embedder defaults to `default_embedder()`; one that learns from
        the collection (`LsaEmbedder`) is fitted on the passages of these documents (so they must
        be given) and kept for every later change; `refit` is not offered.
        Raises FileExistsError if the folder already holds a collection."""
        if not isinstance(shards, int) or isinstance(shards, bool) or not 1 <= shards <= MAX_SHARDS:
            raise ValueError(f"shards must be an int from 1 to {MAX_SHARDS}, got {shards!r}")
        folder = Path(path)
        folder.mkdir(parents=True, exist_ok=True)
        batch = _batch(documents)
        embedder = embedder if embedder is not None else default_embedder()
        if embedder.fits_collection:
            if not batch:
                raise ValueError("the default embedder learns from the documents: give them to "
                                 "create, or pass an embedder that needs no fitting")
            embedder = embedder.fitted([p.text for d in batch.values() for p in split(d)])
        with writer_lock(folder):
            if (folder / META_NAME).exists() or any(folder.glob("*.sqlite")):
                raise FileExistsError(f"a collection already exists in {folder}")
            for k in range(shards):
                if os.path.lexists(folder / _shard_name(k)):
                    raise FileExistsError(f"{folder / _shard_name(k)} already exists")
            # Everything made is removed again if the creation fails; the description is written
            # last, so a folder interrupted before it holds no sharded collection.
            made: list[Path] = []
            try:
                config = embedder.save(folder, secrets.token_hex(6))
                made += [folder / f for f in embedder.files(config)]
                parts: list[list[Document]] = [[] for _ in range(shards)]
                for doc in batch.values():
                    parts[shard_of(doc.id, shards)].append(doc)
                shared = _SharedEmbedder(embedder)
                for k, part in enumerate(parts):
                    made.append(folder / _shard_name(k))
                    with Collection.create(made[-1], part, embedder=shared) as shard:
                        shard.lexical_index()  # saved for the shards' readers
                _write_json(folder / META_NAME, {"format": FORMAT, "shards": shards, "embedder": config})
            except BaseException:
                for path in made:
                    if path.is_dir() and not path.is_symlink():
                        shutil.rmtree(path)
                    else:
                        path.unlink(missing_ok=True)
                raise
        return cls.open(folder, embedder=embedder, client=client)

    @classmethod
    def open(cls, path: str | PathLike[str], *, client: Any = None,
             embedder: Embedder | None = None) -> Self:
        """Open the sharded collection in the folder `path`; with `client` (a
        `distributed.Client`) its searches run on the client's workers. A custom embedder must
        be passed again as `embedder`."""
        folder = Path(path)
        meta_file = folder / META_NAME
        if not meta_file.is_file():
            raise FileNotFoundError(f"no sharded collection in {folder}")
        try:
            meta = json.loads(meta_file.read_text(encoding="utf-8"))
            count, config = meta["shards"], meta["embedder"]
            if meta.get("format") != FORMAT or not isinstance(count, int) or not 1 <= count <= MAX_SHARDS:
                raise ValueError
        except (ValueError, KeyError, TypeError):
            raise CollectionError(f"{meta_file}: not a sharded collection's description") from None
        if embedder is None:
            embedder = restore_embedder(folder, config)
        shared = _SharedEmbedder(embedder)
        opened: list[Collection] = []
        try:
            for k in range(count):
                shard = folder / _shard_name(k)
                if shard.is_symlink():
                    raise CollectionError(f"{shard}: is a symbolic link; shards must be folders "
                                          "inside the collection")
                opened.append(Collection.open(shard, embedder=shared))
            collection = cls(folder, opened, shared, client)
        except BaseException:
            for c in opened:
                c.close()
            raise
        try:
            with collection._lock:
                collection._finish_pending()
        except BaseException:
            collection.close()
            raise
        return collection

    def close(self) -> None:
        """Close the shards (and release the workers' copies); the handle cannot be used after."""
        if self._remote is not None:
            self._remote.close()
            self._remote = None
        for s in self._shards:
            s.close()

    def __enter__(self) -> Self:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __len__(self) -> int:
        return sum(len(s) for s in self._shards)

    def __contains__(self, doc_id: object) -> bool:
        return isinstance(doc_id, str) and doc_id in self._shard_for(doc_id)

    def __repr__(self) -> str:
        return f"ShardedCollection({str(self.path)!r}, {len(self)} documents, {len(self._shards)} shards)"

    @property
    def shards(self) -> int:
        return len(self._shards)

    @property
    def embedder(self) -> Embedder:
        return self._embedder

    def _shard_for(self, doc_id: str) -> Collection:
        return self._shards[shard_of(doc_id, len(self._shards))]

    def get(self, doc_id: str) -> Document | None:
        return self._shard_for(doc_id).get(doc_id)

    # -- changing --------------------------------------------------------------------------

    def add(self, documents: Iterable[Any]) -> Changes:
        """Add documents, replacing those whose identifier exists (as `Collection.add`); each
        goes to its shard. Every item is checked, and every new text embedded, before any shard
        is changed; the change is made in every shard or in none."""
        added, updated, _ = self.update(documents)
        return Changes(added, updated)

    def remove(self, ids: Iterable[str]) -> int:
        """Remove the documents with these identifiers; returns how many were removed."""
        return self.update(remove=ids).removed

    def update(self, documents: Iterable[Any] = (), *, remove: Iterable[str] = ()) -> Update:
        """Add (or replace) `documents` and remove the documents `remove` (those also in
        `documents` are kept), as `Collection.update`, in one change over every shard: after an
        exception none of it is made, and after a crash the next handle completes it."""
        batch = _batch(documents)
        dropped = [i for i in dict.fromkeys(_id_list(remove)) if i not in batch]
        if not batch and not dropped:
            return Update(0, 0, 0)
        with self._lock:
            self._finish_pending()
            plan = self._plan(batch, dropped)
            if not plan.parts:
                return Update(0, 0, 0)
            self._shared.prepare(plan.texts, plan.dims)
            try:
                return self._apply(plan)
            finally:
                self._shared.prepare([], ())

    def _plan(self, batch: Mapping[str, Document], dropped: Sequence[str]) -> "_Plan":
        """The change split by shard, with what undoes it (the stored state of every document it
        touches) and the passages it will embed; reads the shards, changes nothing."""
        n = len(self._shards)
        wanted: list[tuple[list[Document], list[str]]] = [([], []) for _ in range(n)]
        for doc in batch.values():
            wanted[shard_of(doc.id, n)][0].append(doc)
        for doc_id in dropped:
            wanted[shard_of(doc_id, n)][1].append(doc_id)
        plan = _Plan()
        for k, (docs, gone) in enumerate(wanted):
            shard = self._shards[k]
            stored = shard._stored([*(d.id for d in docs), *gone])
            before = {i: Document(i, text, ts, meta) for i, (_, text, ts, meta) in stored.items()}
            gone = [i for i in gone if i in before]
            if not docs and not gone:
                continue
            plan.parts[k] = _ShardChange(docs, gone, list(before.values()),
                                         [d.id for d in docs if d.id not in before])
            plan.texts += [p.text for d in docs if d.id not in before or before[d.id].text != d.text
                           for p in split(d)]
            state = shard._refresh()
            if state.rows:
                plan.dims.add(state.dim)
        return plan

    def _apply(self, plan: "_Plan") -> Update:
        """Writes the change down, then makes it shard after shard. A shard that refuses its part
        (a full disk, say) has the shards changed so far put back as they were, the undo written
        down first, so that a crash while undoing is undone by the next handle."""
        journal = self.path / PENDING_NAME
        _write_json(journal, plan.journal(back=False))
        done: list[int] = []
        totals = [0, 0, 0]
        try:
            for k, part in plan.parts.items():
                done.append(k)
                made = self._shards[k].update(part.documents, remove=part.remove)
                totals = [t + m for t, m in zip(totals, made)]
        except Exception as refused:
            self._undo(plan, done, refused)
            raise
        journal.unlink()
        self._save_terms()
        return Update(*totals)

    def _save_terms(self) -> None:
        """Brings the saved BM25 term tables of every shard whose current generation has none up
        to date through its writable handle, so that readers (read-only shards here and on the
        workers, which never save) only load them. A shard follows the tables saved before,
        tokenising only the rows appended since. The tables are derived data: a crash before
        this leaves readers to make what is missing from the latest tables saved, and the next
        change saves it."""
        for shard in self._shards:
            if not (shard.path / f"{shard.generation}{TERMS_SUFFIX}").is_file():
                try:
                    shard.lexical_index()
                except Exception as error:  # the change stands: only a cache was not written
                    warnings.warn(f"{shard.path}: BM25 terms not saved ({error}); readers make them",
                                  RuntimeWarning, stacklevel=3)

    def _undo(self, plan: "_Plan", done: Sequence[int], refused: Exception) -> None:
        journal = self.path / PENDING_NAME
        try:
            _write_json(journal, plan.journal(back=True))
        except OSError:
            pass  # the change stays written down: after a crash it is completed instead
        try:
            for k in done:
                part = plan.parts[k]
                self._shards[k].update(part.restore, remove=part.absent)
        except Exception as e:
            refused.add_note(f"putting the shards back failed too ({e!r}); the next handle "
                             f"that opens {self.path} finishes the change it wrote down")
            return
        journal.unlink()

    def _finish_pending(self) -> None:
        """Completes (or undoes) a change that a crash interrupted."""
        pending = self.path / PENDING_NAME
        if pending.is_file():
            documents, remove = self._read_change(pending)
            n = len(self._shards)
            for k, shard in enumerate(self._shards):
                mine = [d for d in documents if shard_of(d.id, n) == k]
                gone = [i for i in remove if shard_of(i, n) == k]
                if mine or gone:
                    shard.update(mine, remove=gone)
            pending.unlink()
            self._save_terms()

    @staticmethod
    def _read_change(path: Path) -> tuple[list[Document], list[str]]:
        """What a change written down by `_apply` leaves to do (its documents and removals, or
        those of its undo), checked as any caller's input is."""
        try:
            journal = json.loads(path.read_text(encoding="utf-8"))
            if isinstance(journal, dict) and journal.get("back") is True:
                journal = journal["undo"]
            if isinstance(journal, dict) and ("add" in journal or "remove" in journal):
                add, remove = journal.get("add", []), journal.get("remove", [])
                if isinstance(add, list) and isinstance(remove, list) and all(
                        isinstance(i, str) and i for i in remove):
                    return list(_batch(add).values()), remove
        except (ValueError, TypeError, KeyError):
            pass
        raise CollectionError(f"{path}: not a change written by this collection")

    # -- searching -------------------------------------------------------------------------

    def _embed(self, texts: Sequence[str]) -> np.ndarray:
        return _embed_with(self._embedder, texts)

    def search(self, text: str, modifiers: str | None = None, *,
               where: Mapping[str, Any] | Filter | None = None, strict: bool = False,
               passages: bool = False, lexical: bool = True,
               **overrides: Unpack[SearchOverrides]) -> list[Result]:
        """The documents best matching `text` over all shards, as `Collection.search` (the
        modifier string, `where`, `strict`, `passages`, `lexical` and keyword overrides alike,
        except `mask`, which names the rows of one collection): the result of one search over
        every document, with the same `QueryWarning`s (or `QueryError` when strict).

        Ranking fuses the semantic score with BM25 as `Collection.search` does
        (`quorvel.lexical.hybrid_rank`), with the BM25 statistics of all shards together: a row
        scores as in one collection holding every live row. `lexical=False` ranks by the
        semantic score alone. `where` is answered by each shard from its own documents'
        metadata, on the worker that holds the shard when there is a client (the filter
        travels, not a mask)."""
        if "mask" in overrides:
            raise TypeError("search() of a sharded collection takes no 'mask'")
        mods = parse_request(modifiers, overrides)
        selection = compile_filter(where)
        notes = modifier_notes(modifiers)
        like = liked_ids(mods, overrides)
        if like is not None:
            like = known_ids(like, lambda i: i in self._shard_for(i)._refresh().id_to_idx, notes)
        if not len(self):
            _report(notes, strict)
            return []
        texts, unlike, trajectory = query_texts(text, mods)
        vectors = self._embed(texts)
        terms = tokenize([text or ""])[0] if lexical else None
        local = self._remote is None
        search = ShardSearch(self._views) if local else self._remote
        assert search is not None
        totals = self._term_stats(search, terms) if terms is not None else None
        found_by_words = totals is not None and any(totals.frequencies.values())
        unlike, trajectory = text_notes(text, ~vectors.any(axis=1), unlike, trajectory, lexical,
                                        found_by_words, notes)
        _report(notes, strict)
        kwargs = request_arguments(self._embed, vectors, unlike, trajectory, mods, like, overrides)
        if kwargs.get("pre_filter_ids") is not None:  # as Collection: a document is all its rows
            kwargs["pre_filter_ids"] = self._row_labels(kwargs["pre_filter_ids"])
        liked = None
        if kwargs.get("like_ids") is not None:
            liked = self._liked_rows(kwargs["like_ids"], vectors.shape[1])
            if not len(liked):  # as Collection: identifiers it does not hold are ignored
                del kwargs["like_ids"]
                liked = None
        if liked is None and not vectors[0].any() and not found_by_words:
            return []  # as Collection: nothing to steer by
        return self._ranked(search, vectors[0], liked, kwargs, where if selection is not None else None,
                            terms, totals, passages)

    def _term_stats(self, search: ShardSearch, terms: list[str]) -> TermStats:
        """The BM25 statistics of all shards for `terms`, asked of the shards only for terms not
        asked before at the shards' current generations."""
        generations = tuple(shard._refresh().generation for shard in self._shards)
        if self._stats is None or self._stats[0] != generations:
            self._stats = (generations, search.term_stats(terms))
        known = self._stats[1]
        missing = [t for t in dict.fromkeys(terms) if t not in known.frequencies]
        if missing:
            more = search.term_stats(missing)
            known = TermStats(more.rows, more.length, {**known.frequencies, **more.frequencies})
            self._stats = (generations, known)
        return TermStats(known.rows, known.length, {t: known.frequencies[t] for t in dict.fromkeys(terms)})

    def _row_labels(self, doc_ids: Sequence[str]) -> list[str]:
        """The labels of every live row of these documents, from the shards that hold them."""
        by_shard: dict[int, list[str]] = {}
        for doc_id in doc_ids:
            by_shard.setdefault(shard_of(doc_id, len(self._shards)), []).append(doc_id)
        labels: list[str] = []
        for k, held in sorted(by_shard.items()):
            labels += self._shards[k]._row_labels(self._shards[k]._refresh(), held)
        return labels

    def _liked_rows(self, like_ids: Sequence[str], dims: int) -> np.ndarray:
        """The rows of every passage of the liked documents, in order, read here, where every
        shard is open: no round trip."""
        found = []
        for doc_id in like_ids:
            shard = self._shard_for(doc_id)
            state = shard._refresh()
            for label in shard._row_labels(state, [doc_id]):
                row = state.id_to_idx.get(label)
                if row is not None:
                    found.append(state.matrix[row])
        return np.array(found, dtype=np.float32).reshape(len(found), dims)

    def _ranked(self, search: ShardSearch, query: np.ndarray, liked: np.ndarray | None,
                kwargs: dict[str, Any], where: Any, terms: list[str] | None,
                totals: TermStats | None, passages: bool) -> list[Result]:
        """The best `limit` rows, or with `passages` false the best row of each of the best
        `limit` documents (rows are passages), asked for in growing numbers as `Collection`
        does, each as its shard's `Result`."""
        limit = kwargs.get("limit", DEFAULT_LIMIT)
        states = [shard._refresh() for shard in self._shards]
        live = sum(st.rows - st.dead for st in states)
        documents = sum(st.documents for st in states)
        fetch = limit if passages or live == documents else min(live, 4 * limit)
        while True:
            rows = search.search(query, liked_rows=liked, where=where, terms=terms, term_totals=totals,
                                 fusion_pool=max(DEFAULT_POOL, fetch), **{**kwargs, "limit": fetch})
            if passages:
                picked = [(r["id"], r["score"]) for r in rows]
                break
            best: dict[str, tuple[str, float]] = {}  # document -> its best row, in rank order
            for r in rows:
                best.setdefault(document_of(r["id"]), (r["id"], r["score"]))
            picked = list(best.values())[:limit]
            if len(best) >= limit or len(rows) < fetch or fetch >= live:
                break
            fetch = min(live, 4 * fetch)
        ranked: dict[int, list[tuple[str, int, float]]] = {}  # shard -> (label, row, score)
        for label, score in picked:
            k = shard_of(document_of(label), len(self._shards))
            row = states[k].id_to_idx.get(label)
            if row is None:  # the workers searched a later generation than this handle read
                states[k] = self._shards[k]._refresh()
                row = states[k].id_to_idx.get(label)
            if row is not None:
                ranked.setdefault(k, []).append((label, row, score))
        found: dict[str, Result] = {}
        for k, hits in ranked.items():  # each shard's results read at once
            results = self._shards[k]._results(states[k], [(row, score) for _, row, score in hits])
            found.update((label, r) for (label, _, _), r in zip(hits, results))
        return [found[label] for label, _ in picked if label in found]
