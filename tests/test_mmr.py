"""Maximal Marginal Relevance selection through mmr_select_py, checked against hand-derived
results and against a small NumPy re-implementation on seeded data."""
import math

import numpy as np
import pytest

import _quorvel

mmr = _quorvel.mmr_select_py
NAN, INF = math.nan, math.inf


def reference(cands, sims, matrix, k, lam):
    """Greedy MMR: float32 Gram of the candidate rows, double scores, earliest position on ties.
    Returns the picks and the smallest gap between a pick's score and the runner-up's."""
    cands = [int(c) for c in cands]
    if not cands:
        return [], INF
    with np.errstate(invalid="ignore"):
        return _greedy(cands, sims, matrix, k, lam)


def _greedy(cands, sims, matrix, k, lam):
    g = np.ascontiguousarray(matrix, dtype=np.float32)[cands]
    sim = (g @ g.T).astype(np.float64)  # float32 product, widened exactly
    rel = np.asarray(sims, dtype=np.float32)[cands].astype(np.float64)
    max_sim = np.full(len(cands), -INF)
    picked = np.zeros(len(cands), dtype=bool)
    out, gap, pos = [(cands[0], float(rel[0] * lam))], INF, 0
    while True:
        picked[pos] = True
        np.copyto(max_sim, sim[pos], where=sim[pos] > max_sim)  # NaN never replaces
        if len(out) >= max(k, 1) or picked.all():
            return out, gap
        score = rel * lam - max_sim * (1.0 - lam)
        score[picked | np.isnan(score)] = -INF
        pos = int(np.argmax(score))  # first maximum: the earliest position wins ties
        if score[pos] == -INF:
            return out, gap
        rest = np.delete(score, pos)
        rest = rest[np.isfinite(rest)]
        if rest.size and math.isfinite(score[pos]):
            gap = min(gap, score[pos] - rest.max())
        out.append((cands[pos], float(score[pos])))


def assert_same(got, want):
    assert isinstance(got, list) and all(type(t) is tuple and len(t) == 2 for t in got)
    assert [i for i, _ in got] == [i for i, _ in want]
    for (_, a), (_, b) in zip(got, want):
        assert type(a) is float and (a == b or (math.isnan(a) and math.isnan(b))), (a, b)


def f32(rows):
    return np.array(rows, dtype=np.float32)


E3 = f32(np.eye(3))
# (candidates, similarities, matrix, k, lambda_, expected): apart from the worked example every
# value is a short dyadic fraction, so the expected scores are exact.
HAND = {
    "worked_example": ([0, 1, 2], [0.9, 0.8, 0.7], [[1, 0], [1, 0], [0, 1]], 2, 0.5,
                       [(0, 0.44999998807907104), (2, 0.3499999940395355)]),
    "k0_seed_only": ([2, 0, 1], [0.5, 0.25, 0.75], E3, 0, 0.5, [(2, 0.375)]),
    "k1_seed_only": ([2, 0, 1], [0.5, 0.25, 0.75], E3, 1, 0.5, [(2, 0.375)]),
    "k_beyond_n": ([1, 0, 2], [0.5, 0.25, 0.75], E3, 2**64 - 1, 0.5, [(1, 0.125), (2, 0.375), (0, 0.25)]),
    "zero_columns": ([0, 1, 2, 3], [0.25, 0.5, 0.75, 0.5], np.zeros((4, 0)), 4, 0.5,
                     [(0, 0.125), (2, 0.375), (1, 0.25), (3, 0.25)]),
    "tie_earliest": ([0, 2, 1], [0.5, 0.5, 0.5], [[1, 0], [1, 0], [1, 0]], 3, 0.5,
                     [(0, 0.25), (2, -0.25), (1, -0.25)]),
    "duplicates": ([0, 0, 1], [0.5, 0.25], [[1, 0], [0, 1]], 3, 0.5, [(0, 0.25), (1, 0.125), (0, -0.25)]),
    "lambda_above_1": ([0, 0, 1], [0.5, 0.25], [[1, 0], [0, 1]], 3, 2.0, [(0, 1.0), (0, 2.0), (1, 0.5)]),
    "lambda_below_0": ([0, 1, 2], [1.0, 0.5, 0.25], E3, 3, -0.5, [(0, -0.5), (2, -0.125), (1, -0.25)]),
    "lambda_0": ([0, 1, 2], [0.5, 0.5, 0.5], [[1, 0], [0.75, 0.25], [0, 1]], 3, 0,
                 [(0, 0.0), (2, 0.0), (1, -0.75)]),
    "lambda_int_1": ([0, 1, 2], [0.25, 0.5, 0.75], [[1, 0], [1, 0], [1, 0]], 3, 1, [(0, 0.25), (2, 0.75), (1, 0.5)]),
    "lambda_nan": ([0, 1, 2], [0.5, 0.5, 0.5], E3, 3, NAN, [(0, NAN)]),
    "nan_relevance": ([0, 1, 2], [NAN, NAN, 0.5], E3, 3, 0.5, [(0, NAN), (2, 0.25)]),
    "pos_inf_relevance": ([0, 1, 2], [0, INF, 0.5], E3, 3, 0.5, [(0, 0.0), (1, INF), (2, 0.25)]),
    "neg_inf_stops": ([0, 1, 2], [1, -INF, -INF], E3, 3, 0.5, [(0, 0.5)]),
    "nan_similarity": ([0, 1, 2], [0.5, 0.5, 1.0], [[1, 0], [NAN, NAN], [0.5, 0]], 3, 0.5,
                       [(0, 0.25), (1, INF), (2, 0.25)]),
    "nan_similarity_lambda_1": ([0, 1, 2], [0.5, 0.5, 1.0], [[1, 0], [NAN, NAN], [0.5, 0]], 3, 1.0,
                                [(0, 0.5), (2, 1.0)]),
    # S[0][1] = inf scores row 1 at -inf, and S[2][1] = 0 * inf is NaN, which leaves that as it is.
    "inf_similarity": ([0, 1, 2], [0.5, 0.5, 0.5], [[1, 0], [INF, 0], [0, 1]], 3, 0.5, [(0, 0.25), (2, 0.25)]),
}


