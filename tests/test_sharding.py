"""Sharded search against one score_candidates call over the stacked shards: random documents,
random option mixes, in this process and on a local Dask cluster of two worker processes."""

import json
import os
import subprocess
import sys
import time
import warnings
from pathlib import Path

import numpy as np
import pytest

import _quorvel
from quorvel.sharding import (ShardData, ShardFailure, ShardFiles, ShardSearch, ShardsUnavailable,
                              compose_query, write_shard_files)

from conftest import unit_rows

# Rows scaled by 2**20 make the reported score (rounded to 1e-4) the float32 score itself: a
# float32 of magnitude ~1e6 is a multiple of 1/16. Scaling by a power of two changes no rounding.
EXACT_SCALE = np.float32(2.0 ** 20)


def scores_by_id(rows):
    return {r["id"]: r["score"] for r in rows}


# --- the facts the merge rests on ------------------------------------------------------------

@pytest.mark.parametrize("dims", [1, 7, 8, 37, 64])
def test_a_rows_score_does_not_depend_on_its_place_in_the_matrix(dims):
    rng = np.random.default_rng(dims)
    n = 3000  # several chunks and row groups, with remainders
    m = unit_rows(rng, n, dims) * EXACT_SCALE
    ids = [f"r{i}" for i in range(n)]
    id_to_idx = {d: i for i, d in enumerate(ids)}
    q, traj_to, neg = (rng.standard_normal(dims).astype(np.float32) for _ in range(3))
    for extra in ({}, {"traj_from_vec": -q, "traj_to_vec": traj_to}, {"not_like_vec": neg},
                  {"traj_from_vec": q, "traj_to_vec": traj_to, "not_like_vec": neg}):
        whole = scores_by_id(_quorvel.score_candidates(m, ids, id_to_idx, q, limit=n, **extra))
        for rows in (rng.permutation(n)[:257], np.arange(n)[::-1], np.array([n - 1]),
                     np.arange(1, 513)):
            part = np.ascontiguousarray(m[rows])
            part_ids = [ids[r] for r in rows]
            got = _quorvel.score_candidates(part, part_ids, {}, q, limit=len(rows), **extra)
            assert scores_by_id(got) == {d: whole[d] for d in part_ids}
        # the gathered rows of a pre-filter too
        chosen = [ids[r] for r in rng.permutation(n)[:300]]
        got = _quorvel.score_candidates(m, ids, id_to_idx, q, limit=n, pre_filter_ids=chosen, **extra)
        assert scores_by_id(got) == {d: whole[d] for d in chosen}


@pytest.mark.parametrize("case", ["blend", "zero query", "nan query", "repeats and unknown",
                                  "zero centroid", "zero query and centroid"])
def test_composed_query_is_bit_identical_to_the_native_like_path(case):
    rng = np.random.default_rng(len(case))
    n, dims = 400, 33
    m = unit_rows(rng, n, dims)
    m[1] = -m[0]  # rows 0 and 1 sum to zero
    m *= EXACT_SCALE
    ids = [f"r{i}" for i in range(n)]
    id_to_idx = {d: i for i, d in enumerate(ids)}
    q = rng.standard_normal(dims).astype(np.float32)
    like = [ids[i] for i in rng.choice(n, 5, replace=False)]
    if case in ("zero query", "zero query and centroid"):
        q[:] = 0
    if case == "nan query":
        q[3] = np.nan
    if case == "repeats and unknown":
        like = [like[0], "nobody", like[1], like[0], like[2]]
    if case in ("zero centroid", "zero query and centroid"):
        like = ["r0", "r1"]
    liked = m[[id_to_idx[d] for d in like if d in id_to_idx]]
    composed = compose_query(q, liked)
    native = _quorvel.score_candidates(m, ids, id_to_idx, q, limit=n, like_ids=like)
    mirrored = _quorvel.score_candidates(m, ids, id_to_idx, composed, limit=n)
    assert scores_by_id(mirrored) == scores_by_id(native)
    assert len(native) == n or case == "nan query"


def test_like_ids_resolving_nothing_compose_no_query():
    q = np.ones(4, dtype=np.float32)
    assert compose_query(q, np.zeros((0, 4), np.float32)) is None
    assert compose_query(q, None) is q


# --- random documents, random options --------------------------------------------------------

