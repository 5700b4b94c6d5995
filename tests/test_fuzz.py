"""Random-argument fuzzing of the three functions at the Python level.

Each call gets random types, values, shapes, strides and dtypes: ints, floats, None, strs,
bytes, lists, dicts, sets, arrays of every dtype and number of dimensions, NumPy scalars, and
objects whose __index__, __float__, __len__ or __iter__ raise or change things. Mostly a valid
call with one or two arguments replaced, so that the calls reach deep into the functions;
sometimes with binding errors. Every outcome must be
- a result of the documented form, or
- an exception of the documented kinds: TypeError (named after its parameter or a binding
  message), OverflowError, UnicodeEncodeError, the ValueError of the query's dimension,
  MemoryError, the internal failure (InternalFailure of native_runtime), or the exception that
  a caller's own object raised (the fuzzer's objects, or a NumPy array's own __float__);
and no caller array is ever written (its whole buffer's checksum is unchanged).

The suite runs a short seeded run. QUORVEL_FUZZ_SECONDS=N runs for N seconds instead, with new
seeds, and prints the counts of outcomes. The cases the fuzzer found worth keeping follow at the
end: caller code that changes the dict being converted, and lengths that overstate.
"""

import collections
import math
import operator
import os
import re
import time
import warnings
import zlib

import numpy as np
import pytest

import _quorvel
import modifier_reference

SHORT_RUN_CALLS = 4000
SECONDS = float(os.environ.get("QUORVEL_FUZZ_SECONDS", "0"))

PARAMS = {
    "score_candidates": ["matrix", "ids", "id_to_idx", "query_vec", "timestamps", "pre_filter_ids",
                         "not_like_vec", "diverse", "limit", "oversample", "threshold", "mmr_lambda",
                         "recent", "recent_days", "like_ids", "traj_from_vec", "traj_to_vec", "mask"],
    "mmr_select_py": ["candidates", "similarities", "matrix", "k", "lambda_"],
    "parse_modifiers": ["modifier_str"],
}
DIMENSION_ERROR = re.compile(r"Query vector dimension \d+ doesn't match cache dimension \d+")
MODIFIER_WORDS = ["recent", "recent:", "diverse", "limit:", "like:", "unlike:", "from:", " to:",
                  "local_communities", "detect_communities", ",", " ", "\t", "\u00a0", "\u3000",
                  "7", "-3", "+2", "18446744073709551616", "x", "\u00e9", "\x00", "a,b"]


class Evil(Exception):
    """Raised by the fuzzer's own objects; allowed to come out of a call unchanged."""


class EvilIndex:
    """__index__ that raises, returns a non-int, returns out-of-range ints or changes a list."""

    def __init__(self, rng, victim):
        self.mode = int(rng.integers(5))
        self.victim = victim

    def __index__(self):
        if self.mode == 0:
            raise Evil("__index__")
        if self.mode == 1:
            return "not an int"
        if self.mode == 2:
            return -5
        if self.mode == 3:
            # New str objects in place of the old ones, which are freed if nothing else holds them.
            self.victim[:] = [f"replaced-{i}" for i in range(len(self.victim))]
            self.victim.append("mutated")
            return 1
        return 2**70


class EvilFloat:
    def __init__(self, rng):
        self.mode = int(rng.integers(3))

    def __float__(self):
        if self.mode == 0:
            raise Evil("__float__")
        if self.mode == 1:
            return "not a float"
        return math.nan


class EvilSequence:
    """A sequence (it has __getitem__ and __len__) whose protocol misbehaves: __len__ raises or
    overstates, __getitem__ or __iter__ raise."""

    def __init__(self, rng, items):
        self.mode = int(rng.integers(5))
        self.items = list(items)

    def __len__(self):
        if self.mode == 0:
            raise Evil("__len__")
        return len(self.items) + {1: 10**6, 4: 2**62}.get(self.mode, 0)

    def __getitem__(self, i):
        if self.mode == 2 and i == len(self.items) // 2:
            raise Evil("__getitem__")
        return self.items[i]

    def __iter__(self):
        if self.mode == 3:
            raise Evil("__iter__")
        for i, item in enumerate(self.items):
            if self.mode == 2 and i == len(self.items) // 2:
                raise Evil("__iter__ midway")
            yield item


