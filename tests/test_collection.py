"""Collections on disk: concurrent writers and handles, damage refused at open, failed and
interrupted changes, the cost of a change, and the embedder that made the vectors."""

import hashlib
import itertools
import json
import multiprocessing
import os
import signal
import sqlite3
import struct
import time

import numpy as np
import pytest

import quorvel.collection as qc
import quorvel.storage
from quorvel import Collection, CollectionError, Document, Embedder
from quorvel.lsa import LsaModel
from quorvel.storage import HEADER_BYTES, LOCK_NAME
from conftest import lsa_collection


class HashEmbedder(Embedder):
    """Deterministic in every process: a text's vector is seeded by its hash."""

    dim = 24

    def __init__(self, fail_after=None):
        self.calls, self.fail_after = 0, fail_after

    def embed(self, texts):
        self.calls += 1
        if self.fail_after is not None and self.calls > self.fail_after:
            raise RuntimeError("embedder failed")
        out = np.empty((len(texts), self.dim), dtype=np.float32)
        for i, t in enumerate(texts):
            seed = int.from_bytes(hashlib.blake2b(t.encode(), digest_size=8).digest(), "little")
            out[i] = np.random.default_rng(seed).standard_normal(self.dim)
        return out


class OtherEmbedder(HashEmbedder):
    """Same dimension, another vector space."""


def docs(prefix, n, start=0):
    return [(f"{prefix}{i}", f"text of {prefix} number {i}") for i in range(start, start + n)]


WORDS = ("river stone bread oven star planet garden tomato music violin engine piston "
         "cloud rain winter summer paper ink").split()


def prose(i):
    """A distinct little text made of common words, so that every text shares words with others."""
    return " ".join(WORDS[(i * 7 + k * 3) % len(WORDS)] for k in range(6)) + f" note{i % 5}"


def check_vectors(c):
    """Every live row holds the vector of its own passage of its document, and nothing else is
    live."""
    snap = c.snapshot()
    live = [i for i, d in enumerate(snap.ids) if d]
    assert sorted(snap.id_to_idx.values()) == live
    rows = qc.rows_by_document(snap.ids)
    assert len(rows) == len(c) == len(list(c.documents()))
    if snap.mask is not None:
        assert np.flatnonzero(snap.mask).tolist() == live
    for doc_id, doc_rows in rows.items():
        doc = c.get(doc_id)
        passages = qc.split(doc)
        assert snap.id_to_idx[doc.id] == doc_rows[0] and len(doc_rows) == len(passages)
        for row, passage in zip(doc_rows, passages):
            np.testing.assert_allclose(snap.matrix[row], c.embed(passage.text), atol=2e-6, err_msg=doc.id)


def fingerprint(folder):
    """The files a change may write, byte for byte, and the database's content."""
    files = {p.name: p.read_bytes() for p in sorted(folder.iterdir())
             if p.is_file() and p.name != qc.DB_NAME and not p.name.startswith(qc.DB_NAME) and p.suffix != ".lock"}
    with sqlite3.connect(folder / qc.DB_NAME) as conn:
        dump = list(conn.iterdump())
    return files, dump


# -- concurrent writers and handles --------------------------------------------------------------

def _writer(folder, name, rounds, queue):
    reported = []
    with Collection.open(folder, embedder=HashEmbedder()) as c:
        for r in range(rounds):
            batch = docs(f"{name}-", 3, start=3 * r)
            c.add(batch)
            reported += [d for d, _ in batch]
            if r % 3 == 2:  # a removal and a text change of this writer's own documents
                gone = reported.pop(0)
                assert c.remove([gone]) == 1
                c.add([(reported[0], f"changed text of {reported[0]}")])
    queue.put((name, reported))


