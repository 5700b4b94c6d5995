"""Mistakes that the stubs must let both type checkers see: every line marked "# error" must be
reported, and no other line."""

from collections.abc import Sequence

import numpy as np

import _quorvel
from quorvel import Collection, Embedder

matrix = np.zeros((3, 4), np.float32)
ids = ["a", "b", "c"]
rows = _quorvel.score_candidates(matrix, ids, {"a": 0}, matrix[0], limit=2)
score_as_text: str = rows[0]["score"]  # error
_quorvel.score_candidates(matrix, ids, {"a": 0}, matrix[0], limit="2")  # error
_quorvel.score_candidates(matrix, ids, {"a": 0}, matrix[0], no_such_option=1)  # error
_quorvel.parse_modifiers(42)  # error
pick_index: str = _quorvel.mmr_select_py([0], np.ones(3, np.float32), matrix, 1, 0.5)[0][0]  # error


def search(collection: Collection) -> None:
    collection.search(42)  # error
    hit_id: int = collection.search("stars")[0].id  # error


class Wide(Embedder):
    dim = "wide"  # error

    def embed(self, texts: Sequence[str]) -> np.ndarray:
        return np.zeros((len(texts), 2), np.float32)


def strict_search(collection: Collection) -> None:
    collection.search("stars", strict="yes")  # error
    collection.search("stars", limit="3")  # error
    collection.search("stars", no_such_keyword=1)  # error
