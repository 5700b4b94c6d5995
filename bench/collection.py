"""What a change to a collection costs, against the size of the collection, in one run.

    python bench/collection.py [--sizes 20000,200000] [--texts 30000] [--rounds 15]

`make bench` runs it after bench/run.py. It times, as medians over rounds in this one process:

- adding 1 document and removing 1 document at 20,000 and 200,000 rows x 384 with a custom
  embedder that looks its vectors up (so the figures are the collection's own cost);
- adding 1 text to a collection of 30,000 texts with the default embedder (fitted once first),
  the first search after it (which brings the BM25 terms along) against the next one, and the
  BM25 terms of a handle opened afresh read from the saved tables against made from every row;
- a search (the `score_candidates` call over the collection's snapshot, limit 10) with 10% of
  the rows tombstoned against the same live documents after `compact()`.

It prints the figures, the ratios and the goals they meet or miss; nothing fails on timing.
"""

from __future__ import annotations

import argparse
import gc
import random
import shutil
import statistics
import subprocess
import tempfile
import time
import zlib
from pathlib import Path

import numpy as np

import _quorvel
from quorvel import Collection, Embedder

DIMS = 384


class TableEmbedder(Embedder):
    """Text 't<i>' embeds to row i of a fixed random matrix; any other text to a vector seeded
    by its checksum. Costs next to nothing, so a change's time is the collection's."""

    dim = DIMS

    def __init__(self, rows: int, seed: int = 0):
        self.table = np.random.default_rng(seed).standard_normal((rows, DIMS), dtype=np.float32)

    def embed(self, texts):
        out = np.empty((len(texts), DIMS), dtype=np.float32)
        for k, text in enumerate(texts):
            if text.startswith("t") and text[1:].isdigit() and int(text[1:]) < len(self.table):
                out[k] = self.table[int(text[1:])]
            else:
                out[k] = np.random.default_rng(zlib.crc32(text.encode())).standard_normal(DIMS)
        return out


def median_ms(fn, rounds: int) -> float:
    fn()  # warm-up
    times = []
    for _ in range(rounds):
        gc.disable()
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
        gc.enable()
    return statistics.median(times) * 1e3


def add_remove(folder: Path, n: int, rounds: int) -> tuple[float, float]:
    emb = TableEmbedder(n + 1)
    with Collection.create(folder, ((f"d{i}", f"t{i}") for i in range(n)), embedder=emb) as c:
        counter = iter(range(10**9))
        added: list[str] = []

        def add_one():
            doc_id = f"new{next(counter)}"
            c.add([(doc_id, f"fresh text {doc_id}")])
            added.append(doc_id)

        def remove_one():
            c.remove([added.pop() if added else f"d{next(counter) % n}"])

        # Alternate so that the row count stays near n and the tombstones stay few.
        add = median_ms(add_one, rounds)
        remove = median_ms(remove_one, rounds)
        return add, remove


WORDS = [f"{a}{b}" for a in ("ka", "lo", "mi", "nu", "pe", "ra", "si", "to", "vu", "ze", "bo", "du")
         for b in ("ran", "mel", "tis", "gor", "pha", "lin", "dex", "quo", "sab", "vet", "nir", "cul",
                   "hom", "ba", "ted", "wic")]