@pytest.mark.parametrize("case", HAND.values(), ids=HAND.keys())
def test_hand_derived(case):
    cands, sims, matrix, k, lam, expected = case
    assert_same(mmr(cands, f32(sims), f32(matrix), k, lam), expected)
    assert_same(reference(cands, f32(sims), f32(matrix), k, lam)[0], expected)


@pytest.mark.parametrize("lam", [0.0, 1.0, 0.7, 1.5, -0.5, NAN])
@pytest.mark.parametrize("case", ["plain", "nan_rel", "inf_rel", "neg_inf_rel", "nan_sim", "inf_sim",
                                  "duplicates", "zero_cols", "ties"])
def test_exact_against_reference(case, lam):
    # Entries are multiples of 1/4 and 1/8, so every float32 dot product is exact in any order.
    rng = np.random.default_rng(sum(map(ord, case)))
    matrix = f32(rng.integers(-4, 5, size=(20, 0 if case == "zero_cols" else 6)) / 4)
    sims = f32(rng.integers(-8, 9, size=22) / 8)
    cands = rng.choice(20, size=12, replace=False)
    special = {"nan_rel": NAN, "inf_rel": INF, "neg_inf_rel": -INF}
    if case in special:
        sims[cands[[0, 3, 7]]] = special[case]
    if case in ("nan_sim", "inf_sim"):
        matrix[cands[[2, 5]], 1] = NAN if case == "nan_sim" else INF
    if case == "duplicates":
        cands = np.concatenate([cands, cands[:6]])
    if case == "ties":
        matrix[:], sims[:] = 0.5, 0.25
    for k in (0, 5, 100):
        assert_same(mmr(list(cands), sims, matrix, k, lam), reference(cands, sims, matrix, k, lam)[0])


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("lam", [0.3, 0.7])
def test_random_unit_rows(seed, lam):
    rng = np.random.default_rng(seed)
    matrix = f32(rng.standard_normal((64, 16)))
    matrix /= np.linalg.norm(matrix, axis=1, keepdims=True)
    sims = f32(rng.uniform(-1, 1, 64))
    cands = [int(c) for c in rng.choice(64, size=40, replace=False)]
    want, gap = reference(cands, sims, matrix, 15, lam)
    assert gap > 1e-5  # data chosen away from near-ties, so the picks must agree exactly
    got = mmr(cands, sims, matrix, 15, lam)
    assert [i for i, _ in got] == [i for i, _ in want]
    # 16-term float32 dot products of unit rows agree to about 16 * 2**-24 across summation orders.
    np.testing.assert_allclose([s for _, s in got], [s for _, s in want], rtol=1e-6, atol=1e-6)
    assert got[0][1] == float(sims[cands[0]]) * lam  # the seed carries no redundancy term


