"""Calls as a user writes them: both type checkers must accept this file as it stands."""

import numpy as np

import _quorvel
from quorvel import Collection, Document, Result, parse_modifiers

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
    return hits[0]


doc = Document("sky", "Telescopes show planets.", 0.0)
hit_id: str = first_hit(Collection.open("sky")).id
