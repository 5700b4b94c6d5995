"""Conversion of argument values: accepted forms, exact refusals, and array views of every layout."""

import sys
import threading
import warnings

import numpy as np
import pytest

from _quorvel import mmr_select_py, parse_modifiers, score_candidates

from conftest import internal_failure, unit_rows

M = np.eye(3, dtype=np.float32)
Q = np.array([1, 0, 0], dtype=np.float32)
IDS = ["a", "b", "c"]
MAP = {"a": 0, "b": 1, "c": 2}


def call(**over):
    args = dict(matrix=M, ids=IDS, id_to_idx=MAP, query_vec=Q)
    args.update(over)
    return score_candidates(**args)


class NoBool:
    pass


@pytest.mark.parametrize("over, message", [
    ({"matrix": M.astype(np.float64)}, "argument 'matrix': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
    ({"matrix": M.tolist()}, "argument 'matrix': 'list' object cannot be converted to 'PyArray<T, D>'"),
    ({"matrix": Q}, "argument 'matrix': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
    ({"matrix": None}, "argument 'matrix': 'NoneType' object cannot be converted to 'PyArray<T, D>'"),
    ({"query_vec": Q.astype(np.float64)}, "argument 'query_vec': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
    ({"query_vec": [1.0, 0.0, 0.0]}, "argument 'query_vec': 'list' object cannot be converted to 'PyArray<T, D>'"),
    ({"query_vec": Q[None, :]}, "argument 'query_vec': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
    ({"query_vec": np.array(1, np.float32)}, "argument 'query_vec': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
    ({"query_vec": Q.astype(">f4")}, "argument 'query_vec': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
    ({"ids": "abc"}, "argument 'ids': Can't extract `str` to `Vec`"),
    ({"ids": ["a", 1, "c"]}, "argument 'ids': 'int' object cannot be converted to 'PyString'"),
    ({"ids": {"a", "b"}}, "argument 'ids': 'set' object cannot be converted to 'Sequence'"),
    ({"ids": (x for x in IDS)}, "argument 'ids': 'generator' object cannot be converted to 'Sequence'"),
    ({"id_to_idx": [("a", 0)]}, "argument 'id_to_idx': 'list' object cannot be converted to 'PyDict'"),
    ({"id_to_idx": {"a": 0, 1: 1}}, "argument 'id_to_idx': 'int' object cannot be converted to 'PyString'"),
    ({"id_to_idx": {"a": 0.0}}, "argument 'id_to_idx': 'float' object cannot be interpreted as an integer"),
    ({"timestamps": np.zeros(3, np.float32)}, "argument 'timestamps': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
    ({"pre_filter_ids": {"a"}}, "argument 'pre_filter_ids': 'set' object cannot be converted to 'Sequence'"),
    ({"pre_filter_ids": frozenset({"a"})}, "argument 'pre_filter_ids': 'frozenset' object cannot be converted to 'Sequence'"),
    ({"pre_filter_ids": {"a": 1}}, "argument 'pre_filter_ids': 'dict' object cannot be converted to 'Sequence'"),
    ({"like_ids": "a"}, "argument 'like_ids': Can't extract `str` to `Vec`"),
    ({"mask": np.ones(3, np.int8)}, "argument 'mask': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
    ({"mask": [True, True, True]}, "argument 'mask': 'list' object cannot be converted to 'PyArray<T, D>'"),
    ({"diverse": None}, "argument 'diverse': 'NoneType' object cannot be converted to 'PyBool'"),
    ({"diverse": 1}, "argument 'diverse': 'int' object cannot be converted to 'PyBool'"),
    ({"recent": np.int8(1)}, "argument 'recent': 'int8' object cannot be converted to 'PyBool'"),
    ({"limit": 3.0}, "argument 'limit': 'float' object cannot be interpreted as an integer"),
    ({"limit": None}, "argument 'limit': 'NoneType' object cannot be interpreted as an integer"),
    ({"oversample": "5"}, "argument 'oversample': 'str' object cannot be interpreted as an integer"),
    ({"threshold": None}, "argument 'threshold': must be real number, not NoneType"),
    ({"mmr_lambda": "x"}, "argument 'mmr_lambda': must be real number, not str"),
    ({"recent_days": "7"}, "argument 'recent_days': must be real number, not str"),
    ({"not_like_vec": np.zeros((1, 3), np.float32)}, "argument 'not_like_vec': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
    ({"traj_to_vec": 3}, "argument 'traj_to_vec': 'int' object cannot be converted to 'PyArray<T, D>'"),
    # Conversion runs in parameter order: the first bad argument is the one reported.
    ({"matrix": None, "mask": [1]}, "argument 'matrix': 'NoneType' object cannot be converted to 'PyArray<T, D>'"),
])
def test_refusals_name_the_parameter(over, message):
    with pytest.raises(TypeError) as info:
        call(**over)
    assert str(info.value) == message
    assert info.value.__cause__ is None


@pytest.mark.parametrize("over", [{"limit": -1}, {"oversample": 2**64}, {"id_to_idx": {"a": -1}},
                                  {"threshold": 10**400}])
def test_overflow_is_unprefixed(over):
    with pytest.raises(OverflowError) as info:
        call(**over)
    assert "argument" not in str(info.value)


def test_unencodable_text_is_unprefixed():
    with pytest.raises(UnicodeEncodeError):
        call(ids=["a", "\ud800", "c"])
    with pytest.raises(UnicodeEncodeError):
        parse_modifiers("\udfff")


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class Floaty:
    def __float__(self):
        return 0.25


class Raises:
    def __index__(self):
        raise ValueError("no index here")

    def __float__(self):
        raise ValueError("no float here")


def test_exceptions_from_caller_code_pass_through():
    with pytest.raises(ValueError, match="^no index here$"):
        call(limit=Raises())
    with pytest.raises(ValueError, match="^no float here$"):
        call(mmr_lambda=Raises())


class BadTypeError(TypeError):
    pass


class RaisesTypeErrorSubclass:
    def __index__(self):
        raise BadTypeError("sub")


def test_type_error_subclass_is_not_renamed():
    with pytest.raises(BadTypeError) as info:
        call(limit=RaisesTypeErrorSubclass())
    assert str(info.value) == "sub"


class BadStr:
    def __str__(self):
        raise RuntimeError("cannot print")


def test_unprintable_type_error(monkeypatch):
    seen = []
    monkeypatch.setattr("sys.unraisablehook", lambda u: seen.append(u.exc_type))

    class RaisesUnprintable:
        def __index__(self):
            raise TypeError(BadStr())

    with pytest.raises(TypeError) as info:
        call(limit=RaisesUnprintable())
    assert str(info.value) == "argument 'limit': <unprintable TypeError object>"
    assert seen == [RuntimeError]


def test_cause_of_renamed_type_error_is_kept():
    class Chained:
        def __index__(self):
            try:
                raise KeyError("inner")
            except KeyError as inner:
                raise TypeError("outer") from inner

    with pytest.raises(TypeError) as info:
        call(limit=Chained())
    assert str(info.value) == "argument 'limit': outer"
    assert isinstance(info.value.__cause__, KeyError)


@pytest.mark.parametrize("value, expected", [
    (True, 1), (False, 0), (np.int64(2), 2), (Index(3), 3), (2**64 - 1, 2**64 - 1)])
def test_unsigned_accepts(value, expected):
    out = mmr_select_py(list(range(3)), np.ones(3, np.float32), M, value, 1.0)
    assert len(out) == min(max(expected, 1), 3)


@pytest.mark.parametrize("value, expected", [
    (3, 3.0), (np.float64(0.5), 0.5), (Floaty(), 0.25), (True, 1.0), (Index(1), 1.0), (-1.0, -1.0)])
def test_double_accepts(value, expected):
    assert mmr_select_py([0], np.full(3, 2, np.float32), M, 1, value) == [(0, 2.0 * expected)]


def test_float32_rounding_and_overflow():
    # 1e300 narrows to +inf: every score is below it, so nothing passes the threshold.
    assert call(threshold=1e300) == []
    # A threshold that rounds to the float32 just above 1.0 drops even the perfect match.
    assert call(threshold=1.0000001) == []
    assert [r["id"] for r in call(threshold=1)] == ["a"]


@pytest.mark.parametrize("flag", [True, False, np.True_, np.False_])
def test_bool_accepts_numpy_scalars(flag):
    res = call(diverse=flag, limit=1, oversample=3)
    assert res[0]["id"] == "a"


def test_none_means_omitted():
    base = call()
    assert call(timestamps=None, pre_filter_ids=None, not_like_vec=None, recent_days=None,
                like_ids=None, traj_from_vec=None, traj_to_vec=None, mask=None) == base


def test_sequences_of_text():
    base = call()
    assert call(ids=tuple(IDS)) == base
    assert call(ids=np.array(IDS)) == base
    res = call(pre_filter_ids=("b", "b", "zz"), query_vec=np.array([0, 1, 0], np.float32))
    assert [r["id"] for r in res] == ["b", "b"]

    class Sub(str):
        pass

    res = call(ids=[Sub("x"), "y", "z"])
    assert res[0]["id"] == "x" and type(res[0]["id"]) is str


def test_sequence_iteration_error_passes_through():
    class Broken:
        def __len__(self):
            raise RuntimeError("len is ignored")

        def __getitem__(self, i):
            if i == 1:
                raise LookupError("boom")
            if i > 1:
                raise IndexError
            return "a"

    with pytest.raises(LookupError, match="boom"):
        call(ids=Broken())


def test_dict_mutated_during_conversion_is_internal_failure():
    mapping = {}

    class Mutating:
        def __index__(self):
            mapping["new"] = 5
            return 0

    mapping.update({"a": Mutating(), "b": 1})
    with pytest.raises(BaseException) as info:
        call(id_to_idx=mapping)
    assert internal_failure(info.value)
    assert info.value.args[0] == "dictionary changed size during iteration"


def check_same(view):
    """`view` must score exactly as its contiguous copy does."""
    ids = [f"r{i}" for i in range(view.shape[0])]
    idx = {d: i for i, d in enumerate(ids)}
    q = np.linspace(-1, 1, view.shape[1]).astype(np.float32)
    got = score_candidates(view, ids, idx, q, limit=view.shape[0])
    want = score_candidates(np.ascontiguousarray(view), ids, idx, q, limit=view.shape[0])
    assert [r["id"] for r in got] == [r["id"] for r in want]
    np.testing.assert_allclose([r["score"] for r in got], [r["score"] for r in want], atol=1.01e-4)
    return got


BASE = np.random.default_rng(1).standard_normal((40, 24)).astype(np.float32)


def _unaligned(a):
    buf = np.zeros(a.nbytes + 1, np.uint8)
    out = buf[1:].view(np.float32).reshape(a.shape)
    out[...] = a
    return out


def _odd_stride(a):
    rec = np.zeros(a.shape[0] * a.shape[1], dtype=[("x", np.float32), ("pad", np.uint8)])
    rec["x"] = a.ravel()
    return rec["x"].reshape(a.shape)


@pytest.mark.parametrize("make", [
    lambda a: a,
    np.asfortranarray,
    lambda a: a[::-1],
    lambda a: a[:, ::-1],
    lambda a: a[::-2, ::-3],
    lambda a: a[:, ::2],
    lambda a: a[3:30:3, 1:20],
    lambda a: np.broadcast_to(a[0], a.shape),
    _unaligned,
    _odd_stride,
    lambda a: np.lib.stride_tricks.as_strided(a, shape=(a.shape[1], a.shape[0]), strides=(4, a.shape[1] * 4)),
])
def test_matrix_layouts_read_in_place(make):
    view = make(BASE)
    readonly = view.view()
    readonly.flags.writeable = False
    got = check_same(readonly)
    assert len(got) == view.shape[0]


@pytest.mark.parametrize("make", [lambda v: v, lambda v: v[::-1], lambda v: v[::3], _unaligned,
                                  lambda v: _odd_stride(v[None, :])[0]])
def test_vector_layouts(make):
    m = BASE[:, :12]
    ids = [f"r{i}" for i in range(m.shape[0])]
    idx = {d: i for i, d in enumerate(ids)}
    q = make(np.linspace(-1, 2, 36).astype(np.float32))[:12]
    got = score_candidates(m, ids, idx, q, limit=5)
    assert got == score_candidates(m, ids, idx, np.ascontiguousarray(q), limit=5)


class LoudStr(str):
    """A str subclass whose own hashing would never find anything in a dict."""

    def __hash__(self):
        return 12345

    def __eq__(self, other):
        return False


@pytest.mark.parametrize("mapping, lookup", [
    ({"a": 0, "b": 1, "c": 2}, ["c", "zz", "a", "a"]),                 # plain dict
    ({"a": 0, "b": Index(1), "c": np.uint8(2)}, ["c", "zz", "a", "a"]),  # values with __index__
    ({LoudStr("a"): 0, "b": 1, "c": 2}, ["c", "zz", "a", "a"]),        # a key of a str subclass
    ({"a": 0, "b": 1, "c": 2}, [LoudStr("c"), "zz", LoudStr("a"), "a"]),  # subclass identifiers
])
def test_identifiers_resolve_by_text(mapping, lookup):
    got = call(id_to_idx=mapping, pre_filter_ids=lookup, query_vec=np.array([1, 1, 1], np.float32))
    assert sorted(r["id"] for r in got) == ["a", "a", "c"]


def test_later_conversions_cannot_change_the_identifier_map():
    mapping = {"a": 0, "b": 1, "c": 2}

    class Meddling:
        def __index__(self):
            mapping.clear()
            mapping["b"] = 0
            IDS_COPY.clear()
            return 5

    IDS_COPY = list(IDS)
    got = call(ids=IDS_COPY, id_to_idx=mapping, pre_filter_ids=["b", "c"], limit=Meddling())
    assert sorted(r["id"] for r in got) == ["b", "c"]


class LenMeddling:
    """A sequence of identifiers whose __len__ runs `meddle` first."""

    def __init__(self, items, meddle):
        self.items, self.meddle = items, meddle

    def __len__(self):
        self.meddle()
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


@pytest.mark.parametrize("where", ["limit", "threshold", "id_to_idx", "pre_filter_ids", "nested"])
def test_identifier_lists_replaced_by_caller_code_during_the_call(where):
    # Python code run by a later conversion replaces every item of the identifier lists and
    # frees the old str objects: the call still sees the lists as they were converted.
    n = 40
    m = np.random.default_rng(3).standard_normal((n, 8)).astype(np.float32)
    def names():  # new str objects on every call
        return [f"row-{i}-" + "x" * (i % 5) for i in range(n)]
    expected = score_candidates(m, names(), dict(zip(names(), range(n))), m[0], limit=n,
                                pre_filter_ids=names()[:25], like_ids=names()[3:5])
    ids, pre, like = names(), names()[:25], names()[3:5]
    mapping = dict(zip(names(), range(n)))
    kept = []

    def meddle():
        # pre_filter_ids is replaced only where it was converted before the meddling.
        for lst in (ids,) if where in ("id_to_idx", "pre_filter_ids") else (ids, pre):
            lst[:] = [f"other-{j}" for j in range(len(lst))]
        kept.append([f"row-{i}-zzzz" for i in range(4 * n)])  # takes over the freed memory

    class Meddling:
        def __index__(self):
            meddle()
            if where == "nested":
                inner = names()
                class Inner:
                    def __index__(self):
                        inner[:] = ["gone"] * n
                        return 3
                got = score_candidates(m, inner, {}, m[1], limit=Inner())
                assert [r["id"] for r in got][0] == "row-1-x"
            return n if where != "id_to_idx" else 0

        def __float__(self):
            meddle()
            return 0.0

    args = dict(limit=n, pre_filter_ids=pre, like_ids=like)
    if where in ("limit", "nested"):
        args["limit"] = Meddling()
    elif where == "threshold":
        args["threshold"] = Meddling()
    elif where == "id_to_idx":
        mapping[next(iter(mapping))] = Meddling()
    else:
        args["pre_filter_ids"] = LenMeddling(pre[:], meddle)
    got = score_candidates(m, ids, mapping, m[0], **args)
    assert [r["id"] for r in got] == [r["id"] for r in expected]
    assert [r["score"] for r in got] == [r["score"] for r in expected]
    assert ids[0] == "other-0"  # the caller's code did run


# --- Arrays given new memory, shape, strides or dtype by caller code during the call ----------
# Caller code that a later conversion runs (or another thread that it lets in) replaces the
# buffer of an array converted before it, or changes its shape, strides or dtype in place. The
# call must read the arrays as they are once conversion is over: the same result (or the same
# exception) as the same call made afterwards on the changed arrays. The old buffers are freed,
# so a stale view reads freed memory (caught under `make sanitize`); the new contents differ, and
# a changed shape or strides gives other results, so a stale view is caught in the regular build.

ROWS, DIMS = 60, 16
SCORE_ARRAYS = ["matrix", "query_vec", "timestamps", "not_like_vec", "traj_from_vec", "traj_to_vec", "mask"]
MMR_ARRAYS = ["matrix", "similarities"]


def _fresh_values(dtype, shape, rng):
    if dtype == np.bool_:
        return rng.random(shape) < 0.7
    if dtype == np.float64:  # timestamps: undated or 1970, far enough that the clock cannot matter
        return np.where(rng.random(shape) < 0.5, 0.0, 1.0)
    return rng.standard_normal(shape).astype(dtype)


def _fresh_array(name, rng):
    dtype = {"timestamps": np.float64, "mask": np.bool_}.get(name, np.float32)
    shape = {"matrix": (ROWS, DIMS), "timestamps": (ROWS,), "mask": (ROWS,), "similarities": (ROWS,)}
    return _fresh_values(dtype, shape.get(name, (DIMS,)), rng)


def _set_state(a, scale):
    shape = (a.shape[0] * scale // 2,) + a.shape[1:]
    new = _fresh_values(a.dtype.type, shape, np.random.default_rng(99))
    a.__setstate__((1, shape, a.dtype, False, new.tobytes()))


def _set_attribute(a, name, value):
    with warnings.catch_warnings():  # assigning these is deprecated in newer NumPy
        warnings.simplefilter("ignore", DeprecationWarning)
        setattr(a, name, value)


CHANGES = {
    "setstate-smaller": lambda a: _set_state(a, 1),
    "setstate-same-size": lambda a: _set_state(a, 2),
    "setstate-larger": lambda a: _set_state(a, 4),
    "resize": lambda a: a.resize((a.shape[0] * 4,) + a.shape[1:], refcheck=False),
    "shape": lambda a: _set_attribute(a, "shape", (a.shape[0] * 2, a.shape[1] // 2) if a.ndim == 2
                                      else (2, a.shape[0] // 2)),
    "strides": lambda a: _set_attribute(a, "strides", (0,) + a.strides[1:]),
    "dtype": lambda a: _set_attribute(a, "dtype", {1: np.int8, 4: np.int32, 8: np.int64}[a.itemsize]),
}


class _Hook:
    """Runs `change` once, from the first of its conversion methods that is called."""

    def __init__(self, change, value):
        self.change, self.value, self.ran = change, value, False

    def _run(self):
        if not self.ran:
            self.ran = True
            self.change()
        return self.value

    def __index__(self):
        return self._run()

    def __float__(self):
        return self._run()

    def __bool__(self):
        return self._run()

    def __len__(self):
        return len(self.value)

    def __getitem__(self, i):
        return self.value[i]

    def __iter__(self):
        return iter(self._run())


# Passes the bool conversion's check for a NumPy boolean scalar, so that its __bool__ is called.
_NumpyBoolLookalike = type("bool_", (_Hook,), {"__module__": "numpy"})


def _in_other_thread(change):
    """A change made by another thread, which the hook lets run and waits for."""
    go, done = threading.Event(), threading.Event()

    def run():
        if go.wait(10):
            change()
            done.set()

    thread = threading.Thread(target=run)
    thread.start()

    def let_it_run():
        go.set()
        assert done.wait(10)

    return let_it_run, thread


def _outcome(call):
    try:
        return call()
    except BaseException as e:  # the internal-failure type derives from BaseException
        return type(e), str(e)


SCORE_HOOKS = {  # where the hook goes: (parameter, plain value, hook type)
    "index": ("limit", 5, _Hook),
    "float": ("mmr_lambda", 0.7, _Hook),
    "bool": ("recent", True, _NumpyBoolLookalike),
    "iterator": ("like_ids", ["d1", "d4"], _Hook),
    "dict-value": ("id_to_idx", 0, _Hook),  # the value of "d0"
    "thread": ("limit", 5, _Hook),
}
MMR_HOOKS = {"index": ("k", 4, _Hook), "float": ("lambda_", 0.6, _Hook), "thread": ("k", 4, _Hook)}


@pytest.mark.parametrize("function, array, change, hook", [
    *[("score_candidates", a, c, h) for a in SCORE_ARRAYS for c in CHANGES for h in SCORE_HOOKS],
    *[("mmr_select_py", a, c, h) for a in MMR_ARRAYS for c in CHANGES for h in MMR_HOOKS],
])
def test_arrays_changed_by_caller_code_during_conversion(function, array, change, hook):
    rng = np.random.default_rng(7)
    names = SCORE_ARRAYS if function == "score_candidates" else MMR_ARRAYS
    arrays = {name: _fresh_array(name, rng) for name in names}
    ids = [f"d{i}" for i in range(ROWS)]
    param, plain, hook_type = (SCORE_HOOKS if function == "score_candidates" else MMR_HOOKS)[hook]
    make_change = lambda: CHANGES[change](arrays[array])  # noqa: E731
    thread = None
    if hook == "thread":
        make_change, thread = _in_other_thread(make_change)
    hooked = hook_type(make_change, plain)

    def call(value):
        if function == "mmr_select_py":
            args = dict(candidates=list(range(0, ROWS // 2, 3)), k=4, lambda_=0.6, **arrays)
            args[param] = value
            return mmr_select_py(**args)
        args = dict(arrays, ids=ids, id_to_idx={d: i for i, d in enumerate(ids)}, diverse=True, limit=5,
                    oversample=20, mmr_lambda=0.7, recent=True, recent_days=30.0, like_ids=["d1", "d4"])
        if param == "id_to_idx":
            args["id_to_idx"]["d0"] = value
        else:
            args[param] = value
        return score_candidates(**args)

    got = _outcome(lambda: call(hooked))
    if thread is not None:
        thread.join()
    assert hooked.ran
    assert got == _outcome(lambda: call(plain))


# ---------------------------------------------------------------------------------------------
# The checks of `ids` and `id_to_idx` run while the matrix is scanned, a slice at a time, as long as
# they meet nothing that could run caller code. What a call raises, and the caller code it runs,
# must be what conversion in parameter order gives: a list subclass is always converted in that
# order (item by item, before `id_to_idx`), so the same call with its `ids` in one is the reference.

class InOrder(list):
    pass


WALK_ROWS = 1200  # scanned in chunks of 304 rows: the checks advance at 304, 608, 912 and 1200
WALK_M = unit_rows(np.random.default_rng(7), WALK_ROWS, 8)
WALK_Q = np.linspace(-1, 1, 8).astype(np.float32)
WALK_IDS = [f"w{i}" for i in range(WALK_ROWS)]
WALK_POSITIONS = sorted({at + d for at in (0, 304, 600, 608, 912, 1199) for d in (-2, -1, 0, 1, 2)} & set(range(WALK_ROWS)))


def outcome(fn):
    try:
        return "returned", fn()
    except BaseException as e:  # noqa: BLE001 - the internal failure is a BaseException
        return type(e), str(e)


def walk_call(ids, entries, **over):
    args = {"matrix": WALK_M, "ids": ids, "id_to_idx": dict(entries), "query_vec": WALK_Q, **over}
    return outcome(lambda: score_candidates(**args))


def in_order_call(ids, entries, **over):
    return walk_call(InOrder(ids), entries, **over)


class Logged:
    """An __index__ / __float__ that records its call."""

    def __init__(self, log, name, value):
        self.log, self.name, self.value = log, name, value

    def __index__(self):
        self.log.append(self.name)
        return self.value

    def __float__(self):
        self.log.append(self.name)
        return float(self.value)


class LoggedStr(str):
    """A str subclass whose hashing and equality record their calls: never to be called."""

    log = []

    def __hash__(self):
        LoggedStr.log.append("hash")
        return str.__hash__(self)

    def __eq__(self, other):
        LoggedStr.log.append("eq")
        return str.__eq__(self, other)


BAD_ITEMS = [7, None, "\ud800"]  # not a str (twice), not encodable
BAD_KEYS = [1, "\udc80"]
BAD_VALUES = [-1, 2**64, 0.5, "3", Raises()]


@pytest.mark.parametrize("limit", [10, 0], ids=["scan under way", "no scan"])
@pytest.mark.parametrize("where, bad", [("ids", b) for b in BAD_ITEMS] + [("key", b) for b in BAD_KEYS] +
                         [("value", b) for b in BAD_VALUES])
def test_bad_identifier_anywhere_raises_as_in_order(where, bad, limit):
    # The first, the middle, the last, and both sides of every slice boundary.
    for at in WALK_POSITIONS:
        ids = list(WALK_IDS)
        entries = [(d, i) for i, d in enumerate(WALK_IDS)]
        if where == "ids":
            ids[at] = bad
        elif where == "key":
            entries[at] = (bad, at)
        else:
            entries[at] = (WALK_IDS[at], bad)
        got = walk_call(ids, entries, limit=limit)
        assert got[0] != "returned" and got == in_order_call(ids, entries, limit=limit), at


@pytest.mark.parametrize("id_at, entry_at", [(0, 0), (303, 304), (304, 303), (1199, 0), (0, 1199), (912, 911)])
@pytest.mark.parametrize("later", [{"limit": -1}, {"mask": [1]}, {"query_vec": np.zeros(3, np.float32)}, {}])
def test_first_bad_argument_wins(id_at, entry_at, later):
    ids = list(WALK_IDS)
    entries = [(d, i) for i, d in enumerate(WALK_IDS)]
    ids[id_at] = 5
    entries[entry_at] = (WALK_IDS[entry_at], -1)
    got = walk_call(ids, entries, **later)
    assert got == (TypeError, "argument 'ids': 'int' object cannot be converted to 'PyString'")
    ids[id_at] = WALK_IDS[id_at]
    got = walk_call(ids, entries, **later)
    assert got[0] is OverflowError and got == in_order_call(ids, entries, **later)
    entries[entry_at] = (WALK_IDS[entry_at], entry_at)
    if later:
        assert walk_call(ids, entries, **later) == in_order_call(ids, entries, **later) != walk_call(ids, entries)


@pytest.mark.parametrize("entry_at", [0, 1, 303, 304, 305, 600, 1198, 1199])
@pytest.mark.parametrize("bad_id_at", [None, 0, 1199])
def test_caller_code_met_mid_walk_runs_in_order(entry_at, bad_id_at):
    def run(make_ids):
        log = []
        ids = list(WALK_IDS)
        if bad_id_at is not None:
            ids[bad_id_at] = b"not a str"
        entries = [(d, i) for i, d in enumerate(WALK_IDS)]
        entries[entry_at] = (WALK_IDS[entry_at], Logged(log, "value", entry_at))
        got = walk_call(make_ids(ids), entries, limit=Logged(log, "limit", 5), mmr_lambda=Logged(log, "lambda", 0.5))
        return got, log

    got, log = run(list)
    assert (got, log) == run(InOrder)
    assert log == ([] if bad_id_at is not None else ["value", "limit", "lambda"])
    if bad_id_at is None:
        assert got[0] == "returned" and len(got[1]) == 5


def test_str_subclasses_in_the_walk_run_no_caller_code():
    ids = [LoggedStr(d) if i % 97 == 0 else d for i, d in enumerate(WALK_IDS)]
    id_to_idx = {d: i for i, d in enumerate(ids)}
    LoggedStr.log.clear()
    got = score_candidates(WALK_M, ids, id_to_idx, WALK_Q, limit=WALK_ROWS)
    assert LoggedStr.log == []
    assert got == score_candidates(WALK_M, InOrder(ids), id_to_idx, WALK_Q, limit=WALK_ROWS)
    assert len(got) == WALK_ROWS


# A dict whose every entry a complete walk found plain is not walked again until it changes (a
# dict of 4096 entries or more; the rest are cheap to walk).
PADDING = {f"pad{j}": j % WALK_ROWS for j in range(4096)}
DICT_CHANGES = {
    "set a bad value": lambda d: d.__setitem__("w5", -1),
    "add a bad key": lambda d: d.__setitem__(3, 3),
    "update": lambda d: d.update({"w600": 2**64}),
    "setdefault": lambda d: d.setdefault("new", 0.5),
    "merge in place": lambda d: d.__ior__({"w1199": "3"}),
    "delete, add back bad": lambda d: (d.pop("w304"), d.__setitem__("w304", -2)),
    "clear, refill bad": lambda d: (d.clear(), d.update({"a": -1})),
    "popitem, add back bad": lambda d: d.__setitem__(d.popitem()[0], -3),
    # Plain changes keep it remembered; a bad one after them must still be seen.
    "add plain, then set a bad value": lambda d: (d.__setitem__("fresh", 7), d.__setitem__("w5", -1)),
    "set a plain value, then add a bad key": lambda d: (d.__setitem__("w5", 9), d.__setitem__(3, 3)),
}


WALK_MODES = {"under the scan": {}, "in order": {"ids": InOrder(WALK_IDS)}, "resolving": {"like_ids": ["w7"]}}


@pytest.mark.parametrize("mode", WALK_MODES.values(), ids=WALK_MODES.keys())
@pytest.mark.parametrize("change", DICT_CHANGES.values(), ids=DICT_CHANGES.keys())
def test_a_dict_walked_once_is_walked_again_after_any_change(change, mode):
    def run(id_to_idx, limit):
        args = {"ids": WALK_IDS, "limit": limit, **mode}
        return outcome(lambda: score_candidates(WALK_M, id_to_idx=id_to_idx, query_vec=WALK_Q, **args))

    id_to_idx = {d: i for i, d in enumerate(WALK_IDS)} | PADDING
    for limit in (10, 0, 10):  # walked, then (unchanged) not walked
        assert run(id_to_idx, limit)[0] == "returned"
    change(id_to_idx)
    for limit in (10, 0):
        got = run(id_to_idx, limit)
        assert got[0] != "returned" and got == run(dict(id_to_idx), limit)


def test_a_new_dict_where_a_walked_one_was_is_walked():
    for i in range(50):  # freed dicts' memory is reused for the next ones
        good = {d: j for j, d in enumerate(WALK_IDS)} | PADDING
        assert outcome(lambda: score_candidates(WALK_M, WALK_IDS, good, WALK_Q))[0] == "returned"
        del good
        bad = {d: (-1 if j == i * 20 else j) for j, d in enumerate(WALK_IDS)} | PADDING
        assert outcome(lambda: score_candidates(WALK_M, WALK_IDS, bad, WALK_Q))[0] is OverflowError


# A list whose items are the remembered dict's own keys in its order, perhaps with other items
# between them, is not walked: a bad item there, or past the dict's end, is still met as in order.
@pytest.mark.parametrize("over", [{"limit": 10}, {"limit": 0}, {"like_ids": ["w7"]}],
                         ids=["scan under way", "no scan", "in order"])
@pytest.mark.parametrize("bad", BAD_ITEMS + [LoggedStr("w5")])
def test_bad_item_among_a_remembered_dicts_keys(bad, over):
    head = {d: i for i, d in enumerate(WALK_IDS[:600])}
    id_to_idx = head | PADDING | {d: i + 600 for i, d in enumerate(WALK_IDS[600:])}
    keys = list(id_to_idx)
    assert outcome(lambda: score_candidates(WALK_M, keys[:WALK_ROWS], id_to_idx, WALK_Q))[0] == "returned"
    gaps = [x for j, k in enumerate(keys) for x in (("", k) if j % 9 == 0 else (k,))]  # "" every 10th
    # All keys; keys, then other objects; keys with "" between them.
    for ids in (keys[:WALK_ROWS], keys[:600] + WALK_IDS[600:], gaps[:WALK_ROWS]):
        for at in WALK_POSITIONS:
            bad_ids = list(ids)
            bad_ids[at] = bad
            def call(make):
                return outcome(lambda: score_candidates(WALK_M, make(bad_ids), id_to_idx, WALK_Q, **over))
            got = call(list)
            assert got == call(InOrder)
            assert (got[0] == "returned") == isinstance(bad, LoggedStr), at


def test_a_list_longer_than_a_remembered_dict():
    rows = len(PADDING) + 8
    matrix = unit_rows(np.random.default_rng(3), rows, 8)
    ids = list(PADDING) + [f"tail{i}" for i in range(8)]
    assert outcome(lambda: score_candidates(matrix, ids, PADDING, WALK_Q))[0] == "returned"
    for at in (len(PADDING) - 1, len(PADDING), rows - 1):
        bad_ids = list(ids)
        bad_ids[at] = None
        got = outcome(lambda: score_candidates(matrix, bad_ids, PADDING, WALK_Q))
        assert got[0] is TypeError
        assert got == outcome(lambda: score_candidates(matrix, InOrder(bad_ids), PADDING, WALK_Q))


def test_a_remembered_dicts_walk_follows_its_plain_changes():
    rows = len(PADDING) + 8
    matrix = unit_rows(np.random.default_rng(3), rows, 8)
    id_to_idx = dict(PADDING)
    ids = list(id_to_idx)
    assert outcome(lambda: score_candidates(matrix, ids + ["x"] * 8, id_to_idx, WALK_Q))[0] == "returned"
    for at in (5, 6, 7, 300, 2000):  # removed (by equal objects), "" left in their places
        id_to_idx.pop(f"pad{at}")
        ids[at] = ""
    tail = [f"tail{i}" for i in range(8)]
    for i, d in enumerate(tail):  # plain entries added, and a plain value set
        id_to_idx[d] = len(PADDING) + i
    id_to_idx["pad3"] = 1
    ids += tail
    like = {"like_ids": ["tail1", "pad3"]}
    assert score_candidates(matrix, ids, id_to_idx, WALK_Q, **like) == \
        score_candidates(matrix, ids, dict(id_to_idx), WALK_Q, **like)
    for at in (4, 5, 8, 301, 2001, len(PADDING) - 1, len(PADDING), rows - 1):
        for bad in BAD_ITEMS + [LoggedStr("tail0")]:
            bad_ids = list(ids)
            bad_ids[at] = bad
            got = outcome(lambda: score_candidates(matrix, bad_ids, id_to_idx, WALK_Q))
            assert got == outcome(lambda: score_candidates(matrix, InOrder(bad_ids), id_to_idx, WALK_Q))
            assert (got[0] == "returned") == isinstance(bad, LoggedStr), at


def test_keys_held_for_a_remembered_dict_are_released_with_it():
    id_to_idx = dict(PADDING)
    assert outcome(lambda: score_candidates(WALK_M, list(id_to_idx)[:WALK_ROWS], id_to_idx, WALK_Q))[0] == "returned"
    key = "".join(["late", "key"])
    before = sys.getrefcount(key)
    id_to_idx[key] = 0
    id_to_idx.pop(key)
    id_to_idx["pad5"] = -1  # forgotten
    assert sys.getrefcount(key) == before
    assert outcome(lambda: score_candidates(WALK_M, WALK_IDS, id_to_idx, WALK_Q))[0] is OverflowError
    remembered = dict(PADDING) | {key: 0}
    assert outcome(lambda: score_candidates(WALK_M, list(remembered)[:WALK_ROWS], remembered, WALK_Q))[0] == "returned"
    assert sys.getrefcount(key) == before + 2  # the dict's and the remembered keys'
    del remembered
    assert sys.getrefcount(key) == before
