"""A plain NumPy model of score_candidates and of the MMR selection, written for the tests.

It follows the pipeline step by step in float32 (double for MMR scores and ages). Every dot
product is accumulated in float64 and rounded to float32 once, so it is the correctly rounded
value but for a vanishing share of cases and depends on no float32 summation order; the module
sums in float32 in its own order, so scores agree with it to float32 rounding, not to the bit:
compare with `assert_rows_match`.
NaN and infinity propagate through those sums as through any float32 sum (inf * 0 is NaN,
inf - inf is NaN), as long as no finite product or sum overflows float32.

`score_candidates` and `mmr` take an optional `trace` dict that they fill with their working
state (the scores, the ranking, the pool, the margin of every MMR decision), from which a test
can tell whether a case is too close to a tie to expect one exact answer.
"""

import math

import numpy as np

F32 = np.float32


def normalise(v):
    v = np.asarray(v, dtype=F32).copy()
    sq = F32(np.sum(v * v, dtype=F32))
    if sq > 0:
        v = (v / np.sqrt(sq)).astype(F32)
    return v, sq


def dot_rows(rows, v):
    """Float32 dot product of every row of `rows` with `v`, rounded once from float64."""
    rows = np.asarray(rows, dtype=F32)
    v = np.asarray(v, dtype=F32)
    if rows.shape[1] != v.shape[0]:
        raise ValueError(f"shapes {rows.shape} and {v.shape} not aligned")
    with np.errstate(invalid="ignore", over="ignore"):
        return np.einsum("id,d->i", rows.astype(np.float64), v.astype(np.float64)).astype(F32)


def gram(rows):
    """Float32 dot products of every pair of rows, rounded once from float64."""
    g = np.asarray(rows, dtype=np.float64)
    with np.errstate(invalid="ignore", over="ignore"):
        return np.einsum("id,jd->ij", g, g).astype(F32)


def resolve(ids, id_to_idx):
    return [id_to_idx[i] for i in ids if i in id_to_idx]


def mmr(candidates, relevance, matrix, k, lam, trace=None):
    """(row index, score) pairs of the greedy MMR selection.

    With a `trace` dict, records in trace["decisions"] one (best, runner_up) pair per pick of the
    loop: the winning score and the best score of the other unselected positions, leaving out
    those whose key equals the winner's (trace["keys"], one per position, default the candidate
    values: positions with the same key are interchangeable)."""
    n = len(candidates)
    if n == 0:
        return []
    g = np.asarray(matrix, dtype=F32)[[int(c) for c in candidates]]
    sim = gram(g)
    rel = [float(relevance[int(c)]) for c in candidates]
    keys = trace.get("keys", [int(c) for c in candidates]) if trace is not None else None
    decisions = [] if trace is None else trace.setdefault("decisions", [])
    max_sim = [-math.inf] * n
    selected = [False] * n
    out = [(candidates[0], rel[0] * lam)]
    selected[0] = True

    def update(p):
        for j in range(n):
            s = float(sim[p, j])
            if math.isnan(max_sim[j]) or s > max_sim[j]:
                max_sim[j] = s if not math.isnan(s) else max_sim[j]

    update(0)
    if k < 2:
        return out
    w = 1.0 - lam
    while len(out) < k and not all(selected):
        best, best_pos = -math.inf, 0
        for i in range(n):
            if selected[i]:
                continue
            score = rel[i] * lam - max_sim[i] * w
            if score > best:
                best, best_pos = score, i
        if best == -math.inf:
            break
        if trace is not None:
            others = [rel[i] * lam - max_sim[i] * w for i in range(n)
                      if not selected[i] and i != best_pos and keys[i] != keys[best_pos]]
            others = [x for x in others if not math.isnan(x)]
            decisions.append((best, max(others, default=-math.inf)))
        out.append((candidates[best_pos], best))
        selected[best_pos] = True
        update(best_pos)
    return out


def round_score(x):
    if not math.isfinite(x):
        return x
    r = math.floor(abs(x) * 10000.0 + 0.5)
    return math.copysign(r / 10000.0, x)


