"""score_candidates: the plain pipeline and every stage, against the NumPy model in reference.py."""

import math
import time

import numpy as np
import pytest

from _quorvel import score_candidates

import reference
from conftest import Corpus, internal_failure, unit_rows

DAY = 86400.0


def run_both(c, **opts):
    got = score_candidates(c.matrix, c.ids, c.id_to_idx, c.query, **opts)
    want, raw = reference.score_candidates(c.matrix, c.ids, c.id_to_idx, c.query, **opts)
    reference.assert_rows_match(got, want, raw)
    return got


def failure(call):
    with pytest.raises(BaseException) as info:
        call()
    assert internal_failure(info.value), repr(info.value)
    return info.value.args[0]


# --- the plain path ------------------------------------------------------------------------

@pytest.mark.parametrize("n, dims, limit, seed", [
    (1, 4, 10, 0), (50, 3, 5, 1), (300, 16, 10, 2), (1000, 384, 25, 3), (257, 33, 300, 4), (40, 8, 0, 5)])
def test_plain_matches_reference(n, dims, limit, seed):
    got = run_both(Corpus(n, dims, seed), limit=limit)
    assert len(got) == min(n, limit)
    assert all(set(r) == {"id", "score"} and type(r["score"]) is float for r in got)
    assert [r["score"] for r in got] == sorted((r["score"] for r in got), reverse=True)


def test_empty_ids_short_circuits_everything():
    m = np.ones((3, 4), np.float32)
    assert score_candidates(m, [], {}, np.ones(7, np.float32)) == []
    assert score_candidates(m, (), {}, np.ones(7, np.float32), like_ids=["x"], diverse=True) == []


def test_query_length_mismatch():
    m = np.ones((3, 4), np.float32)
    with pytest.raises(ValueError) as info:
        score_candidates(m, ["a"], {}, np.ones(7, np.float32), like_ids=["nothing"])
    assert str(info.value) == "Query vector dimension 7 doesn't match cache dimension 4"


def test_zero_rows_and_zero_columns():
    assert score_candidates(np.zeros((0, 4), np.float32), ["a"], {}, np.ones(4, np.float32)) == []
    got = score_candidates(np.zeros((3, 0), np.float32), ["a", "b", "c"], {}, np.zeros(0, np.float32))
    assert sorted(r["id"] for r in got) == ["a", "b", "c"]
    assert all(r["score"] == 0.0 for r in got)


def test_zero_query_scores_zero():
    c = Corpus(20, 4)
    got = score_candidates(c.matrix, c.ids, c.id_to_idx, np.zeros(4, np.float32), limit=20)
    assert len(got) == 20 and all(r["score"] == 0.0 for r in got)


@pytest.mark.parametrize("value, reported", [
    (1.0, 1.0), (0.87654, 0.8765), (0.12345, 0.1235), (0.00005, 0.0), (-0.00004, -0.0),
    (-0.12345, -0.1235), (0.99996, 1.0), (-1.0, -1.0)])
def test_rounding(value, reported):
    # A row [x, 0] against the query [1, 0] scores exactly float32(x).
    m = np.array([[value, 0.0]], np.float32)
    (row,) = score_candidates(m, ["a"], {}, np.array([1, 0], np.float32))
    assert row["score"] == reported
    assert math.copysign(1.0, row["score"]) == math.copysign(1.0, reported)


def test_nan_rows_never_returned_nor_crowd_out_finite_rows():
    rng = np.random.default_rng(0)
    m = unit_rows(rng, 200, 8)
    m[rng.choice(200, 150, replace=False)] = np.nan
    finite = [i for i in range(200) if not np.isnan(m[i, 0])]
    ids = [f"r{i}" for i in range(200)]
    got = score_candidates(m, ids, {}, np.ones(8, np.float32), limit=60)
    assert sorted(r["id"] for r in got) == sorted(ids[i] for i in finite)
    assert all(math.isfinite(r["score"]) for r in got)


