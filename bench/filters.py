"""What a `where=` filter adds to a search: the filter answered from the metadata columns that
changes save beside the side table (how every search of a large collection answers), by walks of
the side table's index (a collection without saved columns), or from columns loaded off the index,
turned into a row mask, and the native scan with that mask, against the same scan without one.

    python bench/filters.py [--docs 1000000] [--rounds 9] [--db PATH]

The side table is built in a temporary SQLite file (or in --db, kept and reused by later runs
with the same size and table layout) for `--docs` documents, each with a language (half of them
"en"), one of 100 sources, a year, a modification time, two of 20 tags and a path of its own,
and every column is saved as the first change of a collection that size saves them; the matrix
is `--docs` x 384 float32 unit rows. Each round times, in a shuffled order, the search without a
filter, what saving the columns adds to a change of one document's metadata (rolled back), and,
for each filter: the search with the mask on first use from the saved columns (a fresh `Columns`,
as in a new process or the first search after a change), that mask alone, the mask on first use
without saved columns (one walk of the index per condition), the mask with its columns loaded
off the index first (`Columns(LOAD)`), the mask warm (its columns loaded by an earlier call),
the search with the warm mask, and the masks of 5 calls of the same filter on one handle without
saved columns (walks, then a load). The table shows medians, and a filter's extra time is the
median of (filtered - plain) within rounds; the memory is that of the filter's columns. Nothing
here fails on timing.
"""

from __future__ import annotations

import argparse
import os
import random
import sqlite3
import statistics
import tempfile
import time
from pathlib import Path

import numpy as np

import _quorvel
from quorvel.filters import (INDEX_SCHEMA, LOAD, TOUCHED_TABLE, Columns, compile_filter,
                             prepare_saved_columns, save_columns, write_index)

DIMS = 384
BATCH = 50_000
KEYS = "lang source year mtime tags path"
CALLS = 5  # masks of the same filter on one handle, as a session asking it again would make  # a table built for other keys is built again


def cpu_name() -> str:
    fields: dict[str, str] = {}
    for line in Path("/proc/cpuinfo").read_text().splitlines():
        name, _, value = line.partition(":")
        fields.setdefault(name.strip(), value.strip())
    return (f"{fields.get('model name', 'unknown CPU')} (family {fields.get('cpu family', '?')}, "
            f"model {fields.get('model', '?')})")


def fill(conn: sqlite3.Connection, n: int, rng: np.random.Generator) -> None:
    lang = np.where(rng.random(n) < 0.5, "en", "de")
    source = rng.integers(0, 100, n)
    year = rng.integers(1990, 2026, n)
    mtime = rng.uniform(1.6e9, 1.7e9, n)
    tags = rng.integers(0, 20, (n, 2))
    with conn:
        conn.executescript(INDEX_SCHEMA)
        for start in range(0, n, BATCH):
            write_index(conn, ((d, {"lang": str(lang[d]), "source": f"s{source[d]}",
                                    "year": int(year[d]), "mtime": float(mtime[d]),
                                    "tags": [f"t{tags[d, 0]}", f"t{tags[d, 1]}"],
                                    "path": f"notes/{d:07d}.md"})
                               for d in range(start, min(n, start + BATCH))))
        conn.execute("CREATE TABLE IF NOT EXISTS bench (n INTEGER, schema TEXT)")
        conn.execute("INSERT INTO bench VALUES (?, ?)", (n, INDEX_SCHEMA + KEYS))


def built_for(conn: sqlite3.Connection, n: int) -> bool:
    try:
        return conn.execute("SELECT n, schema FROM bench").fetchone() == (n, INDEX_SCHEMA + KEYS)
    except sqlite3.DatabaseError:  # no such table or column, or not a database
        return False


def open_table(path: Path, n: int, rng: np.random.Generator) -> sqlite3.Connection:
    conn = sqlite3.connect(path)
    if not built_for(conn, n):
        conn.close()
        path.unlink(missing_ok=True)
        conn = sqlite3.connect(path)
        started = time.perf_counter()
        fill(conn, n, rng)
        print(f"side table of {n:,} documents built in {time.perf_counter() - started:.1f} s")
    return conn


SAVED_AT = 1  # the state the bench's saved columns are marked with


def ensure_saved_columns(conn: sqlite3.Connection) -> None:
    """Saves every column of the side table (as the first change of a collection that size
    does), unless a run before saved them."""
    try:
        if conn.execute("SELECT generation FROM metadata_runs_saved_at").fetchone() == (SAVED_AT,):
            return
    except sqlite3.OperationalError:  # no such table
        pass
    started = time.perf_counter()
    with conn:
        prepare_saved_columns(conn)
        save_columns(conn, SAVED_AT)
    print(f"every column saved in {time.perf_counter() - started:.1f} s")


def one_document_change(conn: sqlite3.Connection, doc: int) -> None:
    """What saving the columns adds to a change of one document's metadata (rolled back)."""
    conn.execute("BEGIN")
    try:
        prepare_saved_columns(conn)
        write_index(conn, [(doc, {"lang": "fr", "year": 2001})])
        conn.execute(f"INSERT OR IGNORE INTO {TOUCHED_TABLE} VALUES (?)", (doc,))
        save_columns(conn, SAVED_AT + 1)
    finally:
        conn.execute("ROLLBACK")


