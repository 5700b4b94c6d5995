"""Scores of a known-item test: each query has one right answer, and a system returns a ranking.

recall@k is the share of queries whose answer is among the first k of the ranking; MRR@k the mean
of 1/rank of the answer, counting 0 when it is not among the first k.
"""

from __future__ import annotations

from collections.abc import Sequence

import numpy as np


def known_item_scores(rankings: Sequence[Sequence[str]], answers: Sequence[str],
                      recall_at: Sequence[int] = (1, 5), mrr_at: int = 10) -> dict[str, float]:
    """{'recall@1': ..., 'recall@5': ..., 'mrr@10': ...} over the queries (each a ranking, best
    first, and its answer). A ranking may name the answer more than once: its first place counts."""
    if len(rankings) != len(answers):
        raise ValueError(f"{len(rankings)} rankings for {len(answers)} answers")
    if not answers:
        raise ValueError("no queries")
    if any(k < 1 for k in recall_at) or mrr_at < 1:
        raise ValueError("cut-offs must be at least 1")
    ranks = [answer_rank(ranking, answer) for ranking, answer in zip(rankings, answers)]
    out = {f"recall@{k}": sum(r is not None and r <= k for r in ranks) / len(ranks) for k in recall_at}
    out[f"mrr@{mrr_at}"] = sum(1.0 / r for r in ranks if r is not None and r <= mrr_at) / len(ranks)
    return out


def answer_rank(ranking: Sequence[str], answer: str) -> int | None:
    """The 1-based first place of `answer` in `ranking`, None when it is not there."""
    return next((i + 1 for i, name in enumerate(ranking) if name == answer), None)


#: Why a query missed the first `k` places of the combined ranking, judged from the places of its
#: answer in the rankings of each score alone (None: not in the first `near`).
MISS_KINDS = ("found", "fusion lost it", "both far", "neither")


def miss_kind(lexical: int | None, semantic: int | None, combined: int | None, k: int = 5,
              near: int = 20) -> str:
    """"found" when the combined rank is at most `k`; else "fusion lost it" when either score
    alone ranks the answer within `k`; "both far" when either ranks it within `near`; "neither"
    when no score puts it within `near` (the words of the query are not those of the answer)."""
    if combined is not None and combined <= k:
        return "found"
    alone = [r for r in (lexical, semantic) if r is not None]
    if any(r <= k for r in alone):
        return "fusion lost it"
    if any(r <= near for r in alone):
        return "both far"
    return "neither"


def cross_validated(hits: np.ndarray, reciprocal: np.ndarray, folds: int = 2, repeats: int = 20,
                    seed: int = 0) -> dict[str, float | int]:
    """How well choosing a setting on some queries does on the others.

    `hits[s, q]` is 1 when setting s puts query q's answer in the first places, `reciprocal[s, q]`
    its reciprocal rank (0 when absent). A setting is chosen by its mean hit rate, ties going to
    the better mean reciprocal rank, then to the first. Returns the setting chosen on all queries
    ("chosen") and its in-sample hit rate, the hit rate of leave-one-out (each query scored by
    the setting chosen without it) and the mean held-out hit rate over `repeats` random splits
    into `folds` parts (each part scored by the setting chosen on the others).
    """
    hits, reciprocal = np.asarray(hits, dtype=np.float64), np.asarray(reciprocal, dtype=np.float64)
    if hits.ndim != 2 or hits.shape != reciprocal.shape or hits.shape[1] < folds or folds < 2:
        raise ValueError("hits and reciprocal ranks must be settings x queries, with at least as many "
                         "queries as folds (2 or more)")
    settings, n = hits.shape

    def choose(keep: np.ndarray) -> int:
        order = np.lexsort((np.arange(settings), -reciprocal[:, keep].mean(axis=1), -hits[:, keep].mean(axis=1)))
        return int(order[0])

    everything = np.ones(n, dtype=bool)
    chosen = choose(everything)
    loo = [hits[choose(np.arange(n) != q), q] for q in range(n)]
    rng = np.random.default_rng(seed)
    held: list[float] = []
    for _ in range(repeats):
        for part in np.array_split(rng.permutation(n), folds):
            keep = everything.copy()
            keep[part] = False
            held.append(float(hits[choose(keep), part].mean()))
    return {"chosen": chosen, "in_sample": float(hits[chosen].mean()), "leave_one_out": float(np.mean(loo)),
            "split": float(np.mean(held))}
