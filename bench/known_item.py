"""Scores of a known-item test: each query has one right answer, and a system returns a ranking.

recall@k is the share of queries whose answer is among the first k of the ranking; MRR@k the mean
of 1/rank of the answer, counting 0 when it is not among the first k.
"""

from __future__ import annotations

from collections.abc import Sequence


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
    ranks = []
    for ranking, answer in zip(rankings, answers):
        ranks.append(next((i + 1 for i, name in enumerate(ranking) if name == answer), None))
    out = {f"recall@{k}": sum(r is not None and r <= k for r in ranks) / len(ranks) for k in recall_at}
    out[f"mrr@{mrr_at}"] = sum(1.0 / r for r in ranks if r is not None and r <= mrr_at) / len(ranks)
    return out