def score_candidates(matrix, ids, id_to_idx, query_vec, timestamps=None, pre_filter_ids=None,
                     not_like_vec=None, diverse=False, limit=10, oversample=200, threshold=0.0,
                     mmr_lambda=0.7, recent=False, recent_days=None, like_ids=None,
                     traj_from_vec=None, traj_to_vec=None, mask=None, now=None, trace=None):
    """Returns (rows, scores): rows as the module returns them (unrounded scores in `scores`).
    A failure that the module reports as its internal-failure exception raises IndexError
    (a row, identifier, timestamp or mask entry out of range) or ValueError (vectors of
    incompatible lengths) here; the query's dimension check raises the module's ValueError."""
    trace = {} if trace is None else trace
    if len(ids) == 0:
        return [], []
    matrix = np.asarray(matrix, dtype=F32)
    n, dims = matrix.shape
    if len(query_vec) != dims:
        raise ValueError(f"Query vector dimension {len(query_vec)} doesn't match cache dimension {dims}")
    q, qsq = normalise(query_vec)
    if like_ids is not None:
        rows = resolve(like_ids, id_to_idx)
        if not rows:
            return [], []
        c = np.zeros(dims, F32)
        for r in rows:
            c = (c + matrix[r]).astype(F32)
        c, _ = normalise((c / F32(len(rows))).astype(F32))
        q = c if not qsq > 0 else normalise((F32(0.5) * q + F32(0.5) * c).astype(F32))[0]
    direction = None
    if traj_from_vec is not None and traj_to_vec is not None:
        direction, _ = normalise(np.asarray(traj_to_vec, F32) - np.asarray(traj_from_vec, F32))
    if pre_filter_ids is not None:
        rows = resolve(pre_filter_ids, id_to_idx)
        if not rows:
            return [], []
        work = matrix[rows]
        work_rows = rows
        work_ids = [ids[r] for r in rows]
        work_ts = None if timestamps is None else np.asarray(timestamps)[rows]
        work_mask = None if mask is None else np.asarray(mask)[rows]
    else:
        work, work_ids, work_ts, work_mask = matrix, list(ids), timestamps, mask
        work_rows = list(range(n))
    m = work.shape[0]
    trace.update(work_rows=work_rows, work_ids=work_ids)
    s = dot_rows(work, q)
    if direction is not None:
        t = dot_rows(work, direction)
        s = (F32(0.7) * s + F32(0.3) * t).astype(F32)
    if recent and timestamps is not None:
        now = now if now is not None else __import__("time").time()
        h = F32(recent_days if recent_days is not None else 30.0)
        for i in range(m):
            ts = float(work_ts[i])
            if not ts > 0:
                continue
            age = (now - ts) / 86400.0
            if age < 0 or math.isnan(age):
                age = 0.0
            factor = F32(1.0) / (F32(age) / h + F32(1.0))
            s[i] = F32(factor * s[i])
    if mask is not None and m > 0:
        if len(work_mask) < m:
            raise IndexError(f"mask of length {len(work_mask)} for {m} rows")
        s = np.where(np.asarray(work_mask[:m], dtype=bool), s, F32(-np.inf)).astype(F32)
    trace["pre_threshold"] = s.copy()
    if F32(threshold) > 0:
        s = np.where(s < F32(threshold), F32(-np.inf), s).astype(F32)
    if not_like_vec is not None:
        neg, _ = normalise(not_like_vec)
        u = dot_rows(work, neg)
        s = (s - F32(0.5) * u).astype(F32)
    pool_size = oversample if diverse else limit
    order = sorted(range(m), key=lambda i: (math.isnan(s[i]), -float(s[i]) if not math.isnan(s[i]) else 0))
    pool = [i for i in order[:pool_size] if math.isfinite(s[i])]
    trace.update(scores=s, order=order, pool_size=pool_size, pool=pool)
    if diverse and len(pool) > limit:
        trace["mmr"] = {"keys": [work_rows[i] for i in pool]}
        picks = mmr(pool, s, work, limit, mmr_lambda, trace["mmr"])
    else:
        picks = [(i, float(s[i])) for i in pool[:limit]]
    rows = [{"id": work_ids[i], "score": round_score(sc)} for i, sc in picks]
    return rows, [sc for _, sc in picks]


def assert_rows_match(got, expected, expected_scores, tol=2e-6):
    """The module's rows against the model's: same ids in order except among near-tied scores,
    and scores equal to four decimals unless the unrounded score sits on a rounding boundary."""
    assert len(got) == len(expected), (got, expected)
    by_id = {}
    for row, raw in zip(expected, expected_scores):
        by_id.setdefault(row["id"], []).append(raw)
    for i, (g, e, raw) in enumerate(zip(got, expected, expected_scores)):
        if g["id"] != e["id"]:
            # Only a near-tie may swap places.
            other = by_id.get(g["id"], [math.inf])
            assert any(abs(o - raw) <= tol * max(1.0, abs(raw)) for o in other), (i, got, expected)
        near_boundary = abs(abs(raw) * 10000 % 1 - 0.5) < 1e-2
        if not near_boundary:
            assert g["score"] == e["score"] or abs(g["score"] - e["score"]) <= 1e-4 + 1e-12, (i, g, e)