def test_writers_in_separate_processes_lose_nothing(tmp_path):
    folder = tmp_path / "c"
    Collection.create(folder, docs("seed", 5), embedder=HashEmbedder()).close()
    ctx = multiprocessing.get_context("fork")
    queue = ctx.Queue()
    procs = [ctx.Process(target=_writer, args=(folder, f"w{k}", 8, queue)) for k in range(3)]
    for p in procs:
        p.start()
    for p in procs:
        p.join(timeout=120)
        assert p.exitcode == 0
    results = dict(queue.get(timeout=10) for _ in procs)
    with Collection.open(folder, embedder=HashEmbedder()) as c:
        expected = {f"seed{i}" for i in range(5)} | {d for ids in results.values() for d in ids}
        assert set(c.snapshot().id_to_idx) == expected
        for ids in results.values():  # each writer's text change landed on its own document
            assert c.get(ids[0]).text == f"changed text of {ids[0]}"
        check_vectors(c)


def test_two_handles_in_one_process_follow_each_other(tmp_path):
    folder = tmp_path / "c"
    a = Collection.create(folder, docs("a", 6), embedder=HashEmbedder())
    b = Collection.open(folder, embedder=HashEmbedder())
    try:
        for step in range(12):
            writer, other = (a, b) if step % 2 else (b, a)
            writer.add(docs(f"s{step}-", 2) + [(f"a{step % 6}", f"new text {step}")])
            if step % 3 == 0:
                writer.remove([f"s{step - 1}-0"] if step else ["a5"])
            # the other handle notices, reloads, and its next change works from the new state
            assert other.ids == writer.ids and len(other) == len(writer)
            check_vectors(other)
            passage = qc.split(Document(f"a{step % 6}", f"new text {step}"))[0].text
            hit = other.search(passage, "limit:1", lexical=False)
            assert hit[0].id == f"a{step % 6}" and hit[0].score == pytest.approx(1.0)
        assert a.generation == b.generation
    finally:
        a.close()
        b.close()


def _add_and_remove(folder, rounds):
    with Collection.open(folder, embedder=HashEmbedder()) as c:
        for i in range(rounds):
            c.add([(f"r{i}-{k}", f"text r{i}-{k}") for k in range(4)])
            c.remove([f"r{i}-{k}" for k in range(3)] + [f"d{i}"])  # compactions now and then


def test_a_reader_sees_one_state_at_a_time_while_a_process_writes(tmp_path):
    folder = tmp_path / "c"
    Collection.create(folder, [(f"d{i}", f"text d{i}") for i in range(30)], embedder=HashEmbedder()).close()
    writer = multiprocessing.get_context("fork").Process(target=_add_and_remove, args=(folder, 25))
    seen = set()
    with Collection.open(folder, embedder=HashEmbedder(), read_only=True) as reader:
        writer.start()
        for _ in range(200):
            snap = reader.snapshot()
            seen.add(snap.generation)
            assert len(snap.ids) == snap.matrix.shape[0]
            assert snap.mask is None or np.flatnonzero(snap.mask).tolist() == sorted(snap.id_to_idx.values())
            for row in list(snap.id_to_idx.values())[-6:]:  # texts never change: the latest rows
                passage = qc.split(Document(snap.ids[row], f"text {snap.ids[row]}"))[0].text
                np.testing.assert_allclose(snap.matrix[row], reader.embed(passage), atol=2e-6)
            if not writer.is_alive():
                break
        writer.join(timeout=60)
    assert writer.exitcode == 0 and len(seen) > 1


# -- damage refused at open ----------------------------------------------------------------------

def _meta(folder, key, value):
    with sqlite3.connect(folder / qc.DB_NAME) as conn:
        if value is None:
            conn.execute("DELETE FROM meta WHERE key = ?", (key,))
        else:
            conn.execute("UPDATE meta SET value = ? WHERE key = ?", (value, key))


def _sql(folder, statement):
    with sqlite3.connect(folder / qc.DB_NAME) as conn:
        conn.execute(statement)


def _matrix(folder):
    (path,) = folder.glob("*" + qc.MATRIX_SUFFIX)
    return path