class World:
    """A random corpus split into shards of random sizes (one may be empty), with timestamps
    whose float32 ages cannot change while a case runs: each age sits an eighth of a float32
    step below a float32 value of 4096..16384 days, so the clock may move on by over 20 s before
    any age rounds to another value (row without timestamps, future ones and undated ones too)."""

    def __init__(self, seed, shards=3):
        rng = self.rng = np.random.default_rng(seed)
        n = int(rng.integers(40, 700))
        self.dims = dims = int(rng.choice([5, 16, 24]))
        self.matrix = unit_rows(rng, n, dims)
        self.ids = [f"doc-{seed}-{i}" for i in range(n)]
        self.id_to_idx = {d: i for i, d in enumerate(self.ids)}
        now = time.time()
        ages = rng.uniform(4096, 16384, n).astype(np.float32)
        step = np.spacing(ages).astype(np.float64)
        ts = now - (ages.astype(np.float64) - step / 8) * 86400.0
        kind = rng.random(n)
        ts[kind < 0.1] = np.nan
        ts[(kind >= 0.1) & (kind < 0.15)] = now + 1e6
        ts[(kind >= 0.15) & (kind < 0.2)] = 0.0
        self.timestamps = ts if rng.random() < 0.8 else None
        self.mask = rng.random(n) < 0.85 if rng.random() < 0.5 else None
        cuts = np.sort(rng.integers(0, n + 1, shards - 1))
        self.bounds = list(zip([0, *cuts], [*cuts, n]))

    def shard_data(self):
        out = []
        for a, b in self.bounds:
            ids = self.ids[a:b]
            out.append(ShardData(self.matrix[a:b], ids, {d: i for i, d in enumerate(ids)},
                                 None if self.timestamps is None else self.timestamps[a:b],
                                 None if self.mask is None else self.mask[a:b]))
        return out

    def shard_files(self, folder):
        return [write_shard_files(folder / f"shard{k}", d.matrix, d.ids, d.timestamps, d.mask)
                for k, d in enumerate(self.shard_data())]

    def whole(self, query_vec, **options):
        return _quorvel.score_candidates(self.matrix, self.ids, self.id_to_idx, query_vec,
                                         timestamps=self.timestamps, mask=self.mask, **options)

    def some_ids(self, count):
        picked = [self.ids[i] for i in self.rng.integers(0, len(self.ids), count)]
        return picked + ["not-a-document"] * int(self.rng.integers(0, 2))

    def vector(self):
        return self.rng.standard_normal(self.dims).astype(np.float32)

    def random_options(self):
        rng = self.rng
        o = {}
        if rng.random() < 0.5:
            o["diverse"] = True
            o["oversample"] = int(rng.choice([0, 3, 20, 200]))
            if rng.random() < 0.5:
                o["mmr_lambda"] = float(rng.uniform(-0.2, 1.2))
        if rng.random() < 0.8:
            o["limit"] = int(rng.choice([0, 1, 5, 30]))
        if rng.random() < 0.4:
            o["threshold"] = float(rng.uniform(0, 0.3))
        if rng.random() < 0.5:
            o["recent"] = True
            if rng.random() < 0.7:
                o["recent_days"] = float(rng.uniform(100, 5000))
        if rng.random() < 0.4:
            o["like_ids"] = self.some_ids(int(rng.integers(0, 5)))
        if rng.random() < 0.3:
            o["pre_filter_ids"] = self.some_ids(int(rng.integers(0, 60)))
        if rng.random() < 0.3:
            o["not_like_vec"] = self.vector()
        if rng.random() < 0.3:
            o["traj_from_vec"] = self.vector() if rng.random() < 0.8 else np.float32([0.1])
            o["traj_to_vec"] = self.vector()
        return o

    def query(self):
        q = self.vector()
        if self.rng.random() < 0.05:
            q[:] = 0  # a zero query is only steered by like_ids; else every score ties at 0
            return q, {"like_ids": self.some_ids(2)}
        return q, {}


def check_cases(search_for, seeds, cases_per_world=12):
    compared = 0
    for seed in seeds:
        world = World(seed)
        search = search_for(world)
        try:
            for _ in range(cases_per_world):
                q, forced = world.query()
                options = {**world.random_options(), **forced}
                expected = world.whole(q, **options)
                got = search.search(q, **options)
                assert got == expected, (seed, options)
                compared += bool(expected)
                if "like_ids" in options and world.ids:  # the liked rows handed over by the caller
                    liked = world.matrix[[world.id_to_idx[d] for d in options["like_ids"]
                                          if d in world.id_to_idx]]
                    assert search.search(q, liked_rows=liked, **options) == expected
        finally:
            search.close()
    assert compared > len(seeds) * cases_per_world // 3  # most cases return rows


def test_in_process_search_equals_one_call_over_all_rows():
    check_cases(lambda world: ShardSearch(world.shard_data()), seeds=range(25))


def test_in_process_search_over_files_equals_one_call(tmp_path):
    def search_for(world):
        folder = tmp_path / f"w{len(list(tmp_path.iterdir()))}"
        return ShardSearch(world.shard_files(folder))
    check_cases(search_for, seeds=range(100, 104))


def test_empty_and_bad_requests_fail_as_one_call_does():
    world = World(7)
    shards = ShardSearch(world.shard_data())
    q = world.vector()
    for options, error in (({"limit": -1}, OverflowError), ({"limit": "3"}, TypeError),
                           ({"oversample": 1.5}, TypeError), ({"mask": None}, TypeError)):
        with pytest.raises(error):
            shards.search(q, **options)
    with pytest.raises(TypeError):
        shards.search(q.astype(np.float64))
    short = q[:-1]
    for options in ({}, {"like_ids": [world.ids[0]]}, {"like_ids": []}):
        with pytest.raises(ValueError) as whole_error:
            world.whole(short, **options)
        with pytest.raises(ValueError) as sharded_error:
            shards.search(short, **options)
        assert str(sharded_error.value) == str(whole_error.value)
    empty = ShardSearch([ShardData(np.zeros((0, 0), np.float32), [], {})] * 2)
    assert empty.search(short, like_ids=["x"]) == [] == empty.search(short)
    # plain data holds no metadata to filter by and no terms to rank by
    with pytest.raises(TypeError, match="metadata"):
        shards.search(q, where={"lang": "en"})
    with pytest.raises(TypeError, match="terms"):
        shards.search(q, terms=["boat"])


def inconsistent_shards():
    """A shard whose map names a row past its matrix, and one whose map and identifiers differ."""
    m = unit_rows(np.random.default_rng(5), 4, 8)
    ids = ["a", "b", "c", "d"]
    beyond = ShardData(m, ids, {"a": 0, "b": 1, "c": 2, "d": 9})
    swapped = ShardData(m, ids, {"a": 1, "b": 0, "c": 2, "d": 3})
    return [(beyond, {"pre_filter_ids": ["d"]}), (beyond, {"like_ids": ["d"]}), (swapped, {})]


@pytest.mark.parametrize("shard, options", inconsistent_shards())
def test_inconsistent_shard_data_raises_shard_failure(shard, options):
    with pytest.raises(ShardFailure):
        ShardSearch([shard]).search(np.ones(8, np.float32), limit=4, **options)