class StrSub(str):
    def __eq__(self, other):
        return True

    def __hash__(self):
        return 1


class DictSub(dict):
    def __iter__(self):
        raise Evil("dict __iter__")

    def items(self):
        raise Evil("dict items")


class ArraySub(np.ndarray):
    pass


DTYPES = [np.bool_, np.int8, np.uint8, np.int16, np.int32, np.int64, np.uint64, np.float16,
          np.float32, np.float64, np.complex64, ">f4", ">f8", "<U3", "S2", object, "datetime64[s]",
          [("x", np.float32), ("pad", np.uint8)]]


class Generator:
    """Random argument values. Every NumPy array it makes is recorded with its buffer's checksum."""

    def __init__(self, seed):
        self.rng = np.random.default_rng(seed)
        self.buffers = []  # (owning array, checksum when made)
        self.evil = False
        self.victim = []

    def choice(self, options):
        return options[int(self.rng.integers(len(options)))]

    def record(self, array):
        owner = array
        while isinstance(owner.base, np.ndarray):
            owner = owner.base
        if owner.base is None:
            self.buffers.append((owner, zlib.crc32(owner.tobytes())))
        return array

    # -- arrays ---------------------------------------------------------------------------
    def fill(self, dtype, shape):
        dt = np.dtype(dtype)
        r = self.rng
        if dt.kind == "b":
            return np.asarray(r.random(shape) < 0.6)
        if dt.kind in "iu":
            return np.asarray(r.integers(0, 5, size=shape)).astype(dt)
        if dt.kind in "fc":
            a = np.asarray(r.standard_normal(shape), np.float64)
            special = np.asarray(r.random(shape))
            a[special < 0.03] = np.nan
            a[(special >= 0.03) & (special < 0.05)] = np.inf
            a[(special >= 0.05) & (special < 0.07)] = 0
            return a.astype(dt)
        if dt.kind == "U":
            return np.array(r.choice(["a", "d1", "", "\u00e9x"], size=shape)).astype(dt)
        if dt.kind == "S":
            return np.array(r.choice(["a", "d1", ""], size=shape)).astype(dt)
        if dt.kind == "O":
            out = np.empty(shape, object)
            out.flat[:] = [self.choice(["d0", 1, None, 2.5]) for _ in range(out.size)]
            return out
        if dt.kind == "M":
            return np.asarray(r.integers(0, 10**9, size=shape)).astype(dt)
        if dt.kind == "V":
            out = np.zeros(shape, dt)
            out["x"] = np.asarray(r.standard_normal(shape))
            return out
        raise AssertionError(dt)

    def arrange(self, a):
        """`a` in a random memory layout (copies that are then viewed, never written later)."""
        kind = self.choice(["C", "C", "F", "reversed", "strided", "broadcast", "unaligned", "readonly",
                            "subclass", "odd_stride"])
        if a.ndim == 0:
            kind = self.choice(["C", "readonly", "subclass"])
        full = (slice(None, None, -1),) * a.ndim
        if kind == "F":
            out = np.asfortranarray(a)
        elif kind == "reversed":
            out = a[full].copy()[full]
        elif kind == "strided":
            big = np.zeros([2 * s + 1 for s in a.shape], a.dtype)
            out = big[(slice(1, None, 2),) * a.ndim]
            out[...] = a
        elif kind == "broadcast" and a.ndim >= 1 and a.shape[0] > 0:
            out = np.broadcast_to(a[:1], a.shape)
        elif kind == "unaligned" and a.dtype.kind in "biufc" and a.ndim >= 1:
            raw = np.zeros(a.nbytes + 1, np.uint8)
            out = raw[1:].view(a.dtype).reshape(a.shape)
            out[...] = a
        elif kind == "readonly":
            out = a.copy()
            out.flags.writeable = False
        elif kind == "subclass":
            out = a.copy().view(ArraySub)
        elif kind == "odd_stride" and a.dtype == np.float32 and a.ndim == 2:
            rec = np.zeros(a.size, dtype=[("x", np.float32), ("pad", np.uint8)])
            rec["x"] = a.ravel()
            out = rec["x"].reshape(a.shape)
        else:
            out = np.ascontiguousarray(a)
        return self.record(out)

    def array(self, dtype=None, shape=None):
        if dtype is None:
            dtype = self.choice(DTYPES)
        if shape is None:
            ndim = self.choice([0, 1, 1, 2, 2, 3])
            shape = tuple(int(self.rng.integers(0, 5)) for _ in range(ndim))
        return self.arrange(self.fill(dtype, shape))

    # -- any value --------------------------------------------------------------------------
    def value(self, depth=0):
        r = self.rng
        kind = self.choice(["int", "float", "none", "str", "bytes", "list", "tuple", "dict", "set",
                            "range", "iterator", "np_scalar", "array", "array", "evil"])
        if depth > 1 and kind in ("list", "tuple", "dict", "set", "array", "evil"):
            kind = "int"
        if kind == "int":
            return self.choice([0, 1, -1, 3, True, False, 2**63, 2**64 - 1, 2**64, -(2**70),
                                int(r.integers(-10, 100))])
        if kind == "float":
            return self.choice([0.0, -0.0, 0.5, 1.0, -1.0, math.nan, math.inf, -math.inf, 1e300,
                                5e-324, float(r.normal())])
        if kind == "none":
            return None
        if kind == "str":
            return self.text()
        if kind == "bytes":
            return self.choice([b"", b"d0", bytearray(b"x"), memoryview(b"ab")])
        if kind in ("list", "tuple", "set"):
            items = [self.value(depth + 1) for _ in range(int(r.integers(0, 4)))]
            if kind == "set":
                return {i for i in items if isinstance(i, (int, float, str, bytes, type(None)))}
            return items if kind == "list" else tuple(items)
        if kind == "dict":
            return {self.text(): self.value(depth + 1) for _ in range(int(r.integers(0, 3)))}
        if kind == "range":
            return range(int(r.integers(0, 5)))
        if kind == "iterator":
            return iter([0, 1])
        if kind == "np_scalar":
            return self.choice([np.float32(0.5), np.float64(2.0), np.int64(3), np.uint8(1), np.True_,
                                np.False_, np.str_("d1"), np.float32(np.nan), np.int8(-1)])
        if kind == "array":
            return self.array()
        return self.evil_value()

    def evil_value(self):
        self.evil = True
        return self.choice([lambda: EvilIndex(self.rng, self.victim), lambda: EvilFloat(self.rng),
                            lambda: EvilSequence(self.rng, ["d0", "d1", "d2"]),
                            lambda: EvilSequence(self.rng, [0, 1, 2]),
                            lambda: DictSub({"d0": 0}), lambda: StrSub("d1")])()

    def text(self):
        r = self.rng
        pieces = [self.choice(MODIFIER_WORDS + ["d0", "d1", "d2", "\ud800"]) for _ in range(int(r.integers(0, 6)))]
        return "".join(pieces)


