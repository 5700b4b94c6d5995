"""Calls as a user writes them: both type checkers must accept this file as it stands."""

from collections.abc import Sequence

import numpy as np

import _quorvel
from quorvel import Collection, Document, Embedder, Result, parse_modifiers

matrix = np.zeros((3, 4), np.float32)
ids = ["a", "b", "c"]
rows = _quorvel.score_candidates(matrix, ids, {d: i for i, d in enumerate(ids)}, matrix[0], limit=2)
best_id: str = rows[0]["id"]
best_score: float = rows[0]["score"]
picks: list[tuple[int, float]] = _quorvel.mmr_select_py([0, 1], np.ones(3, np.float32), matrix, 2, 0.5)
limit: int | None = _quorvel.parse_modifiers("limit:3")["limit"]
like: list[str] | None = parse_modifiers("like:a,b")["like"]


def first_hit(collection: Collection) -> Result:
    hits = collection.search("stars and planets", "limit:2", diverse=True)
    hits += collection.search("planets", like_ids=["sky"], threshold=0.2, limit=None)
    return hits[0]


doc = Document("sky", "Telescopes show planets.", 0.0)
hit_id: str = first_hit(Collection.open("sky")).id


# The README's custom embedder: `dim` set as a class attribute.
class LetterCounts(Embedder):
    """A toy embedder: how often each letter a-z occurs."""
    dim = 26

    def embed(self, texts: Sequence[str]) -> np.ndarray:
        rows = np.zeros((len(texts), 26), dtype=np.float32)
        for i, text in enumerate(texts):
            for ch in text.lower():
                if "a" <= ch <= "z":
                    rows[i, ord(ch) - 97] += 1
        return rows


class Scaled(Embedder):
    """`dim` set on each instance."""

    def __init__(self, dim: int) -> None:
        self.dim = dim

    def embed(self, texts: Sequence[str]) -> np.ndarray:
        return np.ones((len(texts), self.dim), dtype=np.float32)


letters: Collection = Collection.create("letters", [("a", "aaaa")], embedder=LetterCounts())
width: int = Scaled(3).dim + LetterCounts().dim
