"""Per-call figures of the three functions, with nothing but NumPy besides the module.

    .venv/bin/python bench/calls.py [--rows 100000]

Prints, as medians of interleaved rounds in one process: a plain score_candidates call on
rows x 384 float32 (ids list and id_to_idx dict of every row), the same with diverse=True (pools
of 200 and of 10,000, the latter also with mmr_lambda 1, where the selection computes a row of
similarities per pick), and
with like_ids, both trajectory vectors, not_like_vec and temporal decay, each as a ratio to the
plain call; mmr_select_py on 200 candidates, k = 20, d = 384; and parse_modifiers calls per
second on a 40-character modifier string. Nothing here fails on timing.
"""

import argparse
import statistics
import time
import timeit

import numpy as np

import _quorvel as q

DIMS = 384


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=100_000)
    parser.add_argument("--rounds", type=int, default=31)
    args = parser.parse_args()

    rng = np.random.default_rng(0)
    m = rng.standard_normal((args.rows, DIMS), dtype=np.float32)
    m /= np.linalg.norm(m, axis=1, keepdims=True)
    ids = [f"doc{i}" for i in range(args.rows)]
    id_to_idx = {d: i for i, d in enumerate(ids)}
    now = time.time()
    timestamps = rng.uniform(now - 2 * 365 * 86400.0, now, args.rows)
    like = [ids[int(i)] for i in rng.choice(args.rows, 5, replace=False)]
    query, traj_from, traj_to, unlike = (rng.standard_normal(DIMS, dtype=np.float32) for _ in range(4))

    calls = {
        "plain": lambda: q.score_candidates(m, ids, id_to_idx, query),
        "diverse": lambda: q.score_candidates(m, ids, id_to_idx, query, diverse=True),
        "diverse, oversample 10,000": lambda: q.score_candidates(m, ids, id_to_idx, query, diverse=True,
                                                                 oversample=10_000),
        # No weight on redundancy: the selection computes a full row of similarities per pick.
        "same, mmr_lambda 1 (row per pick)": lambda: q.score_candidates(
            m, ids, id_to_idx, query, diverse=True, oversample=10_000, mmr_lambda=1.0),
        "like, trajectory, contrast, decay": lambda: q.score_candidates(
            m, ids, id_to_idx, query, like_ids=like, traj_from_vec=traj_from, traj_to_vec=traj_to,
            not_like_vec=unlike, recent=True, recent_days=30.0, timestamps=timestamps),
    }
    times = {name: [] for name in calls}
    for call in calls.values():
        call()
    order = list(calls)
    for _ in range(args.rounds):
        rng.shuffle(order)
        for name in order:
            start = time.perf_counter()
            calls[name]()
            times[name].append(time.perf_counter() - start)
    medians = {name: statistics.median(t) * 1e3 for name, t in times.items()}
    print(f"score_candidates, {args.rows:,} x {DIMS} float32, C order, medians of {args.rounds} rounds:")
    for name, ms in medians.items():
        print(f"  {name:36s} {ms:8.3f} ms  {ms / medians['plain']:5.2f}x plain")

    candidates = list(range(200))
    emb = rng.standard_normal((200, DIMS), dtype=np.float32)
    emb /= np.linalg.norm(emb, axis=1, keepdims=True)
    sims = (emb @ query).astype(np.float32)
    runs = [timeit.timeit(lambda: q.mmr_select_py(candidates, sims, emb, 20, 0.7), number=1) for _ in range(201)]
    print(f"mmr_select_py, 200 candidates, k = 20, d = {DIMS}: {statistics.median(runs) * 1e3:.3f} ms (median of 201)")

    text = "recent:30 diverse limit:5 unlike:spam ok"
    n = 200_000
    best = min(timeit.repeat(lambda: q.parse_modifiers(text), number=n, repeat=5))
    print(f"parse_modifiers({text!r}), {len(text)} characters: "
          f"{n / best / 1e6:.2f} M calls/s ({best / n * 1e9:.0f} ns a call, best of 5 x {n:,})")


if __name__ == "__main__":
    main()
