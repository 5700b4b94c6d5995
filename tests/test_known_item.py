"""The scoring of the retrieval benchmark (bench/known_item.py)."""

import sys
from pathlib import Path

import numpy as np
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "bench"))
from known_item import cross_validated, known_item_scores, miss_kind  # noqa: E402


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


@pytest.mark.parametrize("lexical, semantic, combined, kind", [
    (None, None, 5, "found"),
    (1, 1, 6, "fusion lost it"),
    (None, 5, None, "fusion lost it"),
    (6, 20, None, "both far"),
    (21, None, 7, "neither"),
    (None, None, None, "neither"),
])
def test_miss_kind(lexical, semantic, combined, kind):
    assert miss_kind(lexical, semantic, combined) == kind


def test_cross_validation_scores_each_query_by_a_choice_made_without_it():
    hits = np.array([[0, 1, 1, 1], [1, 1, 0, 0]])
    reciprocal = np.array([[0, 0.2, 1, 1], [1, 0.5, 0, 0]])
    # Without query 0 or 1 setting 0 wins; without 2 or 3 the settings tie on hits and setting 1
    # wins on reciprocal rank, and misses the query left out.
    got = cross_validated(hits, reciprocal)
    assert got["chosen"] == 0 and got["in_sample"] == 0.75 and got["leave_one_out"] == 0.25
    assert cross_validated(hits, reciprocal, folds=4, repeats=3)["split"] == 0.25  # parts of one query
    assert cross_validated(np.ones((2, 3)), np.ones((2, 3)))["chosen"] == 0  # full tie: the first


@pytest.mark.parametrize("hits, reciprocal, folds", [
    (np.ones((2, 3)), np.ones((2, 4)), 2),
    (np.ones(3), np.ones(3), 2),
    (np.ones((2, 1)), np.ones((2, 1)), 2),
    (np.ones((2, 3)), np.ones((2, 3)), 1),
])
def test_cross_validation_bad_input(hits, reciprocal, folds):
    with pytest.raises(ValueError):
        cross_validated(hits, reciprocal, folds=folds)