def _header(path, text):
    body = text.ljust(HEADER_BYTES - 11) + "\n"
    with open(path, "r+b") as f:
        f.write(b"\x93NUMPY\x01\x00" + struct.pack("<H", len(body)) + body.encode())


DAMAGE = {
    "matrix missing": (lambda f: _matrix(f).unlink(), "matrix file missing"),
    "matrix empty": (lambda f: _matrix(f).write_bytes(b""), "header"),
    "matrix truncated": (lambda f: os.truncate(_matrix(f), _matrix(f).stat().st_size - 9), "truncated"),
    "matrix columns": (lambda f: _header(_matrix(f), "{'descr': '<f4', 'fortran_order': False, 'shape': (9, 23), }"),
                       "23 columns"),
    "matrix dtype": (lambda f: _header(_matrix(f), "{'descr': '<f8', 'fortran_order': False, 'shape': (9, 24), }"),
                     "dtype '<f8'"),
    "matrix fortran": (lambda f: _header(_matrix(f), "{'descr': '<f4', 'fortran_order': True, 'shape': (9, 24), }"),
                       "fortran_order=True"),
    "matrix header rows": (lambda f: _header(_matrix(f), "{'descr': '<f4', 'fortran_order': False, 'shape': (3, 24), }"),
                           "counts 3 rows"),
    "matrix header garbage": (lambda f: _header(_matrix(f), "{'descr': __import__('os')}"), "malformed"),
    "rows beyond the table": (lambda f: _meta(f, "rows", "12"), "12"),
    "dimension": (lambda f: _meta(f, "dim", "25"), "25"),
    "metadata missing": (lambda f: _meta(f, "embedder_id", None), "embedder_id"),
    "metadata not a count": (lambda f: _meta(f, "generation", "x"), "'generation'"),
    "stale format": (lambda f: _meta(f, "format", "1"), "format '1'"),
    "a format-1 collection": (lambda f: _format_1(f), f"format '1', this version reads format '{qc.FORMAT}'"),
    "a format-2 collection (no metadata index)": (lambda f: _meta(f, "format", "2"), "format '2'"),
    "embedder not JSON": (lambda f: _meta(f, "embedder", "{"), "not JSON"),
    "embedder not an object": (lambda f: _meta(f, "embedder", "[1]"), "malformed embedder"),
    "row of a missing document": (lambda f: _sql(f, "DELETE FROM documents WHERE id = 'd3'"), "row"),
    "document without a row": (lambda f: _sql(f, "DELETE FROM rows WHERE row = 8"), "rows"),
    "row numbers": (lambda f: _sql(f, "UPDATE rows SET row = 40 WHERE row = 4"), "row"),
    "database garbage": (lambda f: (f / qc.DB_NAME).write_bytes(b"not a database" * 100), "collection.sqlite"),
    "database empty": (lambda f: (f / qc.DB_NAME).write_bytes(b""), "collection.sqlite"),
    "matrix a symlink": (lambda f: _symlink_matrix(f), "symbolic link"),
}


def _format_1(folder):
    (folder / qc.DB_NAME).unlink()
    with sqlite3.connect(folder / qc.DB_NAME) as conn:
        conn.executescript("CREATE TABLE documents (row INTEGER PRIMARY KEY, id TEXT NOT NULL UNIQUE, "
                           "text TEXT NOT NULL, timestamp REAL); "
                           "CREATE TABLE meta (key TEXT PRIMARY KEY, value TEXT NOT NULL);")
        conn.executemany("INSERT INTO meta VALUES (?, ?)", [
            ("format", "1"), ("matrix", _matrix(folder).name), ("embedder", '{"kind": "custom"}')])


def _symlink_matrix(folder):
    path = _matrix(folder)
    outside = folder.parent / "elsewhere.embeddings.npy"
    path.rename(outside)
    path.symlink_to(outside)