# ---------------------------------------------------------------------------------------------
# Calls

# Rows this long (as zero-stride views) need more memory than any address space holds.
HUGE_DIMS = 2**46


def huge(g, shape):
    return np.broadcast_to(g.record(np.ones((1,) * len(shape), np.float32)), shape)


def valid_score_args(g):
    r = g.rng
    n, dims = int(r.integers(0, 12)), int(r.integers(0, 6))
    if r.random() < 0.02:
        return {"matrix": huge(g, (n, HUGE_DIMS)), "ids": [f"d{i}" for i in range(n)], "id_to_idx": {},
                "query_vec": huge(g, (HUGE_DIMS,))}
    matrix = g.arrange(g.fill(np.float32, (n, dims)))
    ids = [f"d{i}" for i in range(n)]
    id_to_idx = {d: i for i, d in enumerate(ids)}
    args = {"matrix": matrix, "ids": ids, "id_to_idx": id_to_idx,
            "query_vec": g.arrange(g.fill(np.float32, (dims,)))}
    optional = {
        "timestamps": lambda: g.arrange(time.time() - 86400 * r.uniform(-2, 100, n)),
        "pre_filter_ids": lambda: [g.choice(ids + ["zz"]) for _ in range(int(r.integers(0, 6)))] if ids else [],
        "not_like_vec": lambda: g.arrange(g.fill(np.float32, (dims,))),
        "diverse": lambda: g.choice([True, False, np.True_]),
        "limit": lambda: int(r.integers(0, 8)),
        "oversample": lambda: int(r.integers(0, 12)),
        "threshold": lambda: float(r.uniform(-0.5, 0.5)),
        "mmr_lambda": lambda: float(r.uniform(-0.5, 1.5)),
        "recent": lambda: g.choice([True, False]),
        "recent_days": lambda: g.choice([7.0, 0.0, None, 30]),
        "like_ids": lambda: [g.choice(ids + ["zz"]) for _ in range(int(r.integers(0, 3)))] if ids else [],
        "traj_from_vec": lambda: g.arrange(g.fill(np.float32, (g.choice([dims, 1]),))),
        "traj_to_vec": lambda: g.arrange(g.fill(np.float32, (g.choice([dims, 1]),))),
        "mask": lambda: g.arrange(g.fill(np.bool_, (n + int(r.integers(-1, 3)) if n else 0,))),
    }
    for name, make in optional.items():
        if r.random() < 0.35:
            args[name] = make()
    return args


