"""Speed of _quorvel against the read bound of the matrix and against the tools a user would pick
instead, every figure measured in this one run.

    python bench/run.py --probe build/bench/read_probe.so [--full] [--repeats-scale X]

`make bench` builds the probe and runs this in .venv-bench (with NumPy, threadpoolctl, faiss-cpu
and langchain-core installed). For each matrix size (10,000 and 100,000 rows of 384 float32,
and 1,000,000 with --full) and each layout (C order, Fortran order, m[:, ::2]) it times, with
the measures interleaved and the median of several rounds taken:

- the read bound: bench/read_probe.cpp reading the bytes the call touches (for m[:, ::2] that
  is the whole base matrix: every 64-byte line holds elements of the view), as 1, 2, 4 or 8
  side-by-side streams with and without prefetch; the fastest of those is the bound;
- score_candidates plain (limit 10), with diverse=True, and with every modulation on;
- the argument conversion alone (the same ids list and dict, a matrix of no rows);
- NumPy (M @ q, argpartition, argsort, ids indexed after; one BLAS thread);
- FAISS IndexFlatIP.search (C order only: FAISS keeps its own C-order copy; one thread).

Then diverse=True against the plain call on 100,000 rows for pools (oversample) of 200, 2,000
and 10,000; mmr_select_py against LangChain's maximal_marginal_relevance (200 candidates, k = 20,
d = 384); the extra memory of a call: the peak RSS of a child process during the call minus its
RSS with the inputs built, per matrix row; and the extra memory and time of one diverse call with
oversample 100,000 on 1,000,000 rows (C order), in a child process of its own. Nothing here fails on timing: it prints figures,
ratios and the goals they meet or miss, and writes them to bench/results/.
"""

from __future__ import annotations

import argparse
import ctypes
import gc
import json
import os
import platform
import random
import statistics
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

import _quorvel
from quorvel.embedders import unit_rows as normalised_rows

DIMS = 384
LIMIT = 10
OVERSAMPLE = 200
MMR_CANDIDATES, MMR_K, MMR_LAMBDA = 200, 20, 0.7
POOL_ROWS, POOL_SIZES = 100_000, (200, 2_000, 10_000)  # diverse calls by pool size
BIG_POOL_ROWS, BIG_POOL = 1_000_000, 100_000  # extra memory of a diverse call on a large pool
HERE = Path(__file__).resolve().parent
DEFAULT_PROBE = HERE.parent / "build" / "bench" / "read_probe.so"
LAYOUTS = ("C", "F", "::2")


# --- inputs ----------------------------------------------------------------------------------

def unit_rows(rng, n, d):
    return normalised_rows(rng.standard_normal((n, d), dtype=np.float32))