def test_unreadable_shard_is_named(tmp_path):
    world = World(3)
    sources = world.shard_files(tmp_path)
    missing = ShardFiles(str(tmp_path / "gone"))
    with pytest.raises(ShardsUnavailable) as e:
        ShardSearch([sources[0], missing])
    assert e.value.shards == (missing.key,)


# --- on a local Dask cluster -----------------------------------------------------------------

distributed = pytest.importorskip("distributed")


@pytest.fixture(scope="module")
def client():
    import cloudpickle

    # The test's own shard sources go to the workers by value.
    cloudpickle.register_pickle_by_value(sys.modules[__name__])
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                       dashboard_address=None, silence_logs=40)
    with cluster, distributed.Client(cluster) as c:
        yield c


def test_cluster_search_equals_one_call_over_all_rows(client, tmp_path):
    def search_for(world):
        folder = tmp_path / f"w{len(list(tmp_path.iterdir()))}"
        return ShardSearch(world.shard_files(folder), client=client)
    check_cases(search_for, seeds=range(200, 206))


def test_cluster_search_keeps_each_shard_open_on_one_worker(client, tmp_path):
    world = World(11)
    search = ShardSearch(world.shard_files(tmp_path), client=client)
    q = world.vector()
    first = search.search(q, limit=5)
    holders = client.who_has(search._runner._futures)
    # the files may go: the workers hold them open
    for source in search._runner._sources:
        for f in Path(source.folder).iterdir():
            f.unlink()
    assert search.search(q, limit=5) == first == world.whole(q, limit=5)
    assert len({w for ws in holders.values() for w in ws}) == 2  # three shards on both workers
    search.close()


class DyingMap(dict):
    """An identifier map whose first lookup from Python kills the worker process while it
    searches, as long as the marker file exists (the marker is removed first)."""

    marker: str = ""

    def __getitem__(self, key):
        if self.marker and os.path.exists(self.marker):
            os.unlink(self.marker)
            os._exit(1)
        return super().__getitem__(key)


class FragileShard:
    """Shard files whose search kills the worker once; `reopen` False makes every later open
    fail, as for a shard on a disk that only the dead worker reached."""

    def __init__(self, files, marker, reopen):
        self.files, self.marker, self.reopen, self.opened = files, marker, reopen, str(marker) + ".opened"

    @property
    def key(self):
        return self.files.key

    def open(self):
        if not self.reopen and os.path.exists(self.opened):
            raise FileNotFoundError(f"{self.files.folder} is not reachable from here")
        Path(self.opened).touch()
        data = self.files.open()
        ids = DyingMap(data.id_to_idx)
        ids.marker = self.marker
        return ShardData(data.matrix, data.ids, ids, data.timestamps, data.mask)


@pytest.mark.parametrize("reopen", [True, False])
def test_worker_killed_mid_search(client, tmp_path, reopen):
    world = World(21)
    files = world.shard_files(tmp_path / "shards")
    marker = tmp_path / "kill"
    shards = [files[0], FragileShard(files[1], str(marker), reopen), files[2]]
    client.wait_for_workers(2)  # the worker killed by the previous case may still be starting
    search = ShardSearch(shards, client=client)
    q = world.vector()
    marker.touch()
    if reopen:
        assert search.search(q, limit=8, diverse=True) == world.whole(q, limit=8, diverse=True)
        assert not marker.exists()  # the worker did die
    else:
        with pytest.raises(ShardsUnavailable) as e:
            search.search(q, limit=8)
        assert e.value.shards == (files[1].key,) and not marker.exists()
    search.close()


class HeldData:
    """A source that hands the workers data built here."""

    def __init__(self, data, key):
        self.data, self.key = data, key

    def open(self):
        return self.data


@pytest.mark.parametrize("shard, options", inconsistent_shards()[1:])
def test_shard_failure_on_a_worker_reaches_the_caller(client, shard, options):
    search = ShardSearch([HeldData(shard, "bad")], client=client)
    with pytest.raises(ShardFailure):
        search.search(np.ones(8, np.float32), limit=4, **options)
    with pytest.raises(ValueError, match="Query vector dimension 7"):  # a caller's mistake, as it is
        search.search(np.ones(7, np.float32))
    search.close()


# --- sharded collections ---------------------------------------------------------------------

from quorvel import (Collection, CollectionError, Document, Embedder, LsaEmbedder, QueryError,  # noqa: E402
                     QueryWarning, ShardedCollection)
from quorvel.collection import rows_by_document  # noqa: E402
from quorvel.filters import compile_filter  # noqa: E402
from quorvel.sharded import PENDING_NAME, shard_of  # noqa: E402

WORDS = [f"w{i}" for i in range(150)]


class WordVectors(Embedder):
    """Each word a seeded random vector, a text the sum of its words': distinct documents get
    distinct vectors, so results have no exact ties."""

    dim = 24

    def embed(self, texts):
        out = np.zeros((len(texts), self.dim), np.float32)
        for i, text in enumerate(texts):
            for word in text.split():
                seed = int.from_bytes(word.encode()[:8].ljust(8, b"\0"), "little")
                out[i] += np.random.default_rng(seed).standard_normal(self.dim).astype(np.float32)
        return out


def corpus(seed, n):
    rng = np.random.default_rng(seed)
    now = time.time()
    docs = []
    for i in range(n):
        text = " ".join(rng.choice(WORDS, int(rng.integers(3, 12))))
        if i % 5 == 0:  # a document of several passages, led by its first sentence
            text = "\n\n".join(" ".join(rng.choice(WORDS, int(rng.integers(40, 80)))) + "."
                               for _ in range(int(rng.integers(2, 4))))
        # ages a float32 step below a float32 day count: stable while a test runs (see World)
        age = np.float32(rng.uniform(4096, 16384))
        ts = now - (float(age) - float(np.spacing(age)) / 8) * 86400.0 if rng.random() < 0.7 else None
        docs.append(Document(f"doc{seed}-{i}", text, ts))
    return docs


