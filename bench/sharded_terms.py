"""The first fused search of a fresh process over a sharded collection: with the shards' BM25 term
tables saved by the writer (as `ShardedCollection.create` and its changes leave them) against
without them (every row of every shard tokenised by the searcher), every figure from this run.

    python bench/sharded_terms.py [--docs 30000] [--shards 3] [--rounds 5]

The collection (`--docs` documents of one passage each, the default embedder fitted on them) is
made under build/bench/sharded-terms, changed once (a few hundred documents added and removed),
and copied without its term tables. Each round runs, in a shuffled order, a new Python process
per case that opens the collection and times its first `search(..., lexical=True)`:

- saved: the tables as the writer left them (the search reads them);
- missing: the copy whose tables are removed again before each round (the search makes them from
  every row, as a reader that may not save them does on every start);
- read-only shards: each shard opened read-only, as a worker's actor opens it, its terms taken
  (`CollectionShard(...).open().with_terms()`), with and without the saved tables.

Medians of `--rounds` rounds; nothing fails on timing.
"""

from __future__ import annotations

import argparse
import random
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

from quorvel import ShardedCollection

HERE = Path(__file__).resolve().parent
FOLDER = HERE.parent / "build" / "bench" / "sharded-terms"

FRESH_SEARCH = """
import sys, time
from quorvel import ShardedCollection
t = time.perf_counter()
with ShardedCollection.open(sys.argv[1]) as c:
    assert c.search("river stone light", "limit:10")
print(time.perf_counter() - t)
"""

FRESH_READERS = """
import json, sys, time
from quorvel import ShardedCollection
from quorvel.sharded import CollectionShard
with ShardedCollection.open(sys.argv[1]) as c:
    identity, dim, shards = c.embedder.identity, c.embedder.dim, c.shards
t = time.perf_counter()
for k in range(shards):
    CollectionShard(f"{sys.argv[1]}/shard-{k:03d}", identity, dim).open().with_terms()
print(time.perf_counter() - t)
"""


def corpus(n: int, seed: int = 0) -> list[tuple[str, str]]:
    rnd = random.Random(seed)
    vocabulary = [f"{a}{b}" for a in ("river", "stone", "light", "cloud", "iron", "salt", "glass",
                                      "ember", "moss", "tide") for b in range(400)]
    vocabulary += ["river", "stone", "light"]
    return [(f"d{i}", " ".join(rnd.choices(vocabulary, k=rnd.randint(30, 60)))) for i in range(n)]


def drop_terms(folder: Path) -> None:
    for path in folder.glob("shard-*/*.terms.*"):
        path.unlink()


def run(script: str, folder: Path) -> float:
    out = subprocess.run([sys.executable, "-c", script, str(folder)], check=True,
                         capture_output=True, text=True)
    return float(out.stdout.split()[-1])


def cpu_name() -> str:
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as f:
            return next(line.split(":", 1)[1].strip() for line in f if line.startswith("model name"))
    except (OSError, StopIteration):
        return "unknown CPU"


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--docs", type=int, default=30_000)
    ap.add_argument("--shards", type=int, default=3)
    ap.add_argument("--rounds", type=int, default=5)
    args = ap.parse_args()
    saved, missing = FOLDER / "saved", FOLDER / "missing"
    shutil.rmtree(FOLDER, ignore_errors=True)
    FOLDER.mkdir(parents=True)
    docs = corpus(args.docs)
    t = time.perf_counter()
    with ShardedCollection.create(saved, docs, shards=args.shards) as c:
        made = time.perf_counter() - t
        t = time.perf_counter()
        c.update([(f"n{i}", text) for i, (_, text) in enumerate(corpus(300, seed=1))],
                 remove=[d for d, _ in docs[:200]])
        changed = time.perf_counter() - t
    shutil.copytree(saved, missing)
    cases = {"search, tables saved": (FRESH_SEARCH, saved, False),
             "search, tables missing": (FRESH_SEARCH, missing, True),
             "read-only shards, tables saved": (FRESH_READERS, saved, False),
             "read-only shards, tables missing": (FRESH_READERS, missing, True)}
    times: dict[str, list[float]] = {name: [] for name in cases}
    order = random.Random(0)
    names = list(cases)
    for _ in range(args.rounds):
        order.shuffle(names)
        for name in names:
            script, folder, drop = cases[name]
            if drop:
                drop_terms(folder)
            times[name].append(run(script, folder))
    print(f"CPU: {cpu_name()}; {args.docs} documents in {args.shards} shards; made in {made:.1f} s "
          f"(tables included), a change of 300 added and 200 removed in {changed:.2f} s")
    median = {name: statistics.median(ts) for name, ts in times.items()}
    for name in cases:
        print(f"  {name:34s} {median[name] * 1000:9.1f} ms (median of {args.rounds})")
    for what in ("search", "read-only shards"):
        ratio = median[f"{what}, tables missing"] / median[f"{what}, tables saved"]
        print(f"  {what}: tables missing / saved = {ratio:.1f}x")


if __name__ == "__main__":
    main()
