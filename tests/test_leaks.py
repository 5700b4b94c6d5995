"""Every function, called thousands of times on success and on each failure path, leaves the
reference counts of its inputs unchanged and the process's memory flat.

The loops run in a child process (this file run as a script), one case after another: a
warm-up, then the measured iterations. Per case the child reports the change over the measured
iterations of
- the reference count of every input object and of every item of the input containers;
- the interpreter's count of allocated memory blocks (sys.getallocatedblocks), which grows by at
  least one per iteration for any leaked Python object;
- the C heap in use (glibc's mallinfo2), which grows by the size of any leaked native buffer;
- the resident set size (/proc/self/statm).
The inputs are large enough that a leaked copy of any of them, or of any buffer a call builds
from them, costs at least a few kilobytes per call.
"""

import collections
import contextlib
import ctypes
import functools
import gc
import json
import os
import subprocess
import sys
import time

import numpy as np
import pytest

from conftest import unit_rows

WARMUP = 100
ITERATIONS = 1000

# Bounds on the growth over ITERATIONS measured calls. A leak of one object, one reference or
# one native buffer per call exceeds each of them.
MAX_BLOCKS_GROWTH = ITERATIONS // 20  # allocated Python memory blocks
MAX_HEAP_GROWTH = 8 * ITERATIONS  # bytes of C heap in use
MAX_RSS_GROWTH = 1 << 20  # bytes of resident memory

ROWS, DIMS = 1000, 32
F32 = np.float32


class Evil(Exception):
    """Raised by the caller-side objects below; must come out of the call unchanged."""


class RaisingIndex:
    def __index__(self):
        raise Evil("no index")


class RaisingFloat:
    def __float__(self):
        raise Evil("no float")


