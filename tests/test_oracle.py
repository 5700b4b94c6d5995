"""Property tests: score_candidates and mmr_select_py against the NumPy model in reference.py, over
random shapes (0 rows, 0 columns, 1 row included), memory layouts, every optional parameter,
NaN, infinite and zero vectors, duplicate and unknown identifiers and failing requests.

Bulk data comes from a seeded NumPy generator whose seed hypothesis draws, so that values are in
general position and near-ties are rare. The model rounds each dot product once from float64;
the module sums in float32 in its own order, so the two agree to a bound on float32 rounding:
- scores compare after rounding to four decimals, except that a raw score within that bound of
  a rounding boundary may round either way;
- rows whose scores are within that bound of each other may trade places; when such a near-tie
  can change which rows are picked (the edge of the candidate pool, the threshold, a decision of
  the diversity selection), the example is skipped as ambiguous.
"""

import math
import time

import numpy as np
import pytest
from hypothesis import HealthCheck, assume, event, given, note, settings, strategies as st

import _quorvel
import reference as ref

from conftest import internal_failure, unit_rows

F32 = np.float32
EPS32 = 2.0**-24
# Largest difference between the module's float32 sums and the exactly rounded ones, per unit of
# score scale: a dot product of unit vectors of up to 40 dimensions errs by at most 40 * 2**-24
# (2.4e-6), the query's normalisation and the trajectory and contrast blends add less than as
# much again.
SCORE_ERR = 6e-6
# Scores closer than this count as tied (several times the error bound, far below the typical
# gap between random scores).
TIE = 4 * SCORE_ERR

def run(examples):
    return settings(derandomize=True, database=None, deadline=None, max_examples=examples,
                    suppress_health_check=[HealthCheck.too_slow])


def layout(a, kind):
    """`a`'s values in another memory layout, read in place by the module."""
    a = np.asarray(a)
    full = (slice(None, None, -1),) * a.ndim
    if kind == "C":
        return np.ascontiguousarray(a)
    if kind == "F":
        return np.asfortranarray(a)
    if kind == "reversed":  # negative strides on every axis
        return a[full].copy()[full]
    if kind == "strided":  # every other element of a larger array, on every axis
        big = np.zeros([2 * s + 1 for s in a.shape], a.dtype)
        view = big[(slice(1, None, 2),) * a.ndim]
        view[...] = a
        return view
    if kind == "strided_reversed":
        big = np.zeros([3 * s + 1 for s in a.shape], a.dtype)
        view = big[(slice(None, 0, -3),) * a.ndim]
        view[...] = a
        return view
    if kind == "readonly":
        out = a.copy()
        out.flags.writeable = False
        return out
    raise AssertionError(kind)


LAYOUTS = ["C", "F", "reversed", "strided", "strided_reversed", "readonly"]


def outcome_kind(e):
    return "InternalFailure" if internal_failure(e) else type(e).__name__


def near_rounding_boundary(raw, err):
    frac = (abs(raw) * 10000.0) % 1.0
    return abs(frac - 0.5) <= err * 10000.0


def assert_rounded(got, raw, err):
    """`got` is `raw` rounded to four decimals, either way when `raw` is within err of a
    rounding boundary."""
    want = ref.round_score(raw)
    if math.isnan(want):
        assert math.isnan(got)
    elif want != got:
        assert math.isfinite(want) and near_rounding_boundary(raw, err), (got, raw)
        assert abs(got - want) <= 1.0001e-4, (got, raw)


# ---------------------------------------------------------------------------------------------
# score_candidates