BASE = [3, 1, 4, 0, 2]


@pytest.mark.parametrize("cands", [tuple(BASE), np.array(BASE), np.array(BASE, dtype=np.uint64),
                                   np.array(BASE, dtype=np.int32), [np.int64(c) for c in BASE]],
                         ids=["tuple", "int64_array", "uint64_array", "int32_array", "numpy_scalars"])
def test_candidate_containers(cands):
    rng = np.random.default_rng(7)
    matrix, sims = f32(rng.standard_normal((5, 3))), f32(rng.uniform(0, 1, 5))
    assert_same(mmr(cands, sims, matrix, 4, 0.6), mmr(BASE, sims, matrix, 4, 0.6))


def test_range_bools_and_keywords():
    matrix, sims = f32(np.eye(4)), f32([0.25, 0.5, 0.75, 1.0])
    assert_same(mmr(range(1, 4), sims, matrix, 3, 0.5), mmr([1, 2, 3], sims, matrix, 3, 0.5))
    assert_same(mmr([True, False], sims, matrix, 2, 0.5), [(1, 0.25), (0, 0.125)])
    assert_same(mmr(lambda_=0.5, k=2, matrix=matrix, similarities=sims, candidates=[3, 0]),
                [(3, 0.5), (0, 0.125)])


def strided(a):
    big = np.zeros(tuple(2 * s + 1 for s in a.shape), dtype=np.float32)
    big[tuple(slice(1, None, 2) for _ in a.shape)] = a
    return big[tuple(slice(1, None, 2) for _ in a.shape)]


def readonly(a):
    a = a.copy()
    a.flags.writeable = False
    return a


MATRIX_LAYOUTS = {"fortran": np.asfortranarray, "reversed_rows": lambda a: a[::-1].copy()[::-1],
                  "reversed_cols": lambda a: a[:, ::-1].copy()[:, ::-1], "strided": strided,
                  "readonly": readonly, "broadcast": lambda a: np.broadcast_to(a[2], a.shape)}
VECTOR_LAYOUTS = {"reversed": lambda v: v[::-1].copy()[::-1], "strided": strided, "readonly": readonly}


@pytest.mark.parametrize("vec_layout", VECTOR_LAYOUTS.values(), ids=VECTOR_LAYOUTS.keys())
@pytest.mark.parametrize("mat_layout", MATRIX_LAYOUTS.values(), ids=MATRIX_LAYOUTS.keys())
def test_layouts_match_contiguous_copy(mat_layout, vec_layout):
    rng = np.random.default_rng(3)
    matrix, sims = mat_layout(f32(rng.standard_normal((12, 9)))), vec_layout(f32(rng.uniform(0, 1, 12)))
    cands = [5, 2, 11, 0, 7, 2, 9]
    got = mmr(cands, sims, matrix, 5, 0.6)
    assert_same(got, mmr(cands, np.ascontiguousarray(sims), np.ascontiguousarray(matrix), 5, 0.6))
    assert len(got) == 5


@pytest.mark.parametrize("shape, n_sims", [((0, 0), 0), ((3, 2), 3), ((0, 5), 7)])
def test_empty_candidates(shape, n_sims):
    assert mmr([], f32(np.zeros(n_sims)), f32(np.zeros(shape)), 2**64 - 1, NAN) == []


@pytest.mark.parametrize("cands, n_sims, message", [
    ([0, 5], 8, "assertion failed: index < dim"),
    ([5, 0], 8, "assertion failed: index < dim"),
    ([0, 4], 4, "index out of bounds"),
    ([7, 1], 3, "assertion failed: index < dim"),  # out of range for both
    ([4, 6], 3, "assertion failed: index < dim"),  # every matrix check precedes the first relevance check
])
def test_index_failures(cands, n_sims, message):
    matrix, sims = f32(np.eye(5)), f32(np.ones(n_sims))
    with pytest.raises(BaseException) as info:
        mmr(cands, sims, matrix, 3, 0.5)
    e = info.value
    assert type(e).__name__ == "InternalFailure" and type(e).__module__ == "native_runtime"
    assert not isinstance(e, Exception)
    if message.startswith("assertion"):
        assert e.args[0] == message
    else:
        assert message in e.args[0]