def test_short_ids_fail_only_when_a_pick_has_no_id():
    m = np.array([[1, 0], [0.5, 0], [0.1, 0]], np.float32)
    q = np.array([1, 0], np.float32)
    assert [r["id"] for r in score_candidates(m, ["a", "b"], {}, q, limit=2)] == ["a", "b"]
    assert "index out of bounds" in failure(lambda: score_candidates(m, ["a", "b"], {}, q, limit=3))


def test_duplicate_ids_appear_twice():
    m = np.array([[1, 0], [1, 0]], np.float32)
    got = score_candidates(m, ["same", "same"], {}, np.array([1, 0], np.float32))
    assert got == [{"id": "same", "score": 1.0}] * 2


def test_inputs_are_not_modified():
    c = Corpus(50, 8)
    before = (c.matrix.copy(), c.query.copy(), list(c.ids), dict(c.id_to_idx))
    score_candidates(c.matrix, c.ids, c.id_to_idx, c.query, like_ids=["d1"], not_like_vec=c.query,
                     diverse=True, traj_from_vec=c.query, traj_to_vec=c.matrix[3])
    assert np.array_equal(before[0], c.matrix) and np.array_equal(before[1], c.query)
    assert before[2] == c.ids and before[3] == c.id_to_idx


# --- diversity hand-off ----------------------------------------------------------------------

@pytest.mark.parametrize("limit, oversample, lam", [(5, 50, 0.7), (10, 200, 0.3), (3, 300, 1.0), (4, 20, 0.0)])
def test_diverse_matches_reference(limit, oversample, lam):
    got = run_both(Corpus(300, 16, seed=limit), diverse=True, limit=limit, oversample=oversample, mmr_lambda=lam)
    assert len(got) == limit


def test_diverse_small_pool_keeps_plain_scores():
    c = Corpus(30, 8)
    plain = score_candidates(*c.args(), limit=5)
    # Pool of 5 finite scores is not more than limit: no selection, plain order and scores.
    assert score_candidates(*c.args(), limit=5, diverse=True, oversample=5) == plain
    # oversample < limit: at most oversample rows, plain.
    assert score_candidates(*c.args(), limit=10, diverse=True, oversample=3) == plain[:3]


def test_diverse_limit_zero_returns_the_seed():
    c = Corpus(30, 8)
    best = score_candidates(*c.args(), limit=1)[0]
    (row,) = score_candidates(*c.args(), limit=0, diverse=True, mmr_lambda=0.5)
    assert row["id"] == best["id"]
    assert abs(row["score"] - 0.5 * best["score"]) <= 1e-4


def test_diverse_penalises_duplicated_prefilter_rows():
    # The pool is a, a, c (relevance 0.8, 0.8, 0.6); the second a has similarity 1 to the first.
    m = np.array([[1, 0], [0, 1]], np.float32)
    got = score_candidates(m, ["a", "c"], {"a": 0, "c": 1}, np.array([0.8, 0.6], np.float32),
                           pre_filter_ids=["a", "a", "c"], diverse=True, limit=2, mmr_lambda=0.5)
    assert got == [{"id": "a", "score": 0.4}, {"id": "c", "score": 0.3}]
    plain = score_candidates(m, ["a", "c"], {"a": 0, "c": 1}, np.array([0.8, 0.6], np.float32),
                             pre_filter_ids=["a", "a", "c"], limit=2)
    assert [r["id"] for r in plain] == ["a", "a"]


# --- candidate restriction ---------------------------------------------------------------------

def test_prefilter_order_duplicates_unknown():
    c = Corpus(100, 8)
    subset = ["d5", "zz", "d7", "d5", "d90", "nope"]
    got = run_both(c, pre_filter_ids=subset, limit=10)
    assert sorted(r["id"] for r in got) == sorted(["d5", "d7", "d5", "d90"])


