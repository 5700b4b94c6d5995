"""Sharded search on a local Dask cluster against one in-process call and against FAISS, every
figure measured in this one run.

    python bench/sharded.py [--rows 1000000] [--shards 2] [--workers 2] [--rounds 9]

The corpus (rows x 384 float32 unit rows) is written as `--shards` shard files under
build/bench/shards, which the workers of a LocalCluster (`--workers` processes x 1 thread)
memory-map once and keep open. Measured, interleaved, medians of `--rounds` rounds:

- sharded: `ShardSearch(..., client=client).search(q, limit=10)` (and diverse, and with like_ids);
- one call: `_quorvel.score_candidates` over the whole matrix in this process (one core);
- FAISS: `IndexFlatIP.search` with as many threads as the machine has, and with one;
- the fixed cost of a sharded search: the same searches over two shards of 500 rows;
- the same for collections: `ShardedCollection.search` over two shards of 500 short documents,
  by meaning (`lexical=False`) and fused with BM25 (two round trips), against `Collection.search`.

It also prints the workers' memory and the bytes that go over the network per search. Results
are checked against each other in the run; nothing fails on timing.
"""

from __future__ import annotations

import argparse
import os
import pickle
import platform
import random
import shutil
import statistics
import sys
import time
from pathlib import Path

import numpy as np

import _quorvel
from quorvel import Collection, LsaEmbedder, ShardedCollection
from quorvel.sharding import ShardSearch, shard_candidates, write_shard_files

sys.path.insert(0, str(Path(__file__).resolve().parent))
from run import unit_rows  # noqa: E402

DIMS = 384
LIMIT = 10
HERE = Path(__file__).resolve().parent
SHARD_DIR = HERE.parent / "build" / "bench" / "shards"


def timed_rounds(measures, rounds, seed=0):
    """Runs every measure once a round, in a shuffled order, `rounds` times after a warm-up
    round; returns each one's (median, fastest) seconds. The machine is shared: the fastest round
    shows what the code does when its processes get their cores, the median what a user sees."""
    names = list(measures)
    for name in names:
        measures[name]()
    times = {name: [] for name in names}
    order = random.Random(seed)
    for _ in range(rounds):
        order.shuffle(names)
        for name in names:
            t0 = time.perf_counter()
            measures[name]()
            times[name].append(time.perf_counter() - t0)
    return {name: (statistics.median(ts), min(ts)) for name, ts in times.items()}


def cpu_name():
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    return platform.processor()


def build(rows, shards, seed=0):
    rng = np.random.default_rng(seed)
    matrix = np.empty((rows, DIMS), dtype=np.float32)
    step = 100_000
    for a in range(0, rows, step):  # in slices: the temporaries stay small
        matrix[a:a + step] = unit_rows(rng, min(step, rows - a), DIMS)
    ids = [f"doc{i}" for i in range(rows)]
    return matrix, ids, rng


def write_shards(folder, matrix, ids, shards):
    shutil.rmtree(folder, ignore_errors=True)
    bounds = np.linspace(0, len(ids), shards + 1).astype(int)
    return [write_shard_files(folder / f"shard{k}", matrix[a:b], ids[a:b])
            for k, (a, b) in enumerate(zip(bounds[:-1], bounds[1:]))]


def notes(n, seed=2):
    """Short documents of a few words each, for the fixed cost of collections."""
    words = ["river", "boat", "harbour", "bread", "soup", "stars", "engine", "garden", "winter",
             "letter", "market", "bridge", "lamp", "forest", "music", "paper"]
    rng = np.random.default_rng(seed)
    return [(f"note{i}", " ".join(rng.choice(words, int(rng.integers(4, 12))))) for i in range(n)]


def collection_costs(client, rounds):
    """(median, fastest) seconds of sharded and single-collection searches over 1,000 notes."""
    folder = SHARD_DIR / "collections"
    shutil.rmtree(folder, ignore_errors=True)
    docs = notes(1000)
    text = "boat in the harbour"
    with (ShardedCollection.create(folder / "sharded", docs, shards=2, embedder=LsaEmbedder(),
                                   client=client) as sharded,
          Collection.create(folder / "one", docs, embedder=LsaEmbedder()) as one):
        for fused in (False, True):
            same = sharded.search(text, lexical=fused) == one.search(text, lexical=fused)
            print(f"  sharded collection {'fused' if fused else 'semantic'} result "
                  f"{'equals' if same else 'DIFFERS FROM'} one collection's")
        return timed_rounds({
            "collections sharded semantic": lambda: sharded.search(text, lexical=False),
            "collections sharded fused": lambda: sharded.search(text),
            "collections one semantic": lambda: one.search(text, lexical=False),
            "collections one fused": lambda: one.search(text),
        }, rounds)