@pytest.mark.parametrize("damage", DAMAGE)
def test_damage_is_refused_at_open(tmp_path, damage):
    folder = tmp_path / "c"
    Collection.create(folder, docs("d", 9), embedder=HashEmbedder()).close()
    do, message = DAMAGE[damage]
    do(folder)
    with pytest.raises(CollectionError, match=message) as e:
        Collection.open(folder, embedder=HashEmbedder())
    assert isinstance(e.value, ValueError)


@pytest.mark.parametrize("damage, message", [
    ("model missing", "model file missing"),
    ("model garbage", "unreadable model"),
    ("model without components", "unreadable model"),
    ("model of another collection", "made by the embedder"),
    ("model name climbs out", "refusing the file name '../"),
    ("model name absolute", "refusing the file name '/"),
])
def test_damaged_default_embedder_is_refused_at_open(tmp_path, damage, message):
    folder = tmp_path / "c"
    texts = [(f"d{i}", prose(i)) for i in range(12)]
    lsa_collection(folder, texts).close()
    lsa_collection(tmp_path / "other", texts[:6]).close()
    (model,) = folder.glob("*.lsa.npz")
    outside = tmp_path / "victim.lsa.npz"
    outside.write_bytes(model.read_bytes())
    victim = outside.read_bytes()
    config = json.loads(sqlite3.connect(folder / qc.DB_NAME).execute(
        "SELECT value FROM meta WHERE key = 'embedder'").fetchone()[0])
    if damage == "model missing":
        model.unlink()
    elif damage == "model garbage":
        model.write_bytes(b"PK\x03\x04 not a zip")
    elif damage == "model without components":
        with np.load(model) as z:
            np.savez(model.with_suffix(".tmp.npz"), vocabulary=z["vocabulary"], idf=z["idf"])
        model.with_suffix(".tmp.npz").replace(model)
    elif damage == "model of another collection":
        (other,) = (tmp_path / "other").glob("*.lsa.npz")
        model.write_bytes(other.read_bytes())
    else:
        config["file"] = "../victim.lsa.npz" if damage == "model name climbs out" else str(outside)
        _meta(folder, "embedder", json.dumps(config))
    with pytest.raises(CollectionError, match=message):
        Collection.open(folder)
    assert outside.read_bytes() == victim


@pytest.mark.parametrize("name", ["../victim.embeddings.npy", "{abs}", "sub/x.embeddings.npy",
                                  ".hidden.embeddings.npy", "x.sqlite", "..", ""])
def test_hostile_matrix_names_touch_nothing_outside(tmp_path, name):
    folder = tmp_path / "c"
    victim = tmp_path / "victim.embeddings.npy"
    Collection.create(folder, docs("d", 4), embedder=HashEmbedder()).close()
    victim.write_bytes(_matrix(folder).read_bytes())
    before = victim.read_bytes()
    _meta(folder, "matrix", name.format(abs=victim))
    with pytest.raises(CollectionError, match="refusing the file name"):
        Collection.open(folder, embedder=HashEmbedder())
    assert victim.read_bytes() == before
    assert sorted(p.name for p in tmp_path.iterdir()) == ["c", "victim.embeddings.npy"]


def test_another_embedders_vectors_are_refused(tmp_path):
    folder = tmp_path / "c"
    Collection.create(folder, docs("d", 4), embedder=HashEmbedder()).close()
    with pytest.raises(CollectionError, match="made by the embedder 'test_collection.HashEmbedder/24'"):
        Collection.open(folder, embedder=OtherEmbedder())
    with pytest.raises(TypeError, match="embedder="):
        Collection.open(folder)
    lsa = tmp_path / "lsa"
    lsa_collection(lsa, [(f"d{i}", prose(i)) for i in range(8)]).close()
    with pytest.raises(CollectionError, match="made by the embedder 'lsa/"):
        Collection.open(lsa, embedder=HashEmbedder())


# -- failed changes leave no trace -------------------------------------------------------------

def _fail(*args, **kwargs):
    raise OSError(28, "No space left on device")