SEARCHES = [("w1 w2 w3", None, {}), ("w4", "limit:3", {}), ("w5 w6", "diverse limit:4", {}),
            ("w7", "recent:300 limit:6", {}), ("w8 w9", "unlike:w10 limit:5", {}),
            ("w11", "from: w12 w13 to: w14 limit:5", {}), ("w15", "limit:7", {"threshold": 0.05}),
            ("w16 w17", "diverse", {"oversample": 6, "mmr_lambda": 0.5})]


def outcome(collection, text, mods, **options):
    """A search's results and its query warnings (with where they point), or a strict one's
    QueryError notes."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            found = collection.search(text, mods, **options)
        except QueryError as e:
            return "refused", e.notes
    return found, [(str(w.message), w.filename) for w in caught if w.category is QueryWarning]


def same_results(sharded, single, docs, lexical=(False, True)):
    liked = [docs[0].id, docs[1].id, docs[2].id]
    searches = SEARCHES + [("w18", f"like:{','.join(liked)} limit:5", {}),
                           ("", "limit:4", {"like_ids": liked[::-1]}),
                           ("w19", "limit:5", {"pre_filter_ids": [d.id for d in docs[::3]]}),
                           ("w20 doc1", "like:nobody limit:3", {})]
    noted = [("w1 w2", "limit:4 bogus limit:x recent:0", {}), ("zzz", "limit:3", {}),
             ("zzz w2", f"like:nobody,{docs[0].id} limit:3", {}), ("", "limit:3", {})]
    for fused in lexical:
        for text, mods, overrides in searches + noted:
            for passages in (False, True):
                expected = outcome(single, text, mods, lexical=fused, passages=passages, **overrides)
                found = outcome(sharded, text, mods, lexical=fused, passages=passages, **overrides)
                assert found == expected, (fused, passages, text, mods)
                assert all(where == __file__ for _, where in found[1])  # the caller's line
            assert expected[0] or (text, mods, overrides) in noted
            strict = outcome(single, text, mods, lexical=fused, strict=True, **overrides)
            assert outcome(sharded, text, mods, lexical=fused, strict=True, **overrides) == strict
            assert (strict[0] == "refused") == bool(expected[1])
        assert outcome(sharded, "", "limit:3", lexical=fused)[0] == []  # nothing to steer by
        assert all(outcome(sharded, t, m, lexical=fused, **o)[1] for t, m, o in noted[::2])


@pytest.mark.parametrize("on_cluster", [False, True], ids=["in process", "on a cluster"])
def test_sharded_collection_searches_as_one_collection(tmp_path, request, on_cluster):
    client = request.getfixturevalue("client") if on_cluster else None
    docs = corpus(1, 120)
    with (Collection.create(tmp_path / "one", docs, embedder=WordVectors()) as single,
          ShardedCollection.create(tmp_path / "sharded", docs, shards=3, embedder=WordVectors(),
                                   client=client) as sharded):
        assert len(sharded) == len(docs) and sharded.shards == 3
        same_results(sharded, single, docs)
        more = [Document(d.id, d.text, d.timestamp, {"batch": 2}) for d in corpus(2, 30)]
        gone = [d.id for d in docs[5:40:3]]
        for c in (single, sharded):
            assert c.add(more + [Document(docs[0].id, "w1 w1 w2")]) == (30, 1)
            assert c.remove(gone + ["nobody"]) == len(gone)
        assert len(sharded) == len(single) and docs[5].id not in sharded and more[0].id in sharded
        # both count the live rows alone in the BM25 statistics
        same_results(sharded, single, [Document(docs[0].id, ""), *more])
    with ShardedCollection.open(tmp_path / "sharded", embedder=WordVectors(), client=client) as again:
        assert len(again) == 120 + 30 - len(gone)
        assert again.get(more[1].id) == more[1]


@pytest.mark.parametrize("on_cluster", [False, True], ids=["in process", "on a cluster"])
def test_sharded_collection_filters_as_one_collection(tmp_path, request, monkeypatch, on_cluster):
    client = request.getfixturevalue("client") if on_cluster else None
    docs = [Document(d.id, d.text, d.timestamp, {"batch": i % 3, "tags": ["odd"] if i % 2 else []})
            for i, d in enumerate(corpus(4, 90))]
    kept = [d for i, d in enumerate(docs) if i not in (1, 4)]  # one collection without tombstones
    with (Collection.create(tmp_path / "one", kept, embedder=WordVectors()) as single,
          ShardedCollection.create(tmp_path / "sharded", docs, shards=3, embedder=WordVectors(),
                                   client=client) as sharded):
        sharded.remove([docs[1].id, docs[4].id])
        filters = [{"batch": 1}, {"tags": {"$contains": "odd"}, "batch": {"$ne": 2}},
                   {"$or": [{"batch": 0}, {"tags": {"$exists": False}}]}, {"batch": 7}]
        searches = [("w1 w2 w3", None, {}), ("w5 w6", "diverse limit:4", {}),
                    ("w7", f"like:{docs[0].id},{docs[3].id} limit:6", {}),
                    ("w8 w9", "recent:300 unlike:w10 limit:5", {"threshold": 0.01}),
                    ("w11", "limit:5", {"pre_filter_ids": [d.id for d in docs[::2]]})]
        expected = {(i, j, fused): single.search(text, mods, where=where, lexical=fused, **overrides)
                    for i, where in enumerate(filters) for j, (text, mods, overrides) in enumerate(searches)
                    for fused in (False, True)}
        assert all(r.metadata["batch"] == 1 for j in range(len(searches)) for r in expected[0, j, True])
        assert sum(map(len, expected.values())) > 80
        if on_cluster:  # the workers answer the filter: this process computes no mask
            monkeypatch.setattr(Collection, "_selected_rows", None)
        for (i, j, fused), want in expected.items():
            text, mods, overrides = searches[j]
            for given in (filters[i], compile_filter(filters[i])):  # a mapping or a compiled filter
                got = sharded.search(text, mods, where=given, lexical=fused, **overrides)
                assert got == want, (filters[i], text, mods, fused)
        with pytest.raises(ValueError, match="nope"):
            sharded.search("w1", where={"batch": {"$nope": 1}})
        # a filter follows changes: metadata changed by another handle is seen by the workers
        with ShardedCollection.open(tmp_path / "sharded", embedder=WordVectors()) as other:
            other.add([Document(docs[2].id, docs[2].text, docs[2].timestamp, {"batch": 7})])
        assert [r.id for r in sharded.search(docs[2].text, where={"batch": 7})] == [docs[2].id]


@pytest.mark.parametrize("shards", [2, 5])
def test_fused_search_with_bm25_ties_at_the_pool_edge_is_one_collections(tmp_path, shards):
    rng = np.random.default_rng(shards)
    # a few words over many short documents: hundreds of rows share each BM25 score
    docs = [(f"t{i}", " ".join(rng.choice(WORDS[:6], int(rng.integers(1, 4))))) for i in range(700)]
    with (Collection.create(tmp_path / "one", docs, embedder=WordVectors()) as single,
          ShardedCollection.create(tmp_path / "sharded", docs, shards=shards, embedder=WordVectors()) as sharded):
        for text, mods in (("w1", "limit:8"), ("w2 w3", "diverse limit:6"), ("w0 w4 w5", "limit:30")):
            assert sharded.search(text, mods) == single.search(text, mods), (text, mods)


def test_bm25_statistics_are_asked_of_the_shards_once_per_generation_and_term(tmp_path, monkeypatch):
    asked = []
    real = ShardSearch.term_stats
    monkeypatch.setattr(ShardSearch, "term_stats", lambda self, terms: asked.append(list(terms)) or real(self, terms))
    with ShardedCollection.create(tmp_path, corpus(7, 60), shards=3, embedder=WordVectors()) as c:
        first = c.search("w1 w2", "limit:5")
        assert c.search("w2 w1", "limit:5") and asked == [["w1", "w2"]]
        c.search("w2 w3")
        assert asked[-1] == ["w3"]
        c.add([("new", "w1 w1 w2")])
        assert c.search("w1 w2", "limit:5") != first and asked[-1] == ["w1", "w2"]


def test_sharded_collection_follows_changes_made_by_another_handle(client, tmp_path):
    docs = corpus(3, 40)
    with (ShardedCollection.create(tmp_path, docs, shards=2, embedder=WordVectors(),
                                   client=client) as remote,
          ShardedCollection.open(tmp_path, embedder=WordVectors()) as local):
        new = Document("fresh", "w1 w2 w3 w4 w5 w6")
        local.add([new])
        assert remote.search("w1 w2 w3 w4 w5 w6", "limit:1")[0].id == "fresh"
        local.remove(["fresh"])
        assert "fresh" not in {r.id for r in remote.search("w1 w2 w3 w4 w5 w6")}


def test_documents_are_placed_by_a_hash_that_every_process_shares(tmp_path):
    ids = [f"doc-{i}" for i in range(50)]
    here = [shard_of(d, 7) for d in ids]
    code = f"from quorvel.sharded import shard_of; print([shard_of(d, 7) for d in {ids!r}])"
    for seed in ("1", "2"):
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True,
                             env={**os.environ, "PYTHONHASHSEED": seed}).stdout
        assert eval(out) == here
    assert len(set(here)) == 7
    with ShardedCollection.create(tmp_path / "c", [(d, "w1 w2") for d in ids], shards=7,
                                  embedder=WordVectors()) as c:
        for k in range(7):
            shard = Collection.open(tmp_path / "c" / f"shard-{k:03d}", embedder=c._shards[k]._embedder)
            assert sorted(shard.ids) == sorted(d for d, s in zip(ids, here) if s == k)
            shard.close()
    inside = tmp_path / "c"
    assert all(p.resolve().is_relative_to(inside.resolve()) for p in inside.rglob("*"))


def test_sharded_collection_refuses_bad_requests(tmp_path):
    with pytest.raises(ValueError):
        ShardedCollection.create(tmp_path / "a", [("a", "w1")], shards=0, embedder=WordVectors())
    with pytest.raises(ValueError, match="learns from the documents"):
        ShardedCollection.create(tmp_path / "b", [], shards=2, embedder=LsaEmbedder())
    with ShardedCollection.create(tmp_path / "c", [("a", "w1")], shards=2, embedder=WordVectors()) as c:
        with pytest.raises(TypeError):
            c.search("w1", mask=[True])
        with pytest.raises(ValueError):
            c.add([("", "no id")])
        assert len(c) == 1
    with pytest.raises(FileExistsError):
        ShardedCollection.create(tmp_path / "c", [("a", "w1")], shards=2, embedder=WordVectors())
    with pytest.raises(FileNotFoundError):
        ShardedCollection.open(tmp_path / "nothing")


def test_change_interrupted_between_shards_is_completed_at_open(tmp_path):
    docs = [(f"d{i}", f"w{i} w{i + 1}") for i in range(20)]
    with ShardedCollection.create(tmp_path, docs[:10], shards=3, embedder=WordVectors()) as c:
        pass
    # a crash after the change was written down, before (some) shards applied it
    (tmp_path / PENDING_NAME).write_text(json.dumps({"add": [[d, t, None, {"n": 1}] for d, t in docs[10:]]}))
    with ShardedCollection.open(tmp_path, embedder=WordVectors()) as c:
        assert len(c) == 20 and not (tmp_path / PENDING_NAME).exists()
        assert c.get("d15").metadata == {"n": 1}


def test_default_embedder_is_shared_by_every_shard(tmp_path):
    docs = [(f"d{i}", f"{WORDS[i]} {WORDS[i + 1]} {WORDS[i + 2]} common") for i in range(40)]
    with ShardedCollection.create(tmp_path / "s", docs, shards=3) as sharded, \
            Collection.create(tmp_path / "one", docs) as single:
        assert sharded.embedder.identity == single.embedder.identity
        assert sharded.search("w3 w4", "limit:5") == single.search("w3 w4", "limit:5")
    with ShardedCollection.open(tmp_path / "s") as again:
        again.add([("new", "w3 w4 w5")])
        assert again.search("w3 w4", "limit:1")[0].id in {"new", "d3", "d2"}


def test_sharded_collection_trusts_nothing_read_from_its_folder(tmp_path):
    keep = tmp_path / "busy" / "shard-001"
    keep.mkdir(parents=True)
    with pytest.raises(FileExistsError):  # someone else's folder is neither used nor removed
        ShardedCollection.create(tmp_path / "busy", [("a", "w1")], shards=2, embedder=WordVectors())
    assert keep.is_dir() and not (tmp_path / "busy" / "shard-000").exists()
    folder = tmp_path / "c"
    ShardedCollection.create(folder, [("a", "w1"), ("b", "w2")], shards=2, embedder=WordVectors()).close()
    for damage in ('{"add": [["", "empty id", null]]}', '{"remove": [1, 2]}', "[]", "{"):
        (folder / PENDING_NAME).write_text(damage)
        with pytest.raises(CollectionError):
            ShardedCollection.open(folder, embedder=WordVectors())
    (folder / PENDING_NAME).unlink()
    (folder / "shard-001").rename(tmp_path / "elsewhere")
    (folder / "shard-001").symlink_to(tmp_path / "elsewhere")
    with pytest.raises(CollectionError, match="symbolic link"):
        ShardedCollection.open(folder, embedder=WordVectors())


# --- changes are made in every shard or in none ----------------------------------------------

import errno  # noqa: E402

import quorvel.collection as collection_module  # noqa: E402
import quorvel.sharded as sharded_module  # noqa: E402
from quorvel.storage import MatrixFile  # noqa: E402


def ids_in_shard(k, shards, count, prefix):
    """`count` identifiers that the hash places in shard k."""
    out = (f"{prefix}{i}" for i in range(10_000))
    return [d for d in out if shard_of(d, shards) == k][:count]


def stored(folder):
    """Every shard's documents as read by a new handle (which completes or undoes a change
    written down), the vectors of each document's rows, and the handle's answers to a few
    searches."""
    with ShardedCollection.open(folder, embedder=WordVectors()) as c:
        shards = [sorted((d.id, d.text, d.timestamp, json.dumps(d.metadata, sort_keys=True))
                         for d in s.documents()) for s in c._shards]
        vectors = {}
        for s in c._shards:
            snap = s.snapshot()
            for doc_id, rows in rows_by_document(snap.ids).items():
                vectors[doc_id] = snap.matrix[rows].tobytes()
        found = [c.search(q, "limit:6", lexical=fused) for q in ("w1 w2", "w3 w40 w41", "w7")
                 for fused in (False, True)]
    return shards, vectors, found


def modelled(docs, documents=(), remove=()):
    """The documents after an update, as `Collection.update` makes it: the last of several items
    with one identifier wins, removing one also given keeps it."""
    out = {d.id: d for d in docs}
    given = {d.id: d for d in documents}
    for doc_id in remove:
        if doc_id not in given:
            out.pop(doc_id, None)
    out.update(given)
    return out


def a_change(shards):
    """Documents over every shard, and a change that adds, replaces (text, metadata, time) and
    removes documents in every shard."""
    docs, documents, remove = [], [], []
    for k in range(shards):
        ids = ids_in_shard(k, shards, 8, "d")
        docs += [Document(d, f"w{i} w{i + 1} w{2 * i}", 1.7e9 + i, {"k": k}) for i, d in enumerate(ids)]
        documents += [Document(f"{ids[0]}-new", "w40 w41", None, {"new": True}),
                      Document(ids[1], "w3 w40 w41", 1.7e9), Document(ids[2], docs[-6].text, 1.7e9 + 2, {"k": True}),
                      Document(ids[3], docs[-5].text, 1.6e9, {"k": k})]
        remove += [ids[4], ids[5], ids[1], "nobody"]
    return docs, documents, remove


class Fault:
    """Counts the calls of the functions it wraps, all together, and raises `error` at the calls
    numbered `at` (1-based)."""

    def __init__(self, at=(), error=None):
        self.at, self.error, self.calls = set(at), error, 0

    def wrap(self, real):
        def faulty(*args, **kwargs):
            self.calls += 1
            if self.calls in self.at:
                raise self.error
            return real(*args, **kwargs)
        return faulty

    def patch(self, monkeypatch, target, *names):
        for name in names:
            monkeypatch.setattr(target, name, self.wrap(getattr(target, name)))
        return self


FULL_DISK = OSError(errno.ENOSPC, "No space left on device")


@pytest.mark.parametrize("shards", [1, 3])
@pytest.mark.parametrize("site, kind", [("commit", "update"), ("commit", "add"), ("commit", "remove"),
                                        ("matrix", "update"), ("matrix", "add")])
def test_a_change_refused_by_any_shard_leaves_every_shard_as_it_was(tmp_path, monkeypatch, shards, site, kind):
    docs, documents, remove = a_change(shards)
    if kind == "add":
        remove = []
    elif kind == "remove":
        documents = []
    folder = tmp_path / "c"
    ShardedCollection.create(folder, docs, shards=shards, embedder=WordVectors()).close()
    before = stored(folder)
    # the shards' writes in turn: the first, a middle one and the last one refuse
    for at in sorted({1, 2, shards} & set(range(1, shards + 1))):
        with monkeypatch.context() as m, ShardedCollection.open(folder, embedder=WordVectors()) as c:
            fault = Fault([at], FULL_DISK)
            if site == "commit":
                fault.patch(m, collection_module, "_before_commit")
            else:  # appending to a shard's matrix file, or writing a new one
                fault.patch(m, MatrixFile, "append", "create")
            with pytest.raises(OSError, match="No space left"):
                c.update(documents, remove=remove)
            assert fault.calls >= at + at - 1  # the shards before put back
            assert not (folder / PENDING_NAME).exists()
            assert c.get(documents[0].id if documents else remove[0]) == (
                None if documents else next(d for d in docs if d.id == remove[0]))
        assert stored(folder) == before, at
    with ShardedCollection.open(folder, embedder=WordVectors()) as c:
        made = c.update(documents, remove=remove)
    expected = modelled(docs, documents, remove)
    with ShardedCollection.open(folder, embedder=WordVectors()) as c:
        assert len(c) == len(expected) and all(c.get(d) == doc for d, doc in expected.items())
        assert made.added == len(expected.keys() - {d.id for d in docs})
    assert stored(folder) != before


def refusing_boom(texts):
    if any("boom" in t.split() for t in texts):
        raise RuntimeError("embedder failed")
    return WordVectors().embed(texts)


@pytest.mark.parametrize("bad, error", [
    (Document("z-last", "w1 boom"), RuntimeError),  # the embedder fails on the last document
    (("z-last", "w1", None, {"$bad": 1}), ValueError),  # metadata that cannot be stored
    (("", "no identifier"), ValueError),
])
def test_a_change_that_fails_before_any_shard_writes_nothing(tmp_path, monkeypatch, bad, error):
    docs, documents, remove = a_change(3)
    folder = tmp_path / "c"
    ShardedCollection.create(folder, docs, shards=3, embedder=WordVectors()).close()
    before = stored(folder)
    with ShardedCollection.open(folder, embedder=WordVectors()) as c:
        monkeypatch.setattr(c.embedder, "embed", refusing_boom)
        generations = [s.generation for s in c._shards]
        writes = Fault().patch(monkeypatch, sharded_module, "_write_json")
        with pytest.raises(error):
            c.update([*documents, bad], remove=remove)
        assert writes.calls == 0 and [s.generation for s in c._shards] == generations
    assert stored(folder) == before


def test_a_shard_that_cannot_be_put_back_is_put_back_by_the_next_handle(tmp_path, monkeypatch):
    docs, documents, remove = a_change(3)
    folder = tmp_path / "c"
    ShardedCollection.create(folder, docs, shards=3, embedder=WordVectors()).close()
    before = stored(folder)
    # the second shard refuses its part, then the first refuses to be put back
    Fault([2, 3], FULL_DISK).patch(monkeypatch, collection_module, "_before_commit")
    with ShardedCollection.open(folder, embedder=WordVectors()) as c:
        with pytest.raises(OSError) as e:
            c.update(documents, remove=remove)
        assert "the next handle" in "".join(e.value.__notes__)
    assert json.loads((folder / PENDING_NAME).read_text())["back"] is True
    monkeypatch.undo()
    assert stored(folder) == before and not (folder / PENDING_NAME).exists()


@pytest.mark.parametrize("at", [1, 2, 3])
def test_a_change_interrupted_by_a_crash_is_completed_as_one_change(tmp_path, monkeypatch, at):
    docs, documents, remove = a_change(3)
    folder = tmp_path / "c"
    ShardedCollection.create(folder, docs, shards=3, embedder=WordVectors()).close()
    Fault([at], KeyboardInterrupt()).patch(monkeypatch, collection_module, "_before_commit")
    c = ShardedCollection.open(folder, embedder=WordVectors())
    with pytest.raises(KeyboardInterrupt):
        c.update(documents, remove=remove)
    c.close()
    monkeypatch.undo()
    assert json.loads((folder / PENDING_NAME).read_text())["back"] is False
    expected = modelled(docs, documents, remove)
    with ShardedCollection.open(folder, embedder=WordVectors()) as c:
        assert not (folder / PENDING_NAME).exists()
        assert len(c) == len(expected) and all(c.get(d) == doc for d, doc in expected.items())


def test_batches_with_repeated_identifiers_and_empty_shards(tmp_path, monkeypatch):
    folder = tmp_path / "c"
    first, second = ids_in_shard(3, 5, 1, "a") + ids_in_shard(4, 5, 1, "a")  # shards 0-2 empty
    with ShardedCollection.create(folder, [(first, "w1 w2")], shards=5, embedder=WordVectors()) as c, \
            Collection.create(tmp_path / "one", [(first, "w1 w2")], embedder=WordVectors()) as one:
        batch = [(second, "w5"), (first, "w3"), (second, "w6 w7", None, {"v": 2}), (first, "w3", 5.0)]
        for target in (c, one):  # the last item of an identifier wins
            assert target.add(batch) == (1, 1)
        assert c.get(second) == one.get(second) == Document(second, "w6 w7", None, {"v": 2})
        assert c.get(first) == one.get(first) == Document(first, "w3", 5.0)
        assert c.search("w6 w7", lexical=False) == one.search("w6 w7", lexical=False)
        writes = Fault([1], OSError("never written")).patch(monkeypatch, sharded_module, "_write_json")
        assert c.add([]) == (0, 0) and c.remove([]) == 0 and c.update() == (0, 0, 0)
        assert c.remove(["nobody", "w1"]) == 0 and writes.calls == 0  # nothing to do: nothing written
        with pytest.raises(OSError, match="never written"):  # a change that cannot be written down
            c.add([("fresh", "w9")])
        monkeypatch.undo()
        # an empty shard that refuses its first documents is left empty
        newcomers = [(i, "w8") for i in ids_in_shard(0, 5, 2, "b") + ids_in_shard(1, 5, 2, "b")]
        Fault([2], FULL_DISK).patch(monkeypatch, MatrixFile, "create", "append")
        with pytest.raises(OSError):
            c.add(newcomers)
        assert len(c) == 2 and [len(s) for s in c._shards] == [0, 0, 0, 1, 1]


# --- the shards' BM25 term tables are saved by the writer, only read by searchers ------------

from quorvel.sharded import CollectionShard  # noqa: E402


def tokenised_rows(monkeypatch):
    """Counts the texts a collection tokenises for its rows (the sharded search tokenises its
    query elsewhere)."""
    counted = []
    real = collection_module.tokenize
    monkeypatch.setattr(collection_module, "tokenize", lambda texts: counted.append(len(texts)) or real(texts))
    return counted


def read_only_terms(folder, shards):
    """Each shard's BM25 terms as a fresh read-only handle finds them (as a worker opens it)."""
    embedder = WordVectors()
    found = []
    for k in range(shards):
        shard = CollectionShard(str(folder / f"shard-{k:03d}"), embedder.identity, embedder.dim).open()
        data, terms = shard.with_terms()
        found.append((terms.rows, terms.stats(["w1", "w2", "w7"])))
    return found