def valid_mmr_args(g):
    r = g.rng
    rows, dims = int(r.integers(0, 10)), int(r.integers(0, 6))
    if r.random() < 0.02:
        dims = HUGE_DIMS
    candidates = [int(c) for c in r.integers(0, max(rows, 1), size=int(r.integers(0, 12)))] if rows else []
    return {"candidates": g.choice([lambda: candidates, lambda: tuple(candidates),
                                    lambda: g.arrange(np.array(candidates, np.int64))])(),
            "similarities": g.arrange(g.fill(np.float32, (rows + int(r.integers(0, 2)),))),
            "matrix": huge(g, (rows, dims)) if dims == HUGE_DIMS else g.arrange(g.fill(np.float32, (rows, dims))),
            "k": int(r.integers(0, 6)), "lambda_": float(r.uniform(-0.5, 1.5))}


def make_call(g):
    """(function name, positional args, keyword args) for one fuzz call."""
    r = g.rng
    name = g.choice(["score_candidates"] * 5 + ["mmr_select_py"] * 3 + ["parse_modifiers"] * 2)
    params = PARAMS[name]
    if name == "score_candidates":
        args = valid_score_args(g)
    elif name == "mmr_select_py":
        args = valid_mmr_args(g)
    else:
        args = {"modifier_str": g.text()} if r.random() < 0.8 else {}
    # A misbehaving __index__ may change the identifier or candidate list being converted.
    for victim in ("ids", "candidates"):
        if type(args.get(victim)) is list:
            g.victim = args[victim]
    # Replace one or two arguments with anything at all.
    for _ in range(int(r.integers(1, 3)) if r.random() < (0.3 if name == "parse_modifiers" else 0.7) else 0):
        args[g.choice(params)] = g.value()
    # Pass a prefix by position and the rest by keyword, in random order.
    ordered = [p for p in params if p in args]
    split = 0
    while split < len(ordered) and ordered[split] == params[split] and r.random() < 0.7:
        split += 1
    positional = [args[p] for p in ordered[:split]]
    keywords = {p: args[p] for p in ordered[split:]}
    keys = list(keywords)
    r.shuffle(keys)
    keywords = {k: keywords[k] for k in keys}
    # Binding errors now and then.
    roll = r.random()
    if roll < 0.03:
        positional = positional + [None] * (len(params) + 1 - len(positional))
    elif roll < 0.06:
        keywords[g.choice(["k", "Matrix", "lambda", "modifier", "\u00e9"])] = 1
    elif roll < 0.09 and positional:
        keywords[params[0]] = positional[0]
    return name, positional, keywords