def quantile(conn: sqlite3.Connection, key: str, q: float) -> float:
    nums = np.array([r[0] for r in conn.execute(
        "SELECT num FROM metadata_index WHERE key = ? AND kind = 1", (key,))])
    return float(np.quantile(nums, q))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--docs", type=int, default=1_000_000)
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--db", type=Path, default=None)
    args = parser.parse_args()
    n, rng = args.docs, np.random.default_rng(0)

    with tempfile.TemporaryDirectory() as tmp:
        conn = open_table(args.db or Path(tmp) / "filters.sqlite", n, rng)
        conn.isolation_level = None
        ensure_saved_columns(conn)
        recent_1 = quantile(conn, "mtime", 0.99)
        recent_50 = quantile(conn, "mtime", 0.5)
        filters = {
            "1%: source = s7": {"source": "s7"},
            "1%: mtime >= 99th percentile": {"mtime": {"$gte": recent_1}},
            "50%: lang = en": {"lang": "en"},
            "50%: mtime >= median": {"mtime": {"$gte": recent_50}},
            "~10%: tags contains t3 and lang = en": {"tags": {"$contains": "t3"}, "lang": "en"},
            "~50%: not (lang = en)": {"$not": {"lang": "en"}},
            "50%: path < the middle one (all distinct)": {"path": {"$lt": f"notes/{n // 2:07d}.md"}},
        }
        compiled = {name: compile_filter(f) for name, f in filters.items()}

        matrix = rng.standard_normal((n, DIMS), dtype=np.float32)
        matrix /= np.linalg.norm(matrix, axis=1, keepdims=True)
        ids = [f"doc{i}" for i in range(n)]
        id_to_idx = {d: i for i, d in enumerate(ids)}
        query = matrix[0].copy()
        row_doc = np.arange(n, dtype=np.int64)

        def plain():
            return _quorvel.score_candidates(matrix, ids, id_to_idx, query, limit=10)

        loaded = {name: Columns(LOAD) for name in compiled}
        for name, f in compiled.items():
            f.rows(conn, row_doc, n, loaded[name])

        def filtered(name):
            def run():
                mask = compiled[name].rows(conn, row_doc, n, loaded[name])
                return _quorvel.score_candidates(matrix, ids, id_to_idx, query, limit=10, mask=mask)
            return run

        def first(name):
            return lambda: compiled[name].rows(conn, row_doc, n, Columns())

        def saved(name):
            return lambda: compiled[name].rows(conn, row_doc, n, Columns(generation=SAVED_AT))

        def saved_search(name):
            def run():
                mask = compiled[name].rows(conn, row_doc, n, Columns(generation=SAVED_AT))
                return _quorvel.score_candidates(matrix, ids, id_to_idx, query, limit=10, mask=mask)
            return run

        def load(name):
            return lambda: compiled[name].rows(conn, row_doc, n, Columns(LOAD))

        def warm(name):
            return lambda: compiled[name].rows(conn, row_doc, n, loaded[name])

        def calls(name):
            def run():
                columns = Columns()
                for _ in range(CALLS):
                    compiled[name].rows(conn, row_doc, n, columns)
            return run

        measures = {"search, no filter": plain,
                    "change of one document": lambda: one_document_change(conn, n // 3)}
        for name in compiled:
            measures[f"saved search, {name}"] = saved_search(name)
            measures[f"mask saved, {name}"] = saved(name)
            measures[f"mask first, {name}"] = first(name)
            measures[f"mask load, {name}"] = load(name)
            measures[f"mask warm, {name}"] = warm(name)
            measures[f"calls, {name}"] = calls(name)
            measures[f"search, {name}"] = filtered(name)
        times: dict[str, list[float]] = {k: [] for k in measures}
        for _ in range(args.rounds + 1):  # the first round warms up
            order = list(measures)
            random.shuffle(order)
            for name in order:
                started = time.perf_counter()
                measures[name]()
                times[name].append(time.perf_counter() - started)
        for values in times.values():
            del values[0]

        kept = {name: int(f.rows(conn, row_doc, n).sum()) for name, f in compiled.items()}
        memory = {name: columns.nbytes() for name, columns in loaded.items()}
        conn.close()

    base = times["search, no filter"]
    print(f"{n:,} documents x {DIMS} float32, {cpu_name()}, 1 thread, load {os.getloadavg()[0]:.1f}, "
          f"medians of {args.rounds} rounds")
    plain_ms = 1e3 * statistics.median(base)

    def line(label: str, key: str, *more: str) -> None:
        ms = 1e3 * statistics.median(times[key])
        cells = "".join(f" {cell:>9}" for cell in more)
        print(f"{label:<58} {ms:>10.1f} {ms / plain_ms:>8.2f}{cells}")

    print(f"{'measure':<58} {'median ms':>10} {'x plain':>8} {'extra ms':>9} {'kept':>9} "
          f"{'columns':>9}")
    line("search, no filter", "search, no filter")
    line("saving the columns in a change of one document's metadata", "change of one document")
    for name in compiled:
        extra = {key: statistics.median(t - b for t, b in zip(times[f"{key}, {name}"], base))
                 for key in ("search", "saved search")}
        line(f"search (warm), {name}", f"search, {name}", f"{1e3 * extra['search']:.1f}",
             f"{kept[name]:,}", f"{memory[name] / 2 ** 20:.1f} MiB")
        line("  search on first use, from the saved columns", f"saved search, {name}",
             f"{1e3 * extra['saved search']:.1f}")
        line("  mask on first use, from the saved columns", f"mask saved, {name}")
        line("  mask on first use, walks (no saved columns)", f"mask first, {name}")
        line("  mask with its columns loaded first", f"mask load, {name}")
        line("  mask warm (columns loaded before)", f"mask warm, {name}")
        line(f"  {CALLS} masks of one handle (walks, then a load)", f"calls, {name}")

if __name__ == "__main__":
    main()