class RaisingIter(collections.UserList):
    """A sequence whose iteration fails after half of its items."""

    def __iter__(self):
        yield from self.data[: len(self.data) // 2]
        raise Evil("iteration failed")


def huge_broadcast(rows, cols):
    """A float32 matrix of any shape that takes no memory: one element, zero strides."""
    return np.broadcast_to(np.zeros((1, 1), F32), (rows, cols))


def build_cases():
    """name -> (expected outcome, function, positional args, keyword args). The outcome is "ok"
    or the name of the exception type the call must raise on every iteration."""
    rng = np.random.default_rng(0)
    m = unit_rows(rng, ROWS, DIMS)
    ids = [f"doc{i}" for i in range(ROWS)]
    id_map = {d: i for i, d in enumerate(ids)}
    q = rng.standard_normal(DIMS).astype(F32)
    ts = np.full(ROWS, time.time() - 5 * 86400.0)
    mask = np.ones(ROWS, bool)
    pre = ids[::3]
    like = ids[:5]
    traj_from, traj_to = m[7].copy(), m[8].copy()
    not_like = m[9].copy()
    every_option = dict(timestamps=ts, pre_filter_ids=pre, not_like_vec=not_like, diverse=True,
                        limit=10, oversample=60, threshold=0.01, mmr_lambda=0.6, recent=True,
                        recent_days=7.0, like_ids=like, traj_from_vec=traj_from,
                        traj_to_vec=traj_to, mask=mask)
    base = (m, ids, id_map, q)

    import _quorvel
    score = _quorvel.score_candidates
    mmr = _quorvel.mmr_select_py
    parse = _quorvel.parse_modifiers

    c = {}
    # score_candidates: success.
    c["score/plain"] = ("ok", score, base, {})
    c["score/every_option"] = ("ok", score, base, every_option)
    c["score/diverse_no_prefilter"] = ("ok", score, base, dict(diverse=True, oversample=80, limit=20))
    # Binding errors.
    c["score/too_many_positional"] = ("TypeError", score, base + (None,) * 15, {})
    c["score/unknown_keyword"] = ("TypeError", score, base, dict(limit=3, k=1))
    c["score/multiple_values"] = ("TypeError", score, base, dict(matrix=m))
    c["score/missing"] = ("TypeError", score, (m, ids), {})
    # Conversion errors, one per kind and parameter; the later a parameter, the more converted
    # arguments must be released.
    bad = {
        "matrix_float64": ("TypeError", dict(matrix=m.astype(np.float64))),
        "ids_str": ("TypeError", dict(ids="doc0")),
        "ids_set": ("TypeError", dict(ids=set(ids[:50]))),
        "ids_bad_last_item": ("TypeError", dict(ids=ids + [b"bytes"])),
        "ids_sequence_bad_last_item": ("TypeError", dict(ids=collections.UserList(ids + [7]))),
        "ids_unencodable": ("UnicodeEncodeError", dict(ids=ids + ["\ud800"])),
        "ids_iteration_error": ("Evil", dict(ids=RaisingIter(ids))),
        "id_to_idx_list": ("TypeError", dict(id_to_idx=list(id_map.items()))),
        "id_to_idx_bad_key": ("TypeError", dict(id_to_idx={**id_map, 5: 5})),
        "id_to_idx_negative": ("OverflowError", dict(id_to_idx={**id_map, "neg": -1})),
        "id_to_idx_raising_index": ("Evil", dict(id_to_idx={**id_map, "evil": RaisingIndex()})),
        "query_2d": ("TypeError", dict(query_vec=q[None, :])),
        "timestamps_float32": ("TypeError", dict(timestamps=ts.astype(F32))),
        "pre_filter_set": ("TypeError", dict(pre_filter_ids=set(pre))),
        "pre_filter_bad_item": ("TypeError", dict(pre_filter_ids=pre + [None])),
        "not_like_list": ("TypeError", dict(not_like_vec=list(not_like))),
        "diverse_int": ("TypeError", dict(diverse=1)),
        "limit_float": ("TypeError", dict(limit=3.0)),
        "limit_negative": ("OverflowError", dict(limit=-1)),
        "limit_raising_index": ("Evil", dict(limit=RaisingIndex())),
        "oversample_too_big": ("OverflowError", dict(oversample=2**64)),
        "threshold_none": ("TypeError", dict(threshold=None)),
        "threshold_too_big": ("OverflowError", dict(threshold=10**400)),
        "mmr_lambda_raising_float": ("Evil", dict(mmr_lambda=RaisingFloat())),
        "recent_none": ("TypeError", dict(recent=None)),
        "recent_days_str": ("TypeError", dict(recent_days="7")),
        "like_ids_str": ("TypeError", dict(like_ids="doc1")),
        "traj_from_float64": ("TypeError", dict(traj_from_vec=traj_from.astype(np.float64))),
        "traj_to_0d": ("TypeError", dict(traj_to_vec=np.array(1.0, F32))),
        "mask_int8": ("TypeError", dict(mask=mask.astype(np.int8))),
    }
    for name, (expect, over) in bad.items():
        kwargs = {**every_option, **over}
        positional = tuple(kwargs.pop(p) if p in kwargs else v
                           for p, v in zip(("matrix", "ids", "id_to_idx", "query_vec"), base))
        c[f"score/{name}"] = (expect, score, positional, kwargs)
    # The body's ValueError.
    c["score/query_dimension"] = ("ValueError", score, (m, ids, id_map, q[:-1]), every_option)
    # Internal failures, from the first stage to the last.
    far_map = {**id_map, "far": ROWS + 5}
    internal = {
        "like_row_beyond_matrix": ((m, ids, far_map, q), dict(like_ids=["doc1", "far"])),
        "traj_incompatible": (base, dict(traj_from_vec=traj_from[:5], traj_to_vec=traj_to[:7])),
        "prefilter_row_beyond_ids": ((m, ids[:100], id_map, q), dict(pre_filter_ids=pre)),
        "prefilter_row_beyond_mask": (base, dict(pre_filter_ids=pre, mask=mask[:100])),
        "timestamps_short": (base, dict(timestamps=ts[:100], recent=True)),
        "mask_short": (base, dict(mask=mask[:100])),
        "traj_direction_length": (base, dict(traj_from_vec=traj_from[:5], traj_to_vec=traj_to[:5])),
        "not_like_length": (base, {**every_option, "not_like_vec": not_like[:5]}),
        "pick_beyond_ids": ((m, ids[:10], id_map, m[500].copy()), {}),
        "diverse_pick_beyond_ids": ((m, ids[:10], id_map, m[500].copy()), dict(diverse=True, oversample=50)),
    }
    for name, (args, kwargs) in internal.items():
        c[f"score/{name}"] = ("InternalFailure", score, args, kwargs)
    # MemoryError: the copy of a query as long as a row of a matrix with 2**60 columns.
    wide = huge_broadcast(1, 2**60)
    wide_q = np.broadcast_to(np.zeros(1, F32), (2**60,))
    c["score/query_copy_too_big"] = ("MemoryError", score, (wide, ["a"], {"a": 0}, wide_q), {})

    # mmr_select_py.
    cands = list(range(0, ROWS, 13))
    sims = (m @ q).astype(F32)
    margs = (cands, sims, m, 20, 0.7)
    c["mmr/ok"] = ("ok", mmr, margs, {})
    c["mmr/ok_keywords"] = ("ok", mmr, (), dict(candidates=tuple(cands), similarities=sims,
                                                  matrix=np.asfortranarray(m), k=50, lambda_=0.3))
    c["mmr/empty"] = ("ok", mmr, ([], sims, m, 5, 0.5), {})
    c["mmr/too_many_positional"] = ("TypeError", mmr, margs + (1,), {})
    c["mmr/missing"] = ("TypeError", mmr, margs[:3], {})
    c["mmr/unknown_keyword"] = ("TypeError", mmr, margs[:4], dict(lam=0.5))
    c["mmr/multiple_values"] = ("TypeError", mmr, margs, dict(k=3))
    mbad = {
        "candidates_str": ("TypeError", 0, "123"),
        "candidates_set": ("TypeError", 0, set(cands)),
        "candidates_float_last": ("TypeError", 0, cands + [1.5]),
        "candidates_negative_last": ("OverflowError", 0, cands + [-1]),
        "candidates_raising_index": ("Evil", 0, cands + [RaisingIndex()]),
        "candidates_iteration_error": ("Evil", 0, RaisingIter(cands)),
        "similarities_float64": ("TypeError", 1, sims.astype(np.float64)),
        "matrix_1d": ("TypeError", 2, sims),
        "k_float": ("TypeError", 3, 2.0),
        "k_negative": ("OverflowError", 3, -2),
        "lambda_str": ("TypeError", 4, "0.5"),
        "lambda_raising": ("Evil", 4, RaisingFloat()),
    }
    for name, (expect, pos, value) in mbad.items():
        args = list(margs)
        args[pos] = value
        c[f"mmr/{name}"] = (expect, mmr, tuple(args), {})
    c["mmr/candidate_beyond_matrix"] = ("InternalFailure", mmr, (cands + [ROWS], sims, m, 20, 0.7), {})
    c["mmr/candidate_beyond_similarities"] = ("InternalFailure", mmr, (cands, sims[:500], m, 20, 0.7), {})
    c["mmr/gathered_rows_too_big"] = ("MemoryError", mmr, ([0], np.ones(1, F32), huge_broadcast(1, 2**58), 1, 0.5), {})
    c["mmr/gathered_rows_overflow"] = ("MemoryError", mmr, ([0] * 8, np.ones(1, F32), huge_broadcast(1, 2**61 - 1), 1, 0.5), {})

    # parse_modifiers.
    text = ("from: machine learning to: deep learning recent:30 diverse limit:+5 like:a,,b, "
            "unlike:x local_communities detect_communities recent:-2 limit:x \u00a0 " * 4)
    c["parse/full"] = ("ok", parse, (text,), {})
    c["parse/keyword"] = ("ok", parse, (), dict(modifier_str="like:" + ",".join(ids[:300])))
    c["parse/none"] = ("ok", parse, (None,), {})
    c["parse/too_many_positional"] = ("TypeError", parse, (text, text), {})
    c["parse/unknown_keyword"] = ("TypeError", parse, (), dict(text=text))
    c["parse/multiple_values"] = ("TypeError", parse, (text,), dict(modifier_str=text))
    c["parse/bytes"] = ("TypeError", parse, (text.encode(),), {})
    c["parse/unencodable"] = ("UnicodeEncodeError", parse, (text + "\udc80",), {})
    return c


# ---------------------------------------------------------------------------------------------
# The child process.

class MallInfo2(ctypes.Structure):
    _fields_ = [(f, ctypes.c_size_t) for f in ("arena", "ordblks", "smblks", "hblks", "hblkhd",
                                               "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")]


def heap_in_use_reader():
    """Bytes of C heap in use, or None where glibc's counters do not see the allocator (under
    AddressSanitizer, which brings its own)."""
    if "asan" in os.environ.get("LD_PRELOAD", ""):
        return None
    libc = ctypes.CDLL(None)
    libc.mallinfo2.restype = MallInfo2

    def read():
        info = libc.mallinfo2()
        return info.uordblks + info.hblkhd
    return read


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def tracked(args, kwargs):
    """Every input object, with the items of the input containers."""
    out = []
    for obj in list(args) + list(kwargs.values()):
        out.append(obj)
        if isinstance(obj, collections.UserList):
            out.extend(obj.data)
        elif isinstance(obj, (list, tuple)):
            out.extend(obj)
        elif isinstance(obj, dict):
            out.extend(obj.keys())
            out.extend(obj.values())
    return out


def outcome(call):
    try:
        call()
    except BaseException as e:  # noqa: BLE001 - the internal failure is a BaseException
        return type(e).__name__
    return "ok"


class silenced_stderr:
    """Internal failures write a report to fd 2 on every call: send it to /dev/null."""

    def __enter__(self):
        sys.stderr.flush()
        self.saved = os.dup(2)
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, 2)
        os.close(devnull)

    def __exit__(self, *exc):
        os.dup2(self.saved, 2)
        os.close(self.saved)