@st.composite
def scoring_cases(draw):
    # Hypothesis leans towards the first entry of each list: the richest case comes first.
    n = draw(st.sampled_from([40, 120, 9, 40, 120, 40, 3, 2, 1, 0]))
    dims = draw(st.sampled_from([16, 7, 40, 16, 7, 2, 1, 0]))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    matrix = unit_rows(rng, n, dims)
    if n and dims:
        for special in draw(st.lists(st.sampled_from(["zero", "nan", "inf", "-inf", "double"]), max_size=3)):
            r, c = rng.integers(n), rng.integers(dims)
            if special == "zero":
                matrix[r] = 0
            elif special == "double":  # rows are never renormalised
                matrix[r] *= 2
            else:
                matrix[r, c] = float(special)
    ids = [f"d{i}" if i % 3 else f"d\u00e9{i}" for i in range(n)]
    if n >= 4 and draw(st.booleans()):
        ids[-1] = ids[1]  # one identifier at two rows
    id_to_idx = {d: i for i, d in enumerate(ids)}
    if rng.random() < 0.1:
        id_to_idx["ghost"] = n + draw(st.integers(0, 2))  # a row beyond the matrix
    ids_len = draw(st.sampled_from(["same"] * 8 + ["longer", "shorter"]))
    if ids_len == "longer":
        ids = ids + ["extra1", "extra2"]
    elif ids_len == "shorter":
        ids = ids[: draw(st.integers(0, max(n - 1, 0)))]

    def some_ids(max_size):
        """A list of known identifiers (duplicates allowed), unknown ones and rarely the ghost."""
        known = list(id_to_idx)
        size = draw(st.integers(1, max_size))
        out = [known[i] for i in rng.integers(len(known), size=size)] if known else []
        out += ["unknown"] * draw(st.sampled_from([0, 1, 0, 2]))
        rng.shuffle(out)
        return out

    def vector(kind, length=dims):
        if kind == "random":
            return rng.standard_normal(length).astype(F32)
        if kind == "row" and n and length == dims:
            return matrix[rng.integers(n)].copy()
        if kind == "zero":
            return np.zeros(length, F32)
        if kind == "nan":
            v = rng.standard_normal(length).astype(F32)
            if length:
                v[rng.integers(length)] = np.nan
            return v
        return rng.standard_normal(length).astype(F32)

    query_kind = draw(st.sampled_from(["random"] * 8 + ["row"] * 2 + ["zero", "nan", "wrong_length"]))
    query = vector(query_kind, dims + 1 if query_kind == "wrong_length" else dims)
    kwargs = {}

    def option(name, values):
        """Omitted, explicitly None, or one of `values` (callables drawing a value)."""
        how = draw(st.sampled_from(["omit", "value"] * 4 + ["none"]))
        if how == "none":
            kwargs[name] = None
        elif how == "value":
            kwargs[name] = draw(st.sampled_from(values))()

    now = time.time()
    day = 86400.0

    def stamps(length):
        """Past, future, zero, negative and NaN timestamps: a day and a half to 200 days old,
        two days ahead, or undated."""
        values = [now - 1.5 * day, now - 3 * day, now - 30 * day, now - 200 * day, now + 2 * day,
                  0.0, -5.0, math.nan]
        return np.array([values[i] for i in rng.integers(len(values), size=length)], np.float64)

    # Each list holds the common values several times over and the failing or emptying ones
    # once, so that most examples get as far as the result rows.
    option("timestamps", [lambda: stamps(n)] * 4 + [lambda: stamps(n + 3), lambda: stamps(max(n - 1, 0))])
    option("pre_filter_ids", [lambda: some_ids(60), lambda: some_ids(8)] * 3 + [lambda: []])
    option("not_like_vec", [lambda: vector("random")] * 3 + [lambda: query.copy()] * 2 +
           [lambda: vector("zero"), lambda: vector("random", dims + 1)])
    option("like_ids", [lambda: some_ids(3), lambda: some_ids(10)] * 3 + [lambda: []])
    option("traj_from_vec", [lambda: vector("random")] * 3 + [lambda: vector("random", 1)])
    option("traj_to_vec", [lambda: vector("random"), lambda: vector("row")] * 3 +
           [lambda: vector("random", 1), lambda: vector("random", dims + 2)])
    option("mask", [lambda: rng.random(n) < 0.8] * 4 + [lambda: rng.random(n + 2) < 0.5] * 2 +
           [lambda: np.zeros(n, bool), lambda: rng.random(max(n - 1, 0)) < 0.5])
    kwargs["diverse"] = draw(st.sampled_from([True, False, True, np.True_, True, False]))
    option("limit", [lambda: 5, lambda: 10, lambda: 1, lambda: 3, lambda: 0, lambda: 2**64 - 1])
    option("oversample", [lambda: 30, lambda: 8, lambda: 80, lambda: 2, lambda: 0, lambda: 2**64 - 1])
    option("threshold", [lambda: float(rng.uniform(0, 0.4)), lambda: 0.0, lambda: -0.3, lambda: math.nan])
    option("mmr_lambda", [lambda: float(rng.uniform(0, 1)), lambda: 0.7, lambda: 0.0, lambda: 1.0,
                          lambda: 1.5, lambda: -0.5, lambda: math.nan])
    option("recent", [lambda: True, lambda: False])
    option("recent_days", [lambda: 7.0, lambda: 30, lambda: 0.25, lambda: 0.0, lambda: -10.0, lambda: 1e39])
    for name in ("diverse", "limit", "oversample", "threshold", "mmr_lambda", "recent"):
        if kwargs.get(name, 0) is None:  # None is not an accepted value for these
            del kwargs[name]

    # Memory layouts of the arrays; identifiers as a list or a tuple.
    matrix = layout(matrix, draw(st.sampled_from(LAYOUTS)))
    query = layout(query, draw(st.sampled_from(LAYOUTS)))
    for name in ("not_like_vec", "traj_from_vec", "traj_to_vec", "timestamps", "mask"):
        if kwargs.get(name) is not None:
            kwargs[name] = layout(kwargs[name], draw(st.sampled_from(LAYOUTS)))
    if draw(st.booleans()):
        ids = tuple(ids)
    return matrix, ids, id_to_idx, query, kwargs