@pytest.mark.parametrize("subset", [[], ["unknown"], ("x", "y")])
def test_prefilter_resolving_nothing_is_empty(subset):
    c = Corpus(10, 4)
    assert score_candidates(*c.args(), pre_filter_ids=subset) == []


def test_prefilter_excludes_better_rows():
    c = Corpus(200, 8)
    best = {r["id"] for r in score_candidates(*c.args(), limit=20)}
    rest = [d for d in c.ids if d not in best]
    got = score_candidates(*c.args(), pre_filter_ids=rest, limit=20)
    assert len(got) == 20 and not best & {r["id"] for r in got}


def test_prefilter_index_failures_in_order():
    m = np.eye(3, dtype=np.float32)
    q = np.ones(3, np.float32)
    ids = ["a", "b"]
    ts = np.ones(1)
    mask = np.ones(1, bool)
    idx = {"a": 0, "b": 1, "far": 7}
    # Beyond the matrix beats everything else, even listed after a row beyond the ids.
    assert failure(lambda: score_candidates(m, ids, dict(idx, c=2), q, pre_filter_ids=["c", "far"],
                                            timestamps=ts, mask=mask)) == "assertion failed: index < dim"
    msg = failure(lambda: score_candidates(m, ids, dict(idx, c=2), q, pre_filter_ids=["b", "c"], timestamps=ts))
    assert "index out of bounds" in msg and "2" in msg
    assert "len is 1" in failure(lambda: score_candidates(m, ids, idx, q, pre_filter_ids=["b"], timestamps=ts))
    assert "len is 1" in failure(lambda: score_candidates(m, ids, idx, q, pre_filter_ids=["a", "b"], mask=mask))


def test_mask():
    c = Corpus(50, 8)
    assert score_candidates(*c.args(), mask=np.zeros(50, bool)) == []
    keep = np.random.default_rng(1).random(80) < 0.5
    got = run_both(c, mask=keep, limit=50)
    assert {r["id"] for r in got} == {c.ids[i] for i in range(50) if keep[i]}
    msg = failure(lambda: score_candidates(*c.args(), mask=np.ones(49, bool)))
    assert "index out of bounds" in msg
    # With a pre-filter only the resolved rows' entries matter.
    got = score_candidates(*c.args(), mask=np.array([True, False, True]), pre_filter_ids=["d0", "d1", "d2"])
    assert sorted(r["id"] for r in got) == ["d0", "d2"]


def test_mask_nonzero_bytes_are_true():
    c = Corpus(4, 4)
    raw = np.array([0, 1, 2, 255], np.uint8).view(np.bool_)
    assert sorted(r["id"] for r in score_candidates(*c.args(), mask=raw)) == ["d1", "d2", "d3"]


def test_threshold_is_strict_and_inclusive():
    m = np.array([[0.5, 0], [0.25, 0], [-0.5, 0]], np.float32)
    ids, q = ["a", "b", "c"], np.array([1, 0], np.float32)
    assert [r["id"] for r in score_candidates(m, ids, {}, q, threshold=0.25)] == ["a", "b"]
    assert [r["id"] for r in score_candidates(m, ids, {}, q, threshold=0.0)] == ["a", "b", "c"]
    assert [r["id"] for r in score_candidates(m, ids, {}, q, threshold=-5.0)] == ["a", "b", "c"]
    assert [r["id"] for r in score_candidates(m, ids, {}, q, threshold=float("nan"))] == ["a", "b", "c"]


def test_threshold_sees_scores_before_contrast():
    m = np.array([[0.6, 0.8], [0.3, 0.2]], np.float32)
    q = np.array([1, 0], np.float32)
    # Row a passes 0.5 (score 0.6) and then drops to 0.2 under the contrast, yet stays eligible.
    got = score_candidates(m, ["a", "b"], {}, q, threshold=0.5, not_like_vec=np.array([0, 1], np.float32))
    assert got == [{"id": "a", "score": 0.2}]