def worker_memory(client):
    import psutil

    def rss():
        mem = psutil.Process().memory_full_info()
        return {"rss": mem.rss, "uss": mem.uss}
    return client.run(rss)


def faiss_one_thread(index, qn):
    import faiss

    faiss.omp_set_num_threads(1)
    try:
        return index.search(qn, LIMIT)
    finally:
        faiss.omp_set_num_threads(os.cpu_count() or 1)


def mb(n):
    return f"{n / 1e6:.1f} MB"


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--rows", type=int, default=1_000_000)
    ap.add_argument("--shards", type=int, default=2)
    ap.add_argument("--workers", type=int, default=2)
    ap.add_argument("--rounds", type=int, default=9)
    args = ap.parse_args()

    import faiss
    from distributed import Client, LocalCluster

    threads = os.cpu_count() or 1
    faiss.omp_set_num_threads(threads)
    print(f"CPU: {cpu_name()}, {threads} vCPUs; Python {platform.python_version()}, "
          f"NumPy {np.__version__}, faiss {faiss.__version__}")
    t0 = time.perf_counter()
    matrix, ids, rng = build(args.rows, args.shards)
    id_to_idx = {d: i for i, d in enumerate(ids)}
    sources = write_shards(SHARD_DIR, matrix, ids, args.shards)
    tiny_matrix, tiny_ids, _ = build(1000, 2, seed=1)
    tiny_sources = write_shards(SHARD_DIR / "tiny", tiny_matrix, tiny_ids, 2)
    tiny_idx = {d: i for i, d in enumerate(tiny_ids)}
    index = faiss.IndexFlatIP(DIMS)
    index.add(matrix)
    print(f"built {args.rows:,} x {DIMS} in {args.shards} shard files and a FAISS index "
          f"in {time.perf_counter() - t0:.1f} s")

    q = rng.standard_normal(DIMS).astype(np.float32)
    qn = (q / np.linalg.norm(q)).reshape(1, -1)
    like = [ids[int(i)] for i in rng.integers(0, args.rows, 3)]
    tiny_like = [tiny_ids[int(i)] for i in rng.integers(0, 1000, 3)]

    with LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                      dashboard_address=None, silence_logs=40) as cluster, Client(cluster) as client:
        t0 = time.perf_counter()
        sharded = ShardSearch(sources, client=client)
        tiny = ShardSearch(tiny_sources, client=client)
        print(f"cluster of {args.workers} processes x 1 thread; shards opened by the workers in "
              f"{time.perf_counter() - t0:.2f} s")

        checks = {
            "plain": (sharded.search(q, limit=LIMIT), _quorvel.score_candidates(matrix, ids, id_to_idx, q, limit=LIMIT)),
            "diverse": (sharded.search(q, limit=LIMIT, diverse=True),
                        _quorvel.score_candidates(matrix, ids, id_to_idx, q, limit=LIMIT, diverse=True)),
            "like": (sharded.search(q, limit=LIMIT, like_ids=like),
                     _quorvel.score_candidates(matrix, ids, id_to_idx, q, limit=LIMIT, like_ids=like)),
        }
        for name, (got, expected) in checks.items():
            print(f"  sharded {name} result {'equals' if got == expected else 'DIFFERS FROM'} one call's")
        _, faiss_rows = index.search(qn, LIMIT)
        same = [ids[i] for i in faiss_rows[0]] == [r["id"] for r in checks["plain"][1]]
        print(f"  FAISS picks {'equal' if same else 'DIFFER FROM'} one call's")

        measures = {
            "sharded plain": lambda: sharded.search(q, limit=LIMIT),
            "sharded diverse": lambda: sharded.search(q, limit=LIMIT, diverse=True),
            "sharded like_ids": lambda: sharded.search(q, limit=LIMIT, like_ids=like),
            "one call plain": lambda: _quorvel.score_candidates(matrix, ids, id_to_idx, q, limit=LIMIT),
            "one call diverse": lambda: _quorvel.score_candidates(matrix, ids, id_to_idx, q, limit=LIMIT, diverse=True),
            "one call like_ids": lambda: _quorvel.score_candidates(matrix, ids, id_to_idx, q, limit=LIMIT, like_ids=like),
            f"FAISS flat ({threads} threads)": lambda: index.search(qn, LIMIT),
            "FAISS flat (1 thread)": lambda: faiss_one_thread(index, qn),
        }
        big = timed_rounds(measures, args.rounds)
        small = timed_rounds({
            "tiny sharded plain": lambda: tiny.search(q, limit=LIMIT),
            "tiny sharded diverse": lambda: tiny.search(q, limit=LIMIT, diverse=True),
            "tiny sharded like_ids": lambda: tiny.search(q, limit=LIMIT, like_ids=tiny_like),
            "tiny one call plain": lambda: _quorvel.score_candidates(tiny_matrix, tiny_ids, tiny_idx, q, limit=LIMIT),
            "tiny one call diverse": lambda: _quorvel.score_candidates(tiny_matrix, tiny_ids, tiny_idx, q, limit=LIMIT, diverse=True),
            "tiny one call like_ids": lambda: _quorvel.score_candidates(tiny_matrix, tiny_ids, tiny_idx, q, limit=LIMIT, like_ids=tiny_like),
        }, args.rounds * 5)

        print(f"\n{args.rows:,} x {DIMS} float32 in {args.shards} shards, {args.workers} worker "
              f"processes x 1 thread; {args.rounds} interleaved rounds; load average "
              f"{os.getloadavg()[0]:.1f} on {threads} vCPUs")
        print(f"  {'':28s} {'median':>8s} {'fastest':>8s}")
        for name, (med, fast) in big.items():
            print(f"  {name:28s} {med * 1e3:8.1f} {fast * 1e3:8.1f} ms")
        faiss_all, faiss_one = big[f"FAISS flat ({threads} threads)"], big["FAISS flat (1 thread)"]
        for kind in ("plain", "diverse", "like_ids"):
            for i, which in ((0, "medians"), (1, "fastest rounds")):
                s, one = big[f"sharded {kind}"][i], big[f"one call {kind}"][i]
                print(f"  sharded {kind}, {which}: {one / s:.2f}x faster than one call, "
                      f"{faiss_all[i] / s:.2f}x than FAISS with {threads} threads, "
                      f"{faiss_one[i] / s:.2f}x than FAISS with 1 (goal >= 1.5x)")
        print(f"\nfixed cost: 2 shards of 500 rows, {args.rounds * 5} rounds (median / fastest)")
        for kind in ("plain", "diverse", "like_ids"):
            (s, s_fast), (one, one_fast) = small[f"tiny sharded {kind}"], small[f"tiny one call {kind}"]
            print(f"  {kind:9s} sharded {s * 1e3:6.2f} / {s_fast * 1e3:6.2f} ms, one call "
                  f"{one * 1e3:6.3f} / {one_fast * 1e3:6.3f} ms: fixed cost {(s - one) * 1e3:.2f} / "
                  f"{(s_fast - one_fast) * 1e3:.2f} ms (goal <= 5 ms)")

        costs = collection_costs(client, args.rounds * 5)
        print(f"\nfixed cost of collections: 2 shards of 500 notes, {args.rounds * 5} rounds "
              "(median / fastest)")
        for kind in ("semantic", "fused"):
            (s, s_fast), (one, one_fast) = costs[f"collections sharded {kind}"], costs[f"collections one {kind}"]
            print(f"  {kind:9s} sharded {s * 1e3:6.2f} / {s_fast * 1e3:6.2f} ms, one collection "
                  f"{one * 1e3:6.2f} / {one_fast * 1e3:6.2f} ms: fixed cost {(s - one) * 1e3:.2f} / "
                  f"{(s_fast - one_fast) * 1e3:.2f} ms")

        request = pickle.dumps((q, {"limit": LIMIT}, LIMIT))
        data = sources[0].open()
        for kind, pool in (("plain (limit 10)", LIMIT), ("diverse (oversample 200)", 200)):
            reply = pickle.dumps(("ok", shard_candidates(data, q, {}, pool)))
            print(f"  bytes per shard and search, {kind}: request {len(request):,}, reply {len(reply):,}")
        for worker, mem in sorted(worker_memory(client).items()):
            print(f"  worker {worker}: RSS {mb(mem['rss'])} (USS {mb(mem['uss'])}; the rest is "
                  f"the shard's memory-mapped file pages)")
        sharded.close()
        tiny.close()


if __name__ == "__main__":
    main()