STARTING = [(f"d{i}", f"w{i % 50} w{(i * 7) % 50} w{i % 3}") for i in range(60)]
# appends six rows (four new documents, two new texts), tombstones three: no compaction
CHANGE = {"documents": [(f"n{i}", f"w{i} w7 w1") for i in range(4)] + [("d1", "w7 w8"), ("d2", "w9")],
          "remove": ["d3", "nobody"]}


def test_sharded_changes_leave_the_term_tables_saved_for_read_only_shards(tmp_path, monkeypatch):
    folder = tmp_path / "c"
    counted = tokenised_rows(monkeypatch)
    with ShardedCollection.create(folder, STARTING, shards=3, embedder=WordVectors()) as c:
        assert sum(counted) == len(STARTING)
        counted.clear()
        read_only_terms(folder, 3)
        assert counted == []
        c.update(**CHANGE)
        c.add([("d1", "w7 w7 w1"), ("fresh", "w1 w2 w7")])
        assert sum(counted) == 6 + 2  # the rows each change appended, no more
        expected = c.search("w1 w7", "limit:8")
        counted.clear()
        found = read_only_terms(folder, 3)
        assert counted == []
    with ShardedCollection.open(folder, embedder=WordVectors()) as again:
        assert again.search("w1 w7", "limit:8") == expected and counted == []
    monkeypatch.undo()
    assert_terms_made_again_alike(folder, found)


