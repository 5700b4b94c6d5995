"""The scoring of the retrieval benchmark (bench/known_item.py)."""

import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "bench"))
from known_item import known_item_scores  # noqa: E402


def test_recall_and_reciprocal_rank():
    rankings = [["a", "b"], ["x", "y", "z", "t", "q", "b"], ["c"] * 3 + ["d"], [], ["e", "e"]]
    answers = ["a", "b", "d", "a", "e"]
    # ranks: 1, 6, 4, none, 1 (its first place counts)
    got = known_item_scores(rankings, answers, recall_at=(1, 5), mrr_at=5)
    assert got == pytest.approx({"recall@1": 2 / 5, "recall@5": 3 / 5, "mrr@5": (1 + 1 / 4 + 1) / 5})
    assert known_item_scores(rankings, answers, mrr_at=10)["mrr@10"] == pytest.approx((1 + 1 / 6 + 1 / 4 + 1) / 5)


@pytest.mark.parametrize("rankings, answers, kwargs", [
    ([["a"]], ["a", "b"], {}),
    ([], [], {}),
    ([["a"]], ["a"], {"recall_at": (0,)}),
    ([["a"]], ["a"], {"mrr_at": 0}),
])
def test_bad_input(rankings, answers, kwargs):
    with pytest.raises(ValueError):
        known_item_scores(rankings, answers, **kwargs)