def test_fewer_passing_rows_than_pool():
    c = Corpus(100, 8)
    got = run_both(c, threshold=0.3, diverse=True, limit=10, oversample=80)
    assert all(r["id"] for r in got)


# --- query composition ----------------------------------------------------------------------------

@pytest.mark.parametrize("like", [["d1"], ["d1", "d2", "d2", "zz"], ["d3", "d3"]])
def test_like_matches_reference(like):
    run_both(Corpus(200, 16), like_ids=like, limit=15)


@pytest.mark.parametrize("like", [[], ["unknown"]])
def test_like_resolving_nothing_is_empty(like):
    assert score_candidates(*Corpus(10, 4).args(), like_ids=like) == []


def test_like_with_zero_query_ranks_by_centroid():
    c = Corpus(100, 8)
    got = score_candidates(c.matrix, c.ids, c.id_to_idx, np.zeros(8, np.float32), like_ids=["d4"], limit=1)
    assert got == [{"id": "d4", "score": 1.0}]


def test_like_counts_duplicates():
    c = Corpus(100, 8)
    once = score_candidates(*c.args(), like_ids=["d1", "d2"], limit=20)
    twice = score_candidates(*c.args(), like_ids=["d1", "d1", "d2"], limit=20)
    assert once != twice
    run_both(c, like_ids=["d1", "d1", "d2"], limit=20)


def test_like_uses_whole_matrix_with_prefilter():
    c = Corpus(100, 8)
    run_both(c, like_ids=["d50"], pre_filter_ids=c.ids[:20], limit=5)


def test_like_row_beyond_matrix_fails():
    c = Corpus(10, 4)
    assert failure(lambda: score_candidates(c.matrix, c.ids, {"x": 10}, c.query, like_ids=["x"])) \
        == "assertion failed: index < dim"


def test_trajectory_matches_reference():
    c = Corpus(200, 16)
    run_both(c, traj_from_vec=c.matrix[0], traj_to_vec=c.matrix[1], limit=20)
    run_both(c, traj_from_vec=np.array([0.25], np.float32), traj_to_vec=c.matrix[1], limit=20)


def test_trajectory_needs_both_ends():
    c = Corpus(50, 8)
    plain = score_candidates(*c.args())
    assert score_candidates(*c.args(), traj_to_vec=c.matrix[1]) == plain
    assert score_candidates(*c.args(), traj_from_vec=np.ones(3, np.float32)) == plain


def test_zero_direction_scales_by_point_seven():
    m = np.array([[1, 0], [0.5, 0.5]], np.float32)
    got = score_candidates(m, ["a", "b"], {}, np.array([1, 0], np.float32),
                           traj_from_vec=np.ones(2, np.float32), traj_to_vec=np.ones(2, np.float32))
    assert got == [{"id": "a", "score": 0.7}, {"id": "b", "score": 0.35}]


@pytest.mark.parametrize("src, dst, text", [
    (np.ones(3, np.float32), np.ones(4, np.float32), "incompatible shapes"),
    (np.ones(5, np.float32), np.ones(1, np.float32), "not compatible for matrix multiplication"),
])
def test_trajectory_shape_failures(src, dst, text):
    c = Corpus(10, 4)
    assert text in failure(lambda: score_candidates(*c.args(), traj_from_vec=src, traj_to_vec=dst))


def test_contrast():
    c = Corpus(100, 8)
    run_both(c, not_like_vec=c.matrix[7], limit=20)
    plain = score_candidates(*c.args(), limit=20)
    halved = score_candidates(*c.args(), limit=20, not_like_vec=c.query)
    assert [r["id"] for r in halved] == [r["id"] for r in plain]
    assert all(abs(h["score"] - p["score"] / 2) <= 1.01e-4 for h, p in zip(halved, plain))
    assert score_candidates(*c.args(), limit=20, not_like_vec=np.zeros(8, np.float32)) == plain
    assert "not compatible for matrix multiplication" in failure(
        lambda: score_candidates(*c.args(), not_like_vec=np.ones(9, np.float32)))