def assert_terms_made_again_alike(folder, found):
    """The shards' terms made again from their rows, with no saved table, equal `found`."""
    for terms in folder.glob("shard-*/*.terms.*"):
        terms.unlink()
    assert read_only_terms(folder, 3) == found


def test_term_tables_missed_by_a_crash_are_followed_from_the_latest_saved(tmp_path, monkeypatch):
    folder = tmp_path / "c"
    ShardedCollection.create(folder, STARTING, shards=3, embedder=WordVectors()).close()
    with ShardedCollection.open(folder, embedder=WordVectors()) as c:
        monkeypatch.setattr(ShardedCollection, "_save_terms", lambda self: None)
        c.update(**CHANGE)  # a crash after the commit, before the tables were brought up to date
        monkeypatch.undo()
    counted = tokenised_rows(monkeypatch)
    read_only_terms(folder, 3)  # a reader follows the tables saved before
    assert sum(counted) == 6
    with ShardedCollection.open(folder, embedder=WordVectors()) as c:
        counted.clear()
        c.add([("fresh", "w1 w2 w7")])  # the next change saves what was missed
        assert sum(counted) == 6 + 1
        counted.clear()
        found = read_only_terms(folder, 3)
        assert counted == []
    monkeypatch.undo()
    assert_terms_made_again_alike(folder, found)