FAILURES = {
    "embedder raises": lambda mp, c: setattr(c.embedder, "fail_after", c.embedder.calls),
    "disk full while appending": lambda mp, c: mp.setattr(quorvel.storage.os, "fdatasync", _fail),
    "failure before the commit": lambda mp, c: mp.setattr(qc, "_before_commit", _fail),
}


@pytest.mark.parametrize("failure", FAILURES)
@pytest.mark.parametrize("change", ["add", "update", "remove", "compact"])
def test_failed_change_leaves_files_and_handle_as_they_were(tmp_path, monkeypatch, failure, change):
    folder = tmp_path / "c"
    c = Collection.create(folder, docs("d", 10), embedder=HashEmbedder())
    c.remove(["d0", "d1"])  # tombstones, kept (2 of 10 rows)
    hits = c.search("text of d number 4", "limit:3")  # its BM25 terms saved before the change
    before, snap = fingerprint(folder), c.snapshot()
    ids, generation = list(snap.ids), snap.generation
    run = {"add": lambda: c.add(docs("new", 3)), "update": lambda: c.add([("d5", "another text")]),
           "remove": lambda: c.remove(["d2", "d3"]), "compact": c.compact}[change]
    with monkeypatch.context() as mp:
        FAILURES[failure](mp, c)
        if failure == "embedder raises" and change in ("remove", "compact"):
            run()  # nothing to embed: the change goes through
            return
        with pytest.raises((OSError, RuntimeError)):
            run()
    c.embedder.fail_after = None
    assert fingerprint(folder) == before
    assert c.ids == ids and c.generation == generation and len(c) == 8
    assert c.search("text of d number 4", "limit:3") == hits
    run()  # the same change then succeeds from the state it left
    check_vectors(c)
    c.close()
    with Collection.open(folder, embedder=HashEmbedder()) as again:
        check_vectors(again)


@pytest.mark.parametrize("stage", ["fit", "commit"])
def test_failed_refit_keeps_the_embedder_and_leaves_no_files(tmp_path, monkeypatch, stage):
    folder = tmp_path / "c"
    c = lsa_collection(folder, [(f"d{i}", prose(i)) for i in range(6)])
    before, identity = fingerprint(folder), c.embedder.identity
    query = c.embed("river stone")
    with monkeypatch.context() as mp:
        if stage == "fit":
            mp.setattr(LsaModel, "fit", classmethod(lambda cls, *a, **k: _fail()))
        else:
            mp.setattr(qc, "_before_commit", _fail)
        with pytest.raises(OSError):
            c.add([("new", "violin music in winter rain")])  # a small collection: refitted
    assert fingerprint(folder) == before and c.embedder.identity == identity
    np.testing.assert_array_equal(c.embed("river stone"), query)
    c.add([("new", "violin music in winter rain")])
    check_vectors(c)
    assert c.embedder.identity != identity and len(list(folder.glob("*.lsa.npz"))) == 1
    c.close()


@pytest.mark.parametrize("bad, shown", [
    ("lone\udc80surrogate", r"'lone\\udc80surrogate'"),
    ("nul\0inside", r"'nul\\x00inside'"),
])
def test_unstorable_identifiers_are_refused_before_any_work(tmp_path, bad, shown):
    folder = tmp_path / "c"
    emb = HashEmbedder()
    with Collection.create(folder, docs("d", 3), embedder=emb) as c:
        before, calls = fingerprint(folder), emb.calls
        with pytest.raises(ValueError, match=f"document identifier {shown} cannot be stored"):
            c.add(docs("ok", 2) + [(bad, "text")])
        with pytest.raises(ValueError, match="text of document 'x' cannot be stored"):
            c.add([("x", bad)])
        assert emb.calls == calls and fingerprint(folder) == before and len(c) == 3
    # A failed create leaves nothing behind, in a folder it makes or in one that is there.
    (tmp_path / "there").mkdir()
    for name in ("new", "there"):
        with pytest.raises(ValueError, match=shown):
            Collection.create(tmp_path / name, docs("ok", 2) + [(bad, "text")])
        left = (tmp_path / name).iterdir() if (tmp_path / name).exists() else ()
        assert {p.name for p in left} <= {LOCK_NAME}
        with Collection.create(tmp_path / name, docs("ok", 2), embedder=HashEmbedder()) as c:
            assert len(c) == 2