# --- temporal decay -------------------------------------------------------------------------------

def dated(ages_days, scores=None):
    n = len(ages_days)
    scores = scores if scores is not None else [0.8] * n
    m = np.array([[s, 0] for s in scores], np.float32)
    ids = [f"r{i}" for i in range(n)]
    ts = np.array([time.time() - a * DAY if a is not None else 0.0 for a in ages_days])
    return m, ids, ts


def decayed(ages_days, scores=None, **opts):
    m, ids, ts = dated(ages_days, scores)
    got = score_candidates(m, ids, {}, np.array([1, 0], np.float32), timestamps=ts, recent=True,
                           limit=len(ids), **opts)
    return {r["id"]: r["score"] for r in got}


def test_decay_half_lives():
    got = decayed([0, 30, 60, 90, -5])
    assert got == {"r0": 0.8, "r1": 0.4, "r2": pytest.approx(0.2667, abs=1e-4),
                   "r3": 0.2, "r4": 0.8}
    assert decayed([30], recent_days=7)["r0"] == pytest.approx(0.8 / (30 / 7 + 1), abs=1e-4)


def test_undated_rows_keep_their_score():
    m = np.array([[0.8, 0]] * 4, np.float32)
    ts = np.array([0.0, -100.0, np.nan, time.time() - 30 * DAY])
    got = score_candidates(m, list("abcd"), {}, np.array([1, 0], np.float32), timestamps=ts, recent=True)
    assert sorted(r["id"] for r in got[:3]) == ["a", "b", "c"]
    assert all(r["score"] == 0.8 for r in got[:3])
    assert got[3] == {"id": "d", "score": 0.4}


def test_decay_of_negative_scores_moves_towards_zero():
    got = decayed([0, 30], scores=[-0.8, -0.8])
    assert got == {"r0": -0.8, "r1": -0.4}


def test_decay_edge_half_lives():
    assert decayed([10, 20], recent_days=1e300) == {"r0": 0.8, "r1": 0.8}
    # Half-life 0: past rows score 0, a row aged 0 gets 0/0 = NaN and is dropped.
    assert decayed([10, -1], recent_days=0.0) == {"r0": 0.0}


def test_decay_needs_recent_and_timestamps():
    m, ids, ts = dated([30, 60])
    q = np.array([1, 0], np.float32)
    assert score_candidates(m, ids, {}, q, timestamps=ts) == score_candidates(m, ids, {}, q)
    assert score_candidates(m, ids, {}, q, recent=True, recent_days=1.0) == score_candidates(m, ids, {}, q)


def test_short_timestamps_fail():
    m, ids, ts = dated([1, 2, 3])
    msg = failure(lambda: score_candidates(m, ids, {}, np.array([1, 0], np.float32), timestamps=ts[:2], recent=True))
    assert "index out of bounds" in msg


def test_threshold_sees_decay_and_trajectory():
    # Same similarity, different ages: the old row falls below the threshold, the new one stays.
    got = decayed([0, 60], threshold=0.5)
    assert got == {"r0": 0.8}


def test_all_modulations_match_reference():
    c = Corpus(400, 16, seed=11)
    now = time.time()
    ts = now - c.rng.uniform(-5, 200, 400) * DAY
    ts[::7] = 0
    opts = dict(timestamps=ts, recent=True, recent_days=20.0, like_ids=["d3", "d9"],
                traj_from_vec=c.matrix[5], traj_to_vec=c.matrix[6], not_like_vec=c.matrix[8],
                mask=c.rng.random(400) < 0.8, threshold=0.05, limit=12)
    got = score_candidates(*c.args(), **opts)
    want, raw = reference.score_candidates(*c.args(), now=now, **opts)
    # The clock moves a little between the two calls: allow for it in the scores.
    assert [r["id"] for r in got][:5] == [r["id"] for r in want][:5]
    np.testing.assert_allclose([r["score"] for r in got], [r["score"] for r in want], atol=2e-4)