def test_a_committed_change_stands_when_its_term_tables_cannot_be_saved(tmp_path, monkeypatch):
    folder = tmp_path / "c"
    ShardedCollection.create(folder, STARTING, shards=3, embedder=WordVectors()).close()
    with ShardedCollection.open(folder, embedder=WordVectors()) as c:
        def refuse(self):
            raise RuntimeError("no room for the tables")
        monkeypatch.setattr(Collection, "lexical_index", refuse)
        with pytest.warns(RuntimeWarning, match="BM25 terms not saved .no room for the tables."):
            c.add([("fresh", "w1 w2 w7")])
        monkeypatch.undo()
        assert c.get("fresh").text == "w1 w2 w7"
        assert "fresh" in [r.id for r in c.search("w1 w2 w7", "limit:5")]


def count_row_tokenising(start):
    """Run on each worker: counts the texts collections tokenise there from `start` (True) on,
    and with False puts the tokenizer back and returns the counts."""
    import quorvel.collection as module

    real = getattr(module, "_untouched_tokenize", module.tokenize)
    if not start:
        module.tokenize = real
        return getattr(module, "_counted", [])
    module._untouched_tokenize, module._counted = real, []
    module.tokenize = lambda texts: module._counted.append(len(texts)) or real(texts)
    return []


def test_workers_load_the_saved_term_tables_of_a_changed_collection(client, tmp_path):
    folder = tmp_path / "c"
    with ShardedCollection.create(folder, STARTING, shards=3, embedder=WordVectors()) as c:
        c.update(**CHANGE)  # the writer never searches
    client.run(count_row_tokenising, True)
    try:
        with ShardedCollection.open(folder, embedder=WordVectors(), client=client) as c:
            found = c.search("w1 w7", "limit:8")
    finally:
        counted = client.run(count_row_tokenising, False)
    assert len(counted) == 2 and all(c == [] for c in counted.values())
    with ShardedCollection.open(folder, embedder=WordVectors()) as c:
        assert c.search("w1 w7", "limit:8") == found