def score_scale(trace):
    s = trace.get("pre_threshold")
    finite = [] if s is None else [abs(float(x)) for x in s if math.isfinite(x)]
    return max([1.0] + finite)


def has_near_tie(scores, rows, a, b_positions, tol):
    """Whether position a's score is within tol of one of b_positions of another row."""
    sa = float(scores[a])
    return any(rows[b] != rows[a] and math.isfinite(float(scores[b])) and abs(float(scores[b]) - sa) <= tol
               for b in b_positions)


def ambiguity(trace, kwargs, tol):
    """Why near-ties make the expected picks uncertain, or None."""
    threshold = F32(kwargs.get("threshold", 0.0) or 0.0)
    if "pre_threshold" in trace and threshold > 0:
        pre = trace["pre_threshold"]
        if any(math.isfinite(x) and abs(float(x) - float(threshold)) <= tol for x in pre):
            return "a score at the threshold"
    if "mmr" not in trace:
        return None
    s, order, pool, rows = trace["scores"], trace["order"], trace["pool"], trace["work_rows"]
    p = trace["pool_size"]
    if p < len(order) and has_near_tie(s, rows, order[p - 1], order[p:], tol):
        return "a near-tie at the edge of the candidate pool"
    if has_near_tie(s, rows, pool[0], pool[1:], tol):
        return "a near-tie for the first pick"
    lam = float(kwargs.get("mmr_lambda", 0.7))
    mmr_tol = tol * (abs(lam) + abs(1 - lam))
    for best, runner_up in trace["mmr"].get("decisions", []):
        if math.isfinite(best) and math.isfinite(runner_up) and best - runner_up <= mmr_tol:
            return "a near-tie in the diversity selection"
    return None


def selection_tie(trace, picked, tol):
    """Whether a row left out scores within tol of a picked one (which row the module names at
    that rank, and so whether it has an identifier, is then open)."""
    if "order" not in trace or not picked:
        return False
    s, rows, order = trace["scores"], trace["work_rows"], trace["order"]
    chosen = set(picked)
    left_out = [i for i in order if i not in chosen]
    return any(has_near_tie(s, rows, a, left_out, tol) for a in picked)


