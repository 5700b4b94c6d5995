"""A short tour of Quorvel. First the numeric core, _quorvel, on a small generated corpus: plain,
diverse, liked, contrasted, trajectory and recency-weighted searches, and the modifier language
that drives them. Then the quorvel package: the same searches written as modifier strings, over
the Python standard library's docstrings embedded offline."""

import time

import numpy as np

import _quorvel
from quorvel.demo import main as text_demo

TOPICS = ["astronomy", "cooking", "databases", "gardening", "music"]


def make_corpus(per_topic=40, dims=64, seed=7):
    """Documents as unit vectors clustered around one centre per topic, each with a date."""
    rng = np.random.default_rng(seed)
    centres = rng.standard_normal((len(TOPICS), dims)).astype(np.float32)
    rows, ids = [], []
    for t, topic in enumerate(TOPICS):
        for k in range(per_topic):
            rows.append(centres[t] + 0.6 * rng.standard_normal(dims).astype(np.float32))
            ids.append(f"{topic}-{k:02d}")
    matrix = np.asarray(rows, dtype=np.float32)
    matrix /= np.linalg.norm(matrix, axis=1, keepdims=True)
    now = time.time()
    timestamps = now - rng.uniform(0, 365, len(ids)) * 86400.0
    return matrix, ids, {d: i for i, d in enumerate(ids)}, centres, timestamps


def show(title, rows):
    print(f"\n{title}")
    for r in rows:
        print(f"  {r['id']:<14} {r['score']:+.4f}")


def main():
    matrix, ids, id_to_idx, centres, timestamps = make_corpus()
    print(f"corpus: {matrix.shape[0]} documents x {matrix.shape[1]} dimensions, topics {', '.join(TOPICS)}")
    query = centres[TOPICS.index("databases")]

    show("plain: nearest to the 'databases' centre",
         _quorvel.score_candidates(matrix, ids, id_to_idx, query, limit=3))
    show("diverse: the same query, picked by Maximal Marginal Relevance",
         _quorvel.score_candidates(matrix, ids, id_to_idx, query, limit=3, diverse=True, mmr_lambda=0.5))
    show("like: blended towards two liked cooking documents",
         _quorvel.score_candidates(matrix, ids, id_to_idx, query, limit=3, like_ids=["cooking-01", "cooking-02"]))
    show("contrast: databases, but not like music",
         _quorvel.score_candidates(matrix, ids, id_to_idx, query, limit=3, not_like_vec=centres[TOPICS.index("music")]))
    show("trajectory: from gardening towards astronomy",
         _quorvel.score_candidates(matrix, ids, id_to_idx, query, limit=3,
                                   traj_from_vec=centres[TOPICS.index("gardening")],
                                   traj_to_vec=centres[TOPICS.index("astronomy")]))

    mods = _quorvel.parse_modifiers("recent:30 diverse limit:3")
    print(f"\nparse_modifiers('recent:30 diverse limit:3') -> {mods}")
    show("recent:30 diverse limit:3 applied to the databases query",
         _quorvel.score_candidates(matrix, ids, id_to_idx, query, timestamps=timestamps,
                                   recent=mods["recent"], recent_days=mods["recent_days"],
                                   diverse=mods["diverse"], limit=mods["limit"]))
    text_demo()


if __name__ == "__main__":
    main()