def check_result(name, result, positional, keywords, before):
    """`before` maps id() of each list or tuple argument to its items as they were passed, which
    is what the call sees even when caller code changes the list during the call."""
    args = dict(zip(PARAMS[name], positional), **keywords)
    if name == "score_candidates":
        assert type(result) is list
        for row in result:
            assert type(row) is dict and list(row) == ["id", "score"]
            assert type(row["id"]) is str and type(row["score"]) is float
            score = row["score"]
            assert not math.isfinite(score) or abs(score * 10000 - round(score * 10000)) < 1e-6 * max(1, abs(score) * 1e4)
        limit = args.get("limit", 10)
        if isinstance(limit, int) and not isinstance(limit, bool) and limit >= 1:
            assert len(result) <= limit
        ids = before.get(id(args["ids"]), args["ids"])
        if type(ids) in (list, tuple) and all(type(i) is str for i in ids):
            assert {row["id"] for row in result} <= set(ids), (result, ids)
    elif name == "mmr_select_py":
        assert type(result) is list
        candidates = (list(before.get(id(args["candidates"]), args["candidates"]))
                      if not isinstance(args["candidates"], EvilSequence) else None)
        for pick in result:
            assert type(pick) is tuple and len(pick) == 2
            assert type(pick[0]) is int and type(pick[1]) is float
        if candidates is not None and all(isinstance(c, (int, np.integer)) for c in candidates):
            picked = collections.Counter(i for i, _ in result)
            offered = collections.Counter(int(c) for c in candidates)
            assert not picked - offered, (result, candidates)
            assert len(result) <= len(candidates)
    else:
        assert type(result) is dict and list(result) == list(modifier_reference.defaults())
        text = args.get("modifier_str")
        if text is None or type(text) is str:
            assert result == modifier_reference.parse(text), text


DOUBLE_PARAMS = {"threshold", "mmr_lambda", "recent_days", "lambda_"}
INDEX_PARAMS = {"limit", "oversample", "k"}


def own_conversion_raises(args, e):
    """Whether converting one of the caller's values with its own __float__ or __index__ raises
    an exception of e's type and message (NumPy arrays have their own, for instance)."""
    tries = []
    for p, v in args.items():
        if p in DOUBLE_PARAMS:
            tries.append((float, v))
        elif p in INDEX_PARAMS:
            tries.append((operator.index, v))
        elif p == "candidates" and type(v) in (list, tuple):
            tries += [(operator.index, item) for item in v]
        elif p == "id_to_idx" and type(v) is dict:
            tries += [(operator.index, item) for item in v.values()]
    for convert, value in tries:
        try:
            convert(value)
        except Exception as own:  # noqa: BLE001
            if type(own) is type(e) and str(own) == str(e):
                return True
    return False


def check_exception(name, e, evil, args):
    t = type(e)
    if t.__name__ == "InternalFailure" and t.__module__ == "native_runtime":
        assert not isinstance(e, Exception) and len(e.args) == 1 and type(e.args[0]) is str
        return "InternalFailure"
    if isinstance(e, Evil):
        assert evil, "a caller object's exception without a caller object"
        return "Evil"
    if isinstance(e, UnicodeEncodeError):
        return "UnicodeEncodeError"
    if t is TypeError:
        message = str(e)
        named = any(message.startswith(f"argument '{p}': ") for p in PARAMS[name])
        assert named or message.startswith(f"{name}() "), message
        return "TypeError"
    if t is ValueError and DIMENSION_ERROR.fullmatch(str(e)):
        return "ValueError"
    if own_conversion_raises(args, e):
        return "own conversion"
    if t in (OverflowError, MemoryError):
        return t.__name__
    raise AssertionError(f"undocumented exception {t.__module__}.{t.__name__}: {e!r}")


def fuzz_one(seed, counts):
    g = Generator(seed)
    name, positional, keywords = make_call(g)
    containers = [(c, list(c)) for c in list(positional) + list(keywords.values()) if type(c) in (list, tuple)]
    try:
        result = getattr(_quorvel, name)(*positional, **keywords)
    except BaseException as e:  # noqa: BLE001 - the internal failure is a BaseException
        if isinstance(e, (KeyboardInterrupt, SystemExit)):
            raise
        kind = check_exception(name, e, g.evil, dict(zip(PARAMS[name], positional), **keywords))
    else:
        check_result(name, result, positional, keywords, {id(c): items for c, items in containers})
        kind = "ok"
    counts[f"{name}: {kind}"] += 1
    for owner, checksum in g.buffers:
        assert zlib.crc32(owner.tobytes()) == checksum, f"seed {seed}: a caller array was written"
    if not g.evil:
        for container, items in containers:
            assert len(container) == len(items) and all(a is b for a, b in zip(container, items)), seed


def run(seeds):
    counts = collections.Counter()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # NumPy's deprecation warnings for some conversions
        for seed in seeds:
            try:
                fuzz_one(seed, counts)
            except AssertionError as e:
                raise AssertionError(f"fuzz seed {seed}: {e}") from e
    return counts