def assert_plain_rows(got, want_raw, trace, err, tol):
    """Rows picked by score alone: rank i must report the i-th best score, under the id of a
    working position whose score is within tol of it; each position is used at most once."""
    if not want_raw:  # also an early return, before any score
        assert got == []
        return
    s, ids = trace["scores"], trace["work_ids"]
    used = set()
    for rank, (row, raw) in enumerate(zip(got, want_raw)):
        assert_rounded(row["score"], raw, err)
        fits = [p for p in trace["order"] if p not in used and p < len(ids) and ids[p] == row["id"]
                and math.isfinite(float(s[p])) and abs(float(s[p]) - raw) <= tol]
        assert fits, (rank, row, raw)
        used.add(fits[0])


@given(scoring_cases())
@run(2000)
def test_score_candidates_matches_model(case):
    matrix, ids, id_to_idx, query, kwargs = case
    note(f"matrix {matrix.shape} {matrix.strides}, {len(ids)} ids, options {sorted(kwargs)}")
    try:
        got, got_kind = _quorvel.score_candidates(matrix, ids, id_to_idx, query, **kwargs), "ok"
    except BaseException as e:  # noqa: BLE001 - the internal failure is a BaseException
        got, got_kind = e, outcome_kind(e)
    now = time.time()

    trace = {}
    try:
        with np.errstate(all="ignore"):
            rows, raws = ref.score_candidates(matrix, ids, id_to_idx, query, now=now, trace=trace, **kwargs)
        want_kind = "ok"
    except ValueError as e:
        want_kind = "ValueError" if str(e).startswith("Query vector dimension") else "InternalFailure"
        if want_kind == "ValueError":
            event("outcome: ValueError")
            assert got_kind == "ValueError" and str(got) == str(e)
            return
    except IndexError:
        want_kind = "InternalFailure"

    tol = TIE * score_scale(trace)
    why = ambiguity(trace, kwargs, tol)
    event(f"outcome: {want_kind}")
    if why:
        event(f"ambiguous: {why}")
    if got_kind != want_kind and len(ids) < matrix.shape[0]:
        # A near-tie can decide whether a row without an identifier is picked.
        assume(why is None and not selection_tie(trace, trace.get("pool", []), tol))
    assert got_kind == want_kind, (got, want_kind)
    if want_kind != "ok":
        return
    assume(why is None)

    assert type(got) is list and len(got) == len(rows), (got, rows)
    for row in got:
        assert type(row) is dict and list(row) == ["id", "score"]
        assert type(row["id"]) is str and type(row["score"]) is float
    err = SCORE_ERR * score_scale(trace)
    event("rows: none" if not got else "rows: diversity selection" if "mmr" in trace else "rows: by score")
    if "mmr" in trace:
        lam = float(kwargs.get("mmr_lambda", 0.7))
        assert [r["id"] for r in got] == [r["id"] for r in rows]
        for row, raw in zip(got, raws):
            assert_rounded(row["score"], raw, err * (abs(lam) + abs(1 - lam)))
    else:
        assert_plain_rows(got, raws, trace, err, tol)


# ---------------------------------------------------------------------------------------------
# mmr_select_py