def repeat(call, n):
    for _ in range(n):
        try:
            call()
        except BaseException:  # noqa: BLE001
            pass


def measure(call, objs, heap):
    """Growth over ITERATIONS calls after a warm-up: reference counts of `objs`, Python blocks,
    C heap in use and resident memory."""
    first = outcome(call)
    repeat(call, WARMUP)
    gc.collect()
    refs0 = [sys.getrefcount(o) for o in objs]
    blocks0, heap0, rss0 = sys.getallocatedblocks(), heap and heap(), rss_bytes()
    repeat(call, ITERATIONS)
    last = outcome(call)
    gc.collect()
    blocks1, heap1, rss1 = sys.getallocatedblocks(), heap and heap(), rss_bytes()
    refs1 = [sys.getrefcount(o) for o in objs]
    return {
        "outcomes": [first, last],
        "ref_changes": [[type(o).__name__, b - a] for o, a, b in zip(objs, refs0, refs1) if a != b],
        "tracked": len(objs),
        "blocks": blocks1 - blocks0,
        "heap": None if heap is None else heap1 - heap0,
        "rss": rss1 - rss0,
    }


def grew(r):
    return (r["blocks"] > MAX_BLOCKS_GROWTH or (r["heap"] or 0) > MAX_HEAP_GROWTH
            or r["rss"] > MAX_RSS_GROWTH)