def test_a_create_whose_embedder_fails_leaves_nothing_behind(tmp_path):
    class Failing(HashEmbedder):
        def embed(self, texts):
            raise RuntimeError("model exploded")

    for name in ("new", "there"):
        (tmp_path / "there").mkdir(exist_ok=True)
        with pytest.raises(RuntimeError, match="model exploded"):
            Collection.create(tmp_path / name, docs("d", 3), embedder=Failing())
        left = (tmp_path / name).iterdir() if (tmp_path / name).exists() else ()
        assert {p.name for p in left} <= {LOCK_NAME}
        with Collection.create(tmp_path / name, docs("d", 3), embedder=HashEmbedder()) as c:
            assert len(c) == 3


# -- interrupted changes ---------------------------------------------------------------------

def _killed(folder, change):
    qc._before_commit = lambda path: os._exit(9)
    with Collection.open(folder, embedder=HashEmbedder()) as c:
        {"append": lambda: c.add(docs("new", 4)), "remove": lambda: c.remove(["d1"]),
         "compact": c.compact}[change]()
    os._exit(0)


@pytest.mark.parametrize("change", ["append", "remove", "compact"])
def test_killed_change_leaves_the_old_state_and_the_next_change_cleans_up(tmp_path, change):
    folder = tmp_path / "c"
    with Collection.create(folder, docs("d", 8), embedder=HashEmbedder()) as c:
        c.remove(["d0"])
        ids = list(c.ids)
    ctx = multiprocessing.get_context("fork")
    p = ctx.Process(target=_killed, args=(folder, change))
    p.start()
    p.join(timeout=60)
    assert p.exitcode == 9
    if change == "compact":
        assert len(list(folder.glob("*" + qc.MATRIX_SUFFIX))) == 2  # the orphan of the kill
    with Collection.open(folder, embedder=HashEmbedder()) as c:
        assert c.ids == ids
        check_vectors(c)
        c.add(docs("after", 2))
        check_vectors(c)
        assert len(list(folder.glob("*" + qc.MATRIX_SUFFIX))) == 1


def _change_forever(folder):
    with Collection.open(folder, embedder=HashEmbedder()) as c:
        for i in itertools.count():
            c.add(docs(f"k{i}-", 3) + [(f"d{i % 20}", f"text {i}")])
            if i % 2:  # tombstones, and now and then a compaction
                c.remove([f"k{i - 1}-0", f"k{i - 1}-1"])


def test_kill_at_any_moment_leaves_a_consistent_collection(tmp_path):
    folder = tmp_path / "c"
    Collection.create(folder, docs("d", 20), embedder=HashEmbedder()).close()
    ctx = multiprocessing.get_context("fork")
    generations = []
    for k in range(6):
        p = ctx.Process(target=_change_forever, args=(folder,))
        p.start()
        time.sleep(0.1 + 0.037 * k)
        os.kill(p.pid, signal.SIGKILL)
        p.join(timeout=30)
        with Collection.open(folder, embedder=HashEmbedder()) as c:
            check_vectors(c)
            generations.append(c.generation)
    assert generations[-1] > generations[0]  # the writers got somewhere
    with Collection.open(folder, embedder=HashEmbedder()) as c:
        c.compact()
        assert len(list(folder.glob("*" + qc.MATRIX_SUFFIX))) == 1


# -- what a change costs ----------------------------------------------------------------------