def text(rng: random.Random, words: int = 60) -> str:
    return " ".join(rng.choices(WORDS, weights=[1 / (i + 1) for i in range(len(WORDS))], k=words)
                    + [f"term{rng.randrange(20000)}" for _ in range(words // 6)])


def add_text(folder: Path, n: int, rounds: int) -> tuple[float, float, int, dict[str, float]]:
    rng = random.Random(3)
    docs = [(f"doc{i}", text(rng)) for i in range(n)]
    t0 = time.perf_counter()
    with Collection.create(folder, docs) as c:
        build = time.perf_counter() - t0
        counter = iter(range(10**9))
        add = median_ms(lambda: c.add([(f"added{next(counter)}", text(rng))]), rounds)
        searches = first_searches(c, rng, rounds)
        dim = c.matrix.shape[1]
    searches.update(fresh_terms(folder, rounds))
    return add, build, dim, searches


def first_searches(c: Collection, rng: random.Random, rounds: int) -> dict[str, float]:
    """Median ms of the first search after adding 1 text, and of the search after it."""
    times: dict[str, list[float]] = {"first search": [], "next search": []}
    c.search(" ".join(WORDS[:3]))  # warm-up
    for i in range(rounds):
        c.add([(f"searched{i}", text(rng))])
        query = " ".join(rng.sample(WORDS, 3))
        for name in times:
            t0 = time.perf_counter()
            c.search(query)
            times[name].append(time.perf_counter() - t0)
    return {k: statistics.median(v) * 1e3 for k, v in times.items()}


def fresh_terms(folder: Path, rounds: int) -> dict[str, float]:
    """Median ms of a new handle's BM25 terms: read from the saved tables, and made from every
    row (the saved files moved aside), in alternation."""
    aside = folder.with_name(folder.name + "-terms")
    aside.mkdir()
    times: dict[str, list[float]] = {"terms read": [], "terms made": []}

    def terms(name: str) -> None:
        with Collection.open(folder) as c:
            t0 = time.perf_counter()
            c.lexical_index()
            times[name].append(time.perf_counter() - t0)

    for _ in range(max(rounds // 3, 3)):
        terms("terms read")
        saved = [p for p in folder.iterdir() if ".terms." in p.name]
        for p in saved:
            p.rename(aside / p.name)
        terms("terms made")
        for p in saved:
            (aside / p.name).replace(p)
    shutil.rmtree(aside)
    return {k: statistics.median(v) * 1e3 for k, v in times.items()}


def tombstoned_search(folder: Path, n: int, rounds: int) -> tuple[float, float]:
    emb = TableEmbedder(n)
    with Collection.create(folder, ((f"d{i}", f"t{i}") for i in range(n)), embedder=emb) as c:
        c.remove([f"d{i}" for i in range(0, n, 10)])  # 10% of the rows
        assert c.mask is not None and len(c) == n - n // 10
        before = c.snapshot()
        c.compact()
        after = c.snapshot()
        assert after.mask is None and after.matrix.shape[0] == len(c)
        query = emb.table[1]

        def call(s):
            return lambda: _quorvel.score_candidates(s.matrix, s.ids, s.id_to_idx, query,
                                                     timestamps=s.timestamps, mask=s.mask, limit=10)

        picks = [r["id"] for r in call(before)()]
        assert picks == [r["id"] for r in call(after)()], "tombstones changed the picks"
        measures = {"tombstoned": call(before), "compacted": call(after)}
        times = {k: [] for k in measures}
        order = random.Random(1)
        for _ in range(rounds):
            names = list(measures)
            order.shuffle(names)
            for name in names:
                t0 = time.perf_counter()
                measures[name]()
                times[name].append(time.perf_counter() - t0)
        return (statistics.median(times["tombstoned"]) * 1e3, statistics.median(times["compacted"]) * 1e3)


def cpu() -> str:
    try:
        out = subprocess.run(["lscpu"], capture_output=True, text=True).stdout
        fields = dict(line.split(":", 1) for line in out.splitlines() if ":" in line)
        return (f"{fields.get('Model name', '?').strip()} (family {fields.get('CPU family', '?').strip()}, "
                f"model {fields.get('Model', '?').strip()}), {fields.get('CPU(s)', '?').strip()} CPUs")
    except OSError:
        return "?"


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--sizes", default="20000,200000")
    ap.add_argument("--texts", type=int, default=30000)
    ap.add_argument("--rounds", type=int, default=15)
    ap.add_argument("--dir", default=None, help="scratch folder (default: a temporary one)")
    args = ap.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]
    scratch = Path(tempfile.mkdtemp(prefix="quorvel-bench-", dir=args.dir))
    try:
        print("# Collection changes\n")
        print(f"Machine: {cpu()}; scratch folder {scratch}. Medians of {args.rounds} rounds.\n")
        print("| rows x 384 (custom embedder) | add 1 ms | remove 1 ms |")
        print("|---:|---:|---:|")
        changes = {}
        for n in sizes:
            changes[n] = add_remove(scratch / f"rows{n}", n, args.rounds)
            print(f"| {n:,} | {changes[n][0]:.2f} | {changes[n][1]:.2f} |", flush=True)
            shutil.rmtree(scratch / f"rows{n}")
        add_lsa, build, dim, lexical = add_text(scratch / "texts", args.texts, args.rounds)
        shutil.rmtree(scratch / "texts")
        print(f"\nDefault embedder, {args.texts:,} texts (built and fitted in {build:.1f} s, {dim} "
              f"dimensions): add 1 text {add_lsa:.2f} ms; the first search after it "
              f"{lexical['first search']:.2f} ms, the next {lexical['next search']:.2f} ms; the BM25 "
              f"terms of a new handle read from the saved tables {lexical['terms read']:.2f} ms, "
              f"made from every row {lexical['terms made']:.2f} ms.", flush=True)
        big = max(sizes)
        tomb, packed = tombstoned_search(scratch / "search", big, max(args.rounds, 21))
        print(f"\nSearch at {big:,} rows x 384, limit 10: 10% tombstoned {tomb:.2f} ms, compacted "
              f"{packed:.2f} ms ({tomb / packed:.2f}x; the tombstoned matrix has "
              f"{1 / 0.9:.2f}x the rows).\n")
        small, large = min(sizes), big
        print("| goal | figure | target | |")
        print("|---|---:|---:|---|")

        def row(goal, value, target, met, unit=""):
            print(f"| {goal} | {value:.2f}{unit} | {target} | {'met' if met else 'missed'} |")

        for k, name in ((0, "add 1"), (1, "remove 1")):
            ratio = changes[large][k] / changes[small][k]
            row(f"{name} at {large:,} / at {small:,} rows", ratio, "<= 1.5x", ratio <= 1.5, "x")
            row(f"{name} at {large:,} rows", changes[large][k], "< 20 ms", changes[large][k] < 20, " ms")
        row(f"add 1 text to {args.texts:,} (default embedder)", add_lsa, "< 100 ms", add_lsa < 100, " ms")
        first = lexical["first search"] / lexical["next search"]
        row("first search after adding 1 text / the next search", first, "<= 3x", first <= 3, "x")
        read = lexical["terms read"] / lexical["terms made"]
        row("a new handle's BM25 terms: read / made from every row", read, "<= 0.25x", read <= 0.25, "x")
        row("search, 10% tombstones / compacted", tomb / packed, "<= 1.1x", tomb / packed <= 1.1, "x")
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