def test_short_seeded_run():
    counts = run(range(SHORT_RUN_CALLS))
    # The run reaches every function's body and each kind of outcome.
    for name in PARAMS:
        assert counts[f"{name}: ok"] > 0, counts
    for kind in ("TypeError", "OverflowError", "InternalFailure", "Evil", "MemoryError"):
        assert sum(v for k, v in counts.items() if k.endswith(kind)) > 0, counts


@pytest.mark.skipif(SECONDS <= 0, reason="set QUORVEL_FUZZ_SECONDS to fuzz for that long")
def test_timed_run():
    start, counts, block = time.monotonic(), collections.Counter(), 0
    base = int(time.time())
    while time.monotonic() - start < SECONDS:
        counts += run(range(base + block * 1000, base + (block + 1) * 1000))
        block += 1
    total = sum(counts.values())
    print(f"\nfuzz: {total} calls in {time.monotonic() - start:.0f} s, seeds {base}..{base + block * 1000 - 1}")
    for key, value in sorted(counts.items()):
        print(f"  {key}: {value}")


# ---------------------------------------------------------------------------------------------
# Conversions that run the caller's code, which changes the containers being converted. Each
# dict entry is converted once, in order; what a later change does to the caller's dict is not
# seen by the call. (Under `make sanitize` objects are allocated with malloc, so that a value
# the module reads after the caller's code dropped it shows as a use after free.)

class Mutating:
    """An __index__ that runs `change`, then returns 0."""

    def __init__(self, change):
        self.change = change

    def __index__(self):
        self.change()
        return 0


def mutated_map(change):
    d = {"b": 1}
    d["a"] = Mutating(lambda: change(d))
    return d


MATRIX2 = np.eye(2, dtype=np.float32)


@pytest.mark.parametrize("change, pre_filter, expected", [
    # The value being converted replaces itself: the row is what its __index__ returned.
    (lambda d: d.__setitem__("a", 1), ["a"], ["a"]),
    (lambda d: d.__setitem__("a", "x"), ["a", "b"], ["a", "b"]),
    # An entry already walked keeps the value it was converted with.
    (lambda d: d.__setitem__("b", 0), ["b"], ["b"]),
    (lambda d: d.__setitem__("b", "x"), ["b"], ["b"]),
], ids=["own_value_int", "own_value_str", "earlier_value_int", "earlier_value_str"])
def test_index_changing_the_dict_being_converted(change, pre_filter, expected):
    d = mutated_map(change)
    got = _quorvel.score_candidates(MATRIX2, ["a", "b"], d, np.ones(2, np.float32), pre_filter_ids=pre_filter)
    assert sorted(r["id"] for r in got) == expected
    # Without identifiers to resolve, the entries are only checked.
    d = mutated_map(change)
    assert len(_quorvel.score_candidates(MATRIX2, ["a", "b"], d, np.ones(2, np.float32))) == 2


def test_later_conversion_changing_the_map():
    d = {"a": 0, "b": 1}

    class Limit:
        def __index__(self):
            d["a"] = 1
            d["new"] = 0
            return 5

    got = _quorvel.score_candidates(MATRIX2, ["a", "b"], d, np.ones(2, np.float32),
                                    pre_filter_ids=["a", "new"], limit=Limit())
    assert got == [{"id": "a", "score": 0.7071}]


class Overstated:
    """A sequence whose __len__ claims far more items than iteration yields."""

    def __init__(self, items, length):
        self.items, self.length = items, length

    def __len__(self):
        return self.length

    def __getitem__(self, i):
        return self.items[i]


@pytest.mark.parametrize("length", [0, 10**6, 2**40, 2**62, 2**63 - 1])
def test_length_is_only_a_hint(length):
    # The length only reserves room: the items are what iteration yields.
    sims, matrix = np.array([0.5, 0.25], np.float32), np.eye(2, dtype=np.float32)
    assert _quorvel.mmr_select_py(Overstated([1, 0], length), sims, matrix, 5, 1.0) == [(1, 0.25), (0, 0.5)]
    got = _quorvel.score_candidates(matrix, Overstated(["a", "b"], length), {"a": 0, "b": 1},
                                    np.array([0, 1], np.float32), pre_filter_ids=Overstated(["b"], length))
    assert got == [{"id": "b", "score": 1.0}]