def test_add_and_remove_append_and_tombstone_in_place(tmp_path, monkeypatch):
    folder = tmp_path / "c"
    emb = HashEmbedder()
    c = Collection.create(folder, docs("d", 20), embedder=emb)
    path = _matrix(folder)
    inode, old = path.stat().st_ino, np.array(c.matrix)
    monkeypatch.setattr(qc.MatrixFile, "create", _fail)  # a change that rewrites the matrix fails
    seen = []
    monkeypatch.setattr(emb, "embed", lambda texts, e=emb.embed: seen.append(list(texts)) or e(texts))
    assert c.add(docs("d", 2, start=19) + [("d3", "changed")]) == (1, 1)
    assert seen == [["d20\ntext of d number 20", "d3\nchanged"]]   # identifier, then text
    assert c.remove(["d4", "d5"]) == 2
    assert path.stat().st_ino == inode and c.matrix.shape == (22, 24)
    np.testing.assert_array_equal(c.matrix[:20], old)
    assert c.mask.tolist() == [True] * 3 + [False] * 3 + [True] * 16
    assert c.ids[3:6] == ["", "", ""] and c.ids[-2:] == ["d20", "d3"]
    check_vectors(c)
    c.close()


@pytest.mark.parametrize("removed, compacted", [(2, False), (3, True)])
def test_compaction_past_a_quarter_of_the_rows(tmp_path, removed, compacted):
    with Collection.create(tmp_path / "c", docs("d", 8), embedder=HashEmbedder()) as c:
        c.remove([f"d{i}" for i in range(removed)])  # 2 of 8 is exactly the fraction: kept
        assert (c.mask is None) == compacted and c.matrix.shape[0] == (8 - removed if compacted else 8)
        check_vectors(c)
        assert c.search("text of d number 7", "limit:1")[0].id == "d7"
        hits = c.search("text of d number 0", "limit:20")
        assert sorted(h.id for h in hits) == [f"d{i}" for i in range(removed, 8)]


def test_duplicates_in_one_batch_last_wins(tmp_path):
    with Collection.create(tmp_path / "c", embedder=HashEmbedder()) as c:
        assert c.add([("a", "first"), ("b", "x"), ("a", "second")]) == (2, 0)
        assert c.get("a").text == "second" and c.ids == ["a", "b"]
        assert c.add([("a", "third"), ("a", "second")]) == (0, 0)
        check_vectors(c)


def test_empty_last_removed_and_added_again(tmp_path):
    folder = tmp_path / "c"
    with Collection.create(folder, embedder=HashEmbedder()) as c:
        assert len(c) == 0 and c.search("x") == [] and c.matrix.shape == (0, 0)
        c.add(docs("d", 2))
        assert c.remove(["d0", "d1", "d1"]) == 2
        assert len(c) == 0 and c.search("x") == [] and c.matrix.shape == (0, 24)
        assert c.remove(["d0"]) == 0
    with Collection.open(folder, embedder=HashEmbedder()) as c:
        assert len(c) == 0 and c.search("text") == []
        c.add(docs("d", 1))
        assert c.search("text of d number 0")[0].id == "d0"
        check_vectors(c)


def test_default_embedder_folds_new_texts_in_until_stale(tmp_path):
    texts = [(f"d{i}", prose(i)) for i in range(40)]
    with lsa_collection(tmp_path / "c", texts) as c:
        identity, old, name = c.embedder.identity, np.array(c.matrix), _matrix(tmp_path / "c").name
        for k in range(4):  # 4 changed texts of 40: within the tenth
            c.add([(f"n{k}", prose(100 + k))])
        assert c.embedder.identity == identity and _matrix(tmp_path / "c").name == name
        np.testing.assert_array_equal(c.matrix[:40], old)
        check_vectors(c)
        c.add([("n4", prose(200))])  # the fifth passes it: refitted on every text
        assert c.embedder.identity != identity and c.mask is None and c.matrix.shape[0] == 45
        check_vectors(c)
        identity = c.embedder.identity
        c.refit()  # the same texts: the same model
        assert c.embedder.identity == identity
    with Collection.open(tmp_path / "c") as c:
        check_vectors(c)