def child():
    heap = heap_in_use_reader()
    results = {}
    for name, (expect, fn, args, kwargs) in build_cases().items():
        call = functools.partial(fn, *args, **kwargs)
        objs = tracked(args, kwargs)
        quiet = expect == "InternalFailure"
        start = time.perf_counter()
        with silenced_stderr() if quiet else contextlib.nullcontext():
            r = measure(call, objs, heap)
            # A one-off allocation of the interpreter or the allocator (a cache filled, an arena
            # split) can land in one loop; a leak grows again over a second one.
            if grew(r):
                r = measure(call, objs, heap)
        results[name] = {**r, "seconds": time.perf_counter() - start}
    json.dump(results, sys.stdout)


# ---------------------------------------------------------------------------------------------
# The tests.

CASES = build_cases()


@pytest.fixture(scope="module")
def measured():
    env = dict(os.environ)
    if "asan" in env.get("LD_PRELOAD", ""):
        # AddressSanitizer holds freed memory in a quarantine, which would read as growth.
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":quarantine_size_mb=0"
    proc = subprocess.run([sys.executable, __file__], capture_output=True, text=True, env=env,
                          cwd=os.path.dirname(__file__), timeout=600)
    assert proc.returncode == 0, proc.stderr[-5000:]
    return json.loads(proc.stdout)


@pytest.mark.parametrize("name", list(CASES))
def test_flat(measured, name):
    r = measured[name]
    expect = CASES[name][0]
    assert r["outcomes"] == [expect, expect], "the loop did not exercise the intended path"
    assert r["ref_changes"] == [], f"reference counts changed over {ITERATIONS} calls"
    assert r["tracked"] >= 1
    assert r["blocks"] <= MAX_BLOCKS_GROWTH, r
    if r["heap"] is not None:
        assert r["heap"] <= MAX_HEAP_GROWTH, r
    # Under AddressSanitizer its allocator's caches and shadow pages move RSS by about a megabyte
    # on their own; the reference counts and block counts above still catch a leak there.
    sanitized = "asan" in os.environ.get("LD_PRELOAD", "")
    assert r["rss"] <= MAX_RSS_GROWTH * (4 if sanitized else 1), r


if __name__ == "__main__":
    child()