@st.composite
def mmr_cases(draw):
    rows = draw(st.sampled_from([30, 80, 5, 2, 1]))
    dims = draw(st.sampled_from([16, 3, 40, 1, 0]))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    matrix = rng.standard_normal((rows, dims))
    if draw(st.booleans()):
        matrix /= np.maximum(np.linalg.norm(matrix, axis=1, keepdims=True), 1e-30)
    matrix = (matrix * draw(st.sampled_from([1.0, 0.5, 2.0]))).astype(F32)
    if dims:
        for special in draw(st.lists(st.sampled_from(["zero", "nan", "inf", "-inf"]), max_size=3)):
            r, c = rng.integers(rows), rng.integers(dims)
            if special == "zero":
                matrix[r] = 0
            else:
                matrix[r, c] = float(special)
    sims_len = rows + draw(st.sampled_from([0, 3, 0, 0, 0, -1]))
    sims = rng.uniform(-1, 1, sims_len).astype(F32)
    for special in draw(st.lists(st.sampled_from([math.nan, math.inf, -math.inf]), max_size=2)):
        if sims_len:
            sims[rng.integers(sims_len)] = special
    n = min(draw(st.sampled_from([30, 10, 60, 3, 2, 1, 0])), 2 * rows)
    duplicates = n > rows or draw(st.booleans())
    candidates = [int(c) for c in rng.choice(rows, size=n, replace=duplicates)]
    if n and rng.random() < 0.1:
        candidates[rng.integers(n)] = rows  # beyond the matrix
    container = draw(st.sampled_from(["list", "tuple", "int64", "uint64"]))
    given_candidates = {"list": list, "tuple": tuple, "int64": lambda c: np.array(c, np.int64),
                        "uint64": lambda c: np.array(c, np.uint64)}[container](candidates)
    k = draw(st.one_of(st.integers(2, n + 2), st.sampled_from([2**64 - 1, 0, 1])))
    lam = draw(st.one_of(st.floats(-1, 2, allow_nan=False), st.sampled_from([0.7, 0.0, 1.0, 0.5, 1.5, -0.5, math.nan])))
    matrix = layout(matrix, draw(st.sampled_from(LAYOUTS)))
    sims = layout(sims, draw(st.sampled_from(LAYOUTS)))
    return candidates, given_candidates, sims, matrix, k, lam


@given(mmr_cases())
@run(1000)
def test_mmr_select_py_matches_model(case):
    candidates, given_candidates, sims, matrix, k, lam = case
    note(f"{len(candidates)} candidates, matrix {matrix.shape}, {len(sims)} sims, k={k}, lambda={lam}")
    try:
        got, got_kind = _quorvel.mmr_select_py(given_candidates, sims, matrix, k, lam), "ok"
    except BaseException as e:  # noqa: BLE001
        got, got_kind = e, outcome_kind(e)
    trace = {}
    try:
        want, want_kind = ref.mmr(candidates, sims, matrix, k, lam, trace), "ok"
    except IndexError:
        want, want_kind = None, "InternalFailure"
    assert got_kind == want_kind, got
    event(f"outcome: {want_kind}")
    if want_kind != "ok":
        return
    event(f"picks: {'0' if not want else '1' if len(want) == 1 else 'several'}")

    # S entries err by at most dims * 2**-24 times the product of the rows' norms.
    finite = np.asarray(matrix, np.float64)[np.isfinite(matrix).all(axis=1)]
    norm2 = float(np.max(np.sum(finite * finite, axis=1), initial=0.0))
    sim_err = 2 * matrix.shape[1] * EPS32 * norm2
    score_err = abs(1 - lam) * sim_err + 1e-12 if not math.isnan(lam) else 0.0
    for best, runner_up in trace.get("decisions", []):
        assume(not (math.isfinite(best) and math.isfinite(runner_up) and best - runner_up <= 4 * score_err))

    assert type(got) is list and len(got) == len(want), (got, want)
    assert [i for i, _ in got] == [i for i, _ in want]
    for (i, a), (_, b) in zip(got, want):
        assert type(i) is int and type(a) is float
        if math.isfinite(b):
            assert abs(a - b) <= score_err + 1e-15 * abs(b), (a, b)
        else:
            assert a == b or (math.isnan(a) and math.isnan(b)), (a, b)
    if got:
        # The seed carries no redundancy term: exactly its relevance times lambda.
        seed = float(np.asarray(sims)[candidates[0]]) * lam
        assert got[0][1] == seed or (math.isnan(seed) and math.isnan(got[0][1]))