def test_read_only_handle_serves_a_score_candidates_call(tmp_path):
    folder = tmp_path / "c"
    with Collection.create(folder, docs("d", 6), embedder=HashEmbedder()) as c:
        c.remove(["d1"])
    with Collection.open(folder, embedder=HashEmbedder(), read_only=True) as shard:
        s = shard.snapshot()
        rows = qc._quorvel.score_candidates(s.matrix, s.ids, s.id_to_idx, s.matrix[1], mask=s.mask,
                                            limit=10)
        assert "d1" not in {r["id"] for r in rows} and len(rows) == 5
        with pytest.raises(ValueError, match="read-only"):
            shard.add(docs("x", 1))
        with pytest.raises(ValueError, match="rows"):
            shard.search("x", mask=[True] * 5)


def test_documents_of_several_passages(tmp_path, monkeypatch):
    """The passage hook: with two rows a document, changes and reopening keep every row on the
    passage it embeds."""
    monkeypatch.setattr(qc, "split", lambda doc: [qc.Passage(doc.text, 0, 1),
                                                   qc.Passage(doc.text.upper(), len(doc.text) // 2, 2)])
    folder = tmp_path / "c"
    with Collection.create(folder, docs("d", 6), embedder=HashEmbedder()) as c:
        c.add([("d1", "changed"), ("x", "new")])
        c.remove(["d2"])
        ids, mask = list(c.ids), c.mask.tolist()
    # a document's first row is labelled by its identifier, the others by identifier and row
    assert ids == ["d0", "d0\x001", "", "", "", "", "d3", "d3\x007", "d4", "d4\x009", "d5", "d5\x0011",
                   "x", "x\x0013", "d1", "d1\x0015"]
    assert mask == [bool(d) for d in ids]
    with Collection.open(folder, embedder=HashEmbedder()) as c:
        assert c.ids == ids and len(c) == 6 and c.snapshot().id_to_idx["d1"] == 14
        assert "d1\x0015" not in c and "d1" in c
        for row, label in enumerate(ids):
            if label:
                text = c.get(qc.document_of(label)).text
                np.testing.assert_allclose(c.matrix[row], c.embed(text if row % 2 == 0 else text.upper()),
                                           atol=2e-6)


def test_a_refit_elsewhere_reaches_the_other_handle(tmp_path):
    folder = tmp_path / "c"
    with lsa_collection(folder, [(f"d{i}", prose(i)) for i in range(20)]) as a, \
            Collection.open(folder) as b:
        first = b.embedder.identity
        a.add([(f"n{k}", prose(50 + k)) for k in range(3)])  # past a tenth: refitted
        assert b.embedder.identity == a.embedder.identity != first
        check_vectors(b)
        b.add([("m", prose(99))])  # folded in with the model b reloaded
        assert a.embedder.identity == b.embedder.identity and a.ids == b.ids
        check_vectors(a)


def test_matrix_file_deleted_after_its_check_is_read_again(tmp_path):
    """A compaction may delete the file between a reader's check and its memory map: that must
    be the CollectionError that makes the reader load the new state, not a FileNotFoundError."""
    path = tmp_path / "a.embeddings.npy"
    quorvel.storage.MatrixFile.create(path, np.ones((2, 3), dtype=np.float32))
    checked = quorvel.storage.MatrixFile.check(path, 2, 3)
    path.unlink()
    with pytest.raises(CollectionError, match="matrix file missing"):
        checked.rows(2)


def test_a_mask_override_of_none_keeps_removed_documents_out(tmp_path):
    docs = [(f"d{i}", f"river boat {i} harbour") for i in range(12)]
    with lsa_collection(tmp_path, docs) as c:
        c.remove(["d3"])
        assert c.mask is not None  # tombstoned, not compacted
        hits = c.search("river boat", limit=20, mask=None)
        assert len(hits) == 11 and "d3" not in {h.id for h in hits} and "" not in {h.id for h in hits}