class Inputs:
    """One corpus of n rows and the three layouts of its matrix, with every optional argument."""

    def __init__(self, n, seed=0):
        rng = np.random.default_rng(seed)
        self.n = n
        self.c = unit_rows(rng, n, DIMS)                   # C order
        self.ids = [f"doc{i}" for i in range(n)]
        self.id_to_idx = {d: i for i, d in enumerate(self.ids)}
        now = time.time()
        self.timestamps = rng.uniform(now - 2 * 365 * 86400.0, now, n)
        self.mask = rng.random(n) < 0.9
        self.like = [self.ids[int(i)] for i in rng.choice(n, 5, replace=False)]
        self.vectors = {d: [rng.standard_normal(d, dtype=np.float32) for _ in range(4)]
                        for d in (DIMS, DIMS // 2)}
        self.f = None

    def build_fortran(self):
        if self.f is None:
            self.f = np.asfortranarray(self.c)

    def drop_fortran(self):
        self.f = None

    def matrix(self, layout):
        """The matrix as the call sees it, and the array whose buffer holds every byte it reads."""
        if layout == "C":
            return self.c, self.c
        if layout == "F":
            self.build_fortran()
            return self.f, self.f
        return self.c[:, ::2], self.c

    def query(self, layout):
        return self.vectors[self.matrix(layout)[0].shape[1]][0]

    def modulations(self, layout):
        _, traj_from, traj_to, unlike = self.vectors[self.matrix(layout)[0].shape[1]]
        return dict(like_ids=self.like, traj_from_vec=traj_from, traj_to_vec=traj_to,
                    not_like_vec=unlike, recent=True, recent_days=30.0, timestamps=self.timestamps,
                    mask=self.mask, threshold=0.02, diverse=True, limit=LIMIT, oversample=OVERSAMPLE)


def quorvel_calls(inp, layout):
    m, _ = inp.matrix(layout)
    q = inp.query(layout)
    ids, idx = inp.ids, inp.id_to_idx
    mods = inp.modulations(layout)
    empty = np.zeros((0, m.shape[1]), np.float32)
    return {
        "plain": lambda: _quorvel.score_candidates(m, ids, idx, q, limit=LIMIT),
        "diverse": lambda: _quorvel.score_candidates(m, ids, idx, q, limit=LIMIT, diverse=True,
                                                     oversample=OVERSAMPLE),
        "all modulations": lambda: _quorvel.score_candidates(m, ids, idx, q, **mods),
        "conversion only": lambda: _quorvel.score_candidates(empty, ids, idx, q, limit=LIMIT),
        # The scan and the selection alone: one identifier, no map, and row 0 as the query, which
        # makes row 0 the only pick (the rows are random unit vectors).
        "scan only": lambda: _quorvel.score_candidates(m, ("doc0",), {}, m[0], limit=1),
    }


def numpy_call(m, ids, q, k=LIMIT):
    qn = q / np.linalg.norm(q)
    s = m @ qn
    top = np.argpartition(s, len(s) - k)[len(s) - k:]
    top = top[np.argsort(-s[top])]
    return [{"id": ids[i], "score": round(float(s[i]), 4)} for i in top]


def faiss_call(index, ids, q, k=LIMIT):
    qn = (q / np.linalg.norm(q)).reshape(1, -1)
    scores, rows = index.search(qn, k)
    return [{"id": ids[i], "score": round(float(d), 4)} for d, i in zip(scores[0], rows[0])]


# --- timing ----------------------------------------------------------------------------------

class Probe:
    VARIANTS = [(s, a) for s in (1, 2, 4, 8) for a in (0, 2048)]

    def __init__(self, path):
        self.lib = ctypes.CDLL(str(path))
        self.lib.read_probe.restype = ctypes.c_uint64
        self.lib.read_probe.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_size_t, ctypes.c_size_t]
        self.lib.read_probe_simd.restype = ctypes.c_int
        self.simd = bool(self.lib.read_probe_simd())

    def reader(self, array, streams, ahead):
        assert array.flags.c_contiguous or array.flags.f_contiguous
        ptr, nbytes = array.ctypes.data, array.nbytes
        return lambda: self.lib.read_probe(ptr, nbytes, streams, ahead)


def timed_rounds(measures, rounds, seed=0):
    """Runs every measure once a round, in a shuffled order, `rounds` times after one warm-up
    round; returns the median seconds of each."""
    names = list(measures)
    for name in names:
        measures[name]()
    times = {name: [] for name in names}
    order = random.Random(seed)
    clock = time.perf_counter
    for _ in range(rounds):
        order.shuffle(names)
        for name in names:
            gc.disable()
            t0 = clock()
            measures[name]()
            t1 = clock()
            gc.enable()
            times[name].append(t1 - t0)
    return {name: statistics.median(ts) for name, ts in times.items()}


def rounds_for(n, scale):
    base = 41 if n <= 10_000 else 15 if n <= 100_000 else 9
    return max(3, int(base * scale))


# --- extra memory (child process) ------------------------------------------------------------

def _status(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise RuntimeError(f"no {field} in /proc/self/status")


def _reset_peak():
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def memory_child(n):
    """Prints JSON: extra bytes at the peak of each call over the RSS with its inputs built."""
    inp = Inputs(n)
    inp.build_fortran()
    # The interpreter's and the module's one-time allocations happen on a small corpus first.
    warm = Inputs(64, seed=1)
    warm.build_fortran()
    for layout in LAYOUTS:
        for call in quorvel_calls(warm, layout).values():
            call()
    out = {}
    for layout in LAYOUTS:
        calls = quorvel_calls(inp, layout)
        for name in ("plain", "diverse", "all modulations"):
            extra = []
            for _ in range(3):
                gc.collect()
                _reset_peak()
                before = _status("VmRSS")
                calls[name]()
                extra.append(_status("VmHWM") - before)
            out[f"{layout}|{name}"] = statistics.median(extra)
    print(json.dumps(out))


def measure_memory(n):
    try:
        _reset_peak()
    except OSError:
        return None
    # Fixed malloc thresholds: every large buffer is mapped on its own and unmapped when freed,
    # so that a call's buffers cannot hide in memory that an earlier call left resident.
    env = dict(os.environ, MALLOC_MMAP_THRESHOLD_="65536", MALLOC_TRIM_THRESHOLD_="0")
    proc = subprocess.run([sys.executable, __file__, "--memory-child", str(n)],
                          capture_output=True, text=True, check=True, env=env)
    return json.loads(proc.stdout.strip().splitlines()[-1])


# --- report ----------------------------------------------------------------------------------

def machine_info():
    info = {"python": platform.python_version(), "numpy": np.__version__}
    try:
        out = subprocess.run(["lscpu"], capture_output=True, text=True).stdout
        fields = dict(line.split(":", 1) for line in out.splitlines() if ":" in line)
        info["cpu"] = fields.get("Model name", "?").strip()
        info["cores"] = fields.get("CPU(s)", "?").strip()
        info["threads per core"] = fields.get("Thread(s) per core", "?").strip()
        info["L3"] = fields.get("L3 cache", "?").strip()
    except OSError:
        info["cpu"] = platform.processor()
    with open("/proc/meminfo") as f:
        info["memory"] = f"{int(f.readline().split()[1]) / 2**20:.1f} GiB"
    return info


def fmt_ms(seconds):
    ms = seconds * 1e3
    return f"{ms:.3f}" if ms < 1 else f"{ms:.2f}" if ms < 100 else f"{ms:.1f}"


class Report:
    def __init__(self):
        self.lines = []

    def __call__(self, text=""):
        print(text, flush=True)
        self.lines.append(text)


def run(args):
    from threadpoolctl import threadpool_info, threadpool_limits
    import faiss
    from langchain_core.vectorstores.utils import maximal_marginal_relevance

    limits = threadpool_limits(limits=1)  # one BLAS thread for NumPy (and FAISS's BLAS)
    faiss.omp_set_num_threads(1)
    probe = Probe(args.probe)
    out = Report()
    info = machine_info()
    blas = [f"{p.get('internal_api')} {p.get('version')} ({p.get('architecture')}, {p.get('num_threads')} thread)"
            for p in threadpool_info() if p.get("user_api") == "blas"]
    faiss_build = faiss.get_compile_options() if hasattr(faiss, "get_compile_options") else "?"
    out("# Quorvel speed")
    out()
    out(f"Machine: {info['cpu']}, {info['cores']} CPUs ({info['threads per core']} thread per core), "
        f"L3 {info['L3']}, {info['memory']}; Python {info['python']}, NumPy {info['numpy']} "
        f"({'; '.join(blas) or 'no BLAS found'}), faiss-cpu {faiss.__version__} ({faiss_build}), "
        f"probe {'AVX2' if probe.simd else 'scalar'}.")
    out("Times are medians of interleaved rounds in one process; 'x bound' divides by the read bound "
        "of the same layout, measured in the same rounds.")
    out()

    sizes = [10_000, 100_000] + ([1_000_000] if args.full else [])
    if args.sizes:
        sizes = [int(s) for s in args.sizes.split(",")]
    results = {}
    out("| rows | layout | read bound ms | plain ms (x bound) | scan only ms (x bound) | conversion ms "
        "| diverse ms (x bound) | all modulations ms (x plain) | NumPy ms (/ plain) | FAISS ms (/ plain) |")
    out("|---:|---|---:|---:|---:|---:|---:|---:|---:|---:|")
    for n in sizes:
        inp = Inputs(n)
        index = faiss.IndexFlatIP(DIMS)
        index.add(inp.c)
        for layout in LAYOUTS:
            m, touched = inp.matrix(layout)
            q = inp.query(layout)
            measures = {f"probe {s}/{a}": probe.reader(touched, s, a) for s, a in Probe.VARIANTS}
            measures.update(quorvel_calls(inp, layout))
            measures["numpy"] = lambda m=m, q=q: numpy_call(m, inp.ids, q)
            if layout == "C":
                measures["faiss"] = lambda q=q: faiss_call(index, inp.ids, q)
            # The same picks from every tool (scores to float32 rounding), as a sanity check.
            assert measures["scan only"]() == [{"id": "doc0", "score": round(float(np.linalg.norm(m[0])), 4)}]
            ours = [r["id"] for r in measures["plain"]()]
            agree = ours == [r["id"] for r in measures["numpy"]()]
            if layout == "C":
                agree = agree and ours == [r["id"] for r in measures["faiss"]()]
            med = timed_rounds(measures, rounds_for(n, args.repeats_scale), seed=n)
            probe_best = min((k for k in med if k.startswith("probe")), key=med.get)
            bound = med[probe_best]
            r = {"bound": bound, "probe": probe_best, "same picks": agree, "bytes": touched.nbytes}
            r.update({k: v for k, v in med.items() if not k.startswith("probe")})
            results[f"{n}|{layout}"] = r
            faiss_cell = (f"{fmt_ms(r['faiss'])} ({r['faiss'] / r['plain']:.2f}x)" if "faiss" in r else "-")
            out(f"| {n:,} | {layout} | {fmt_ms(bound)} ({probe_best.split()[1]}) "
                f"| {fmt_ms(r['plain'])} ({r['plain'] / bound:.2f}) "
                f"| {fmt_ms(r['scan only'])} ({r['scan only'] / bound:.2f}) "
                f"| {fmt_ms(r['conversion only'])} "
                f"| {fmt_ms(r['diverse'])} ({r['diverse'] / bound:.2f}) "
                f"| {fmt_ms(r['all modulations'])} ({r['all modulations'] / r['plain']:.2f}) "
                f"| {fmt_ms(r['numpy'])} ({r['numpy'] / r['plain']:.2f}x) | {faiss_cell} |"
                + ("" if agree else " (picks differ)"))
            if layout == "F":
                inp.drop_fortran()
        del index, inp
        gc.collect()
    out()
    out("Read bound: the fastest probe over the bytes the call touches (streams/prefetch bytes in "
        "brackets); m[:, ::2] touches every line of its base matrix. Plain: limit 10 with the ids list "
        "and the id_to_idx dict of every row, end to end. Scan only: the same matrix and query kind "
        "with one identifier and an empty dict (the scan, the stages and the selection). Conversion: "
        "the plain call's arguments on a matrix of no rows (the ids list checked in place, the dict "
        "walked, nothing scored). NumPy and FAISS: their time / the plain call's (above 1: plain is "
        "faster).")
    out()

    pools = pool_sizes(out, args)

    # MMR against LangChain.
    rng = np.random.default_rng(7)
    emb = unit_rows(rng, MMR_CANDIDATES, DIMS)
    qv = unit_rows(rng, 1, DIMS)[0]
    sims = emb @ qv
    cands = np.argsort(-sims).tolist()

    def ours_from_query():
        s = emb @ qv
        return _quorvel.mmr_select_py(np.argsort(-s).tolist(), s, emb, MMR_K, MMR_LAMBDA)

    mmr_measures = {
        "langchain": lambda: maximal_marginal_relevance(qv, emb, lambda_mult=MMR_LAMBDA, k=MMR_K),
        "mmr_select_py": lambda: _quorvel.mmr_select_py(cands, sims, emb, MMR_K, MMR_LAMBDA),
        "from query": ours_from_query,
    }
    same = [i for i, _ in mmr_measures["mmr_select_py"]()] == mmr_measures["langchain"]()
    mmr = timed_rounds(mmr_measures, max(5, int(31 * args.repeats_scale)), seed=1)
    out(f"MMR, {MMR_CANDIDATES} candidates, k = {MMR_K}, d = {DIMS}, lambda {MMR_LAMBDA}:")
    out()
    out("| call | median ms | LangChain / this |")
    out("|---|---:|---:|")
    out(f"| LangChain maximal_marginal_relevance | {fmt_ms(mmr['langchain'])} | 1.00 |")
    out(f"| mmr_select_py (similarities given) | {fmt_ms(mmr['mmr_select_py'])} "
        f"| {mmr['langchain'] / mmr['mmr_select_py']:.1f} |")
    out(f"| mmr_select_py from the query (NumPy similarities and order) | {fmt_ms(mmr['from query'])} "
        f"| {mmr['langchain'] / mmr['from query']:.1f} |")
    out(f"Same picks in the same order: {'yes' if same else 'no'}.")
    out()

    # Extra memory.
    memory = {}
    if not args.no_memory:
        out("Extra memory of a call (peak RSS during the call minus RSS with the inputs built, bytes per row):")
        out()
        out("| rows | layout | plain | diverse | all modulations |")
        out("|---:|---|---:|---:|---:|")
        for n in sizes:
            got = measure_memory(n)
            if got is None:
                out("(no /proc/self/clear_refs: peak RSS cannot be reset here)")
                break
            memory[n] = got
            for layout in LAYOUTS:
                cells = [f"{got[f'{layout}|{v}'] / n:.2f}" for v in ("plain", "diverse", "all modulations")]
                out(f"| {n:,} | {layout} | " + " | ".join(cells) + " |")
        out()

    big_pool = None
    if not args.no_memory:
        big_pool = measure_big_pool()
        if big_pool is not None:
            out(f"Diverse call, oversample {BIG_POOL:,}, limit {LIMIT}, on {BIG_POOL_ROWS:,} x {DIMS} (C order): "
                f"extra memory {big_pool['extra'] / 2**20:.1f} MiB (peak RSS during the call minus RSS "
                f"with the inputs built), {fmt_ms(big_pool['seconds'])} ms; plain call {fmt_ms(big_pool['plain'])} ms.")
            out()

    goals(out, results, mmr, memory, sizes, pools, big_pool)
    limits.restore_original_limits()
    results_dir = HERE / "results"
    results_dir.mkdir(exist_ok=True)
    (results_dir / "latest.md").write_text("\n".join(out.lines) + "\n")
    (results_dir / "latest.json").write_text(json.dumps(
        {"machine": info, "scores": results, "mmr": mmr, "memory": memory, "pools": pools,
         "big pool": big_pool}, indent=1, default=str))


def pool_sizes(out, args):
    """Diverse calls against the plain one on POOL_ROWS rows, C order, by pool size."""
    inp = Inputs(POOL_ROWS)
    m, ids, idx, q = inp.c, inp.ids, inp.id_to_idx, inp.query("C")
    measures = {"plain": lambda: _quorvel.score_candidates(m, ids, idx, q, limit=LIMIT)}
    for p in POOL_SIZES:
        measures[p] = lambda p=p: _quorvel.score_candidates(m, ids, idx, q, limit=LIMIT, diverse=True,
                                                           oversample=p)
    # mmr_lambda 1 gives no weight to redundancy, where the selection computes a full row of
    # similarities per pick instead of refreshing score bounds: the cost of the eager scan.
    eager_pool = max(POOL_SIZES)
    eager = f"{eager_pool:,}, mmr_lambda 1"
    measures[eager] = lambda: _quorvel.score_candidates(m, ids, idx, q, limit=LIMIT, diverse=True,
                                                        oversample=eager_pool, mmr_lambda=1.0)
    med = timed_rounds(measures, rounds_for(POOL_ROWS, args.repeats_scale), seed=3)
    out(f"Diverse calls by pool size, {POOL_ROWS:,} x {DIMS} C order, limit {LIMIT}, mmr_lambda 0.7 "
        "(last row: mmr_lambda 1, a row of similarities per pick):")
    out()
    out("| oversample | plain ms | diverse=True ms | diverse / plain |")
    out("|---:|---:|---:|---:|")
    for p in (*POOL_SIZES, eager):
        label = eager if p == eager else f"{p:,}"
        out(f"| {label} | {fmt_ms(med['plain'])} | {fmt_ms(med[p])} | {med[p] / med['plain']:.2f} |")
    out()
    return med


def big_pool_child():
    """Prints JSON: the extra bytes and seconds of one diverse call with oversample BIG_POOL on
    BIG_POOL_ROWS rows, and the seconds of the plain call."""
    inp = Inputs(64, seed=1)  # one-time allocations of the interpreter and the module
    _quorvel.score_candidates(inp.c, inp.ids, inp.id_to_idx, inp.query("C"), diverse=True, oversample=32)
    rng = np.random.default_rng(0)
    m = unit_rows(rng, BIG_POOL_ROWS, DIMS)
    ids = [f"doc{i}" for i in range(BIG_POOL_ROWS)]
    idx = {d: i for i, d in enumerate(ids)}
    q = rng.standard_normal(DIMS, dtype=np.float32)
    t0 = time.perf_counter()
    _quorvel.score_candidates(m, ids, idx, q, limit=LIMIT)
    plain = time.perf_counter() - t0
    gc.collect()
    _reset_peak()
    before = _status("VmRSS")
    t0 = time.perf_counter()
    picks = _quorvel.score_candidates(m, ids, idx, q, limit=LIMIT, diverse=True, oversample=BIG_POOL)
    seconds = time.perf_counter() - t0
    extra = _status("VmHWM") - before
    assert len(picks) == LIMIT
    print(json.dumps({"extra": extra, "seconds": seconds, "plain": plain}))


def measure_big_pool():
    try:
        _reset_peak()
    except OSError:
        return None
    env = dict(os.environ, MALLOC_MMAP_THRESHOLD_="65536", MALLOC_TRIM_THRESHOLD_="0")
    proc = subprocess.run([sys.executable, __file__, "--big-pool-child"],
                          capture_output=True, text=True, check=True, env=env)
    return json.loads(proc.stdout.strip().splitlines()[-1])


def goals(out, results, mmr, memory, sizes, pools, big_pool):
    out("Goals (largest size run):")
    out()
    out("| goal | figure | target | |")
    out("|---|---:|---:|---|")
    n = max(sizes)
    c, f, s2 = (results[f"{n}|{lay}"] for lay in LAYOUTS)

    def row(goal, value, target, met, unit="x"):
        out(f"| {goal} | {value:.2f}{unit} | {target} | {'met' if met else 'missed'} |")

    def at_most(goal, value, limit, scan_only=None):
        row(goal, value, f"<= {limit:.2f}x", value <= limit)
        if scan_only is not None:
            row("  of which the scan only / read bound", scan_only, f"(<= {limit:.2f}x)", scan_only <= limit)

    at_most(f"plain call, {n:,} rows C order, / read bound", c["plain"] / c["bound"], 1.10,
            c["scan only"] / c["bound"])
    row("FAISS flat / plain call", c["faiss"] / c["plain"], ">= 1.10x", c["faiss"] / c["plain"] >= 1.10)
    row("NumPy / plain call", c["numpy"] / c["plain"], ">= 1.00x", c["numpy"] / c["plain"] >= 1.0)
    at_most("all modulations / plain call", c["all modulations"] / c["plain"], 1.25)
    for name, r, limit in (("Fortran order", f, 1.20), ("m[:, ::2]", s2, 1.15)):
        at_most(f"{name}, plain call / read bound of its bytes", r["plain"] / r["bound"], limit,
                r["scan only"] / r["bound"])
    ratio = mmr["langchain"] / mmr["mmr_select_py"]
    row("LangChain MMR / mmr_select_py", ratio, ">= 60x", ratio >= 60)
    p = max(POOL_SIZES)
    ratio = pools[p] / pools["plain"]
    row(f"diverse, oversample {p:,}, {POOL_ROWS:,} rows / plain call", ratio, "<= 1.20x", ratio <= 1.20)
    if big_pool is not None:
        mib = big_pool["extra"] / 2**20
        row(f"extra memory, diverse, oversample {BIG_POOL:,} on {BIG_POOL_ROWS:,} rows", mib, "< 200 MiB",
            mib < 200, unit=" MiB")
    if memory.get(n):
        worst = max(memory[n].values()) / n
        row("extra memory of a call, worst of the above", worst, "<= 8 B/row + O(oversample x dims)",
            worst <= 8.0 + OVERSAMPLE * DIMS * 4 * 4 / n, unit=" B/row")
    out()


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--probe", default=str(DEFAULT_PROBE), help="the built read probe (shared library)")
    ap.add_argument("--full", action="store_true", help="add the 1,000,000-row matrices (about 6 GiB)")
    ap.add_argument("--sizes", help="comma-separated row counts instead of the default sizes")
    ap.add_argument("--repeats-scale", type=float, default=1.0, help="scale the number of rounds")
    ap.add_argument("--no-memory", action="store_true", help="skip the extra-memory measurement")
    ap.add_argument("--memory-child", type=int, help=argparse.SUPPRESS)
    ap.add_argument("--big-pool-child", action="store_true", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.memory_child:
        memory_child(args.memory_child)
        return
    if args.big_pool_child:
        big_pool_child()
        return
    if not Path(args.probe).exists():
        sys.exit(f"read probe {args.probe} not built: run `make bench`")
    run(args)


if __name__ == "__main__":
    main()
