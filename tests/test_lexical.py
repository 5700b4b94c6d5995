"""BM25 index, score fusion, documents from passages and the hybrid ranking."""

import time

import numpy as np
import pytest

from quorvel.lexical import LexicalIndex, best_per_document, fuse, hybrid_rank, normalise

TEXTS = [
    "Set the CMAKE_CXX_STANDARD variable to choose the language level.",
    "Libraries are linked with target_link_libraries.",
    "The quick brown fox jumps over the lazy dog.",
    "",
    "Running tests: ctest runs every registered test.",
]


@pytest.fixture(scope="module")
def index():
    return LexicalIndex.build(TEXTS)


@pytest.mark.parametrize("query, best", [
    ("cxx standard", 0),            # identifiers split at underscores
    ("library linking", 1),         # stems: library ~ libraries, linking ~ linked
    ("foxes jumping", 2),
    ("run a test", 4),
])
def test_scores_every_row_and_zero_without_a_shared_term(index, query, best):
    scores = index.scores(query)
    assert scores.dtype == np.float32 and scores.shape == (len(TEXTS),)
    assert int(np.argmax(scores)) == best
    assert scores[3] == 0 and np.count_nonzero(scores) == 1
    assert index.knows(query)


@pytest.mark.parametrize("query", ["", "the of and", "zyzzyva"])
def test_query_without_known_term_scores_zero(index, query):
    assert not index.scores(query).any()
    assert not index.knows(query)


def test_empty_index():
    empty = LexicalIndex.build([])
    assert empty.rows == 0 and empty.scores("anything").shape == (0,)


def test_normalise_and_fuse_by_hand():
    np.testing.assert_allclose(normalise(np.array([1.0, 3.0]), "minmax"), [0, 1])
    np.testing.assert_allclose(normalise(np.array([1.0, 3.0]), "z"), [-1, 1])
    assert not normalise(np.array([2.0, 2.0]), "z").any()
    lexical, semantic = np.array([0.0, 9.0, 1.0]), np.array([0.9, 0.1, 0.5])
    assert np.argmax(fuse(lexical, semantic, 1.0)) == 0
    assert np.argmax(fuse(lexical, semantic, 0.0)) == 1
    mixed = np.array([0.5, 0.5, 0.5 * (1 / 9) + 0.5 * 0.5])  # halves of [0, 1, 1/9] and [1, 0, 0.5]
    np.testing.assert_allclose(fuse(lexical, semantic, 0.5, "minmax"), mixed - mixed.min(), atol=1e-12)


def test_fuse_adds_the_lead_score_of_the_rows_that_have_one():
    lexical, semantic = np.array([0.0, 1.0, 0.0, 1.0]), np.array([1.0, 1.0, 0.0, 0.0])
    lead = np.array([np.nan, 3.0, 1.0, np.nan])  # z over rows 1 and 2: [1, -1]; the others count 0
    # halves of z [-1, 1, -1, 1] and [1, 1, -1, -1] give [0, 1, -1, 0]; plus 2 x [0, 1, -1, 0]
    np.testing.assert_allclose(fuse(lexical, semantic, 0.5, "z", lead, 2.0), [3, 6, 0, 3])
    np.testing.assert_allclose(fuse(lexical, semantic, 0.5, "z", np.full(4, np.nan), 2.0), fuse(lexical, semantic))


@pytest.mark.parametrize("call", [
    lambda: fuse(np.zeros(2), np.zeros(2), 0.5, "z", np.zeros(3)),
    lambda: fuse(np.zeros(2), np.zeros(2), 0.5, "z", np.zeros(2), -1.0),
    lambda: fuse(np.zeros(2), np.zeros(3)),
    lambda: fuse(np.zeros((2, 2)), np.zeros((2, 2))),
    lambda: fuse(np.zeros(2), np.zeros(2), 1.5),
    lambda: normalise(np.zeros(2), "rank"),
    lambda: best_per_document(np.zeros(2), np.zeros(2, dtype=int), np.zeros(3, dtype=int)),
])
def test_bad_fusion_input(call):
    with pytest.raises(ValueError):
        call()


def test_best_per_document_names_the_best_passage():
    document_of_row = np.array([0, 0, 1, 1, 1, 2])
    docs, scores, rows = best_per_document(np.array([0.2, 0.7, 0.1, 0.9, 0.3, 0.7]), document_of_row)
    assert docs.tolist() == [1, 0, 2] and rows.tolist() == [3, 1, 5]
    np.testing.assert_allclose(scores, [0.9, 0.7, 0.7])
    docs, _, rows = best_per_document(np.array([0.5, 0.8]), document_of_row, np.array([4, 0]))
    assert docs.tolist() == [0, 1] and rows.tolist() == [0, 4]


class Small:
    """Six passages with hand-made vectors: the query vector points at row 0, while only row 5
    holds the query's rare word."""

    texts = ["gardening in spring", "gardening tools", "watering plants", "unrelated cooking",
             "more cooking", "the zyzzyva beetle in gardens"]

    def __init__(self):
        m = np.zeros((6, 4), dtype=np.float32)
        m[0] = [1, 0, 0, 0]
        m[1] = [0.9, 0.43589, 0, 0]
        m[2] = [0.8, 0.6, 0, 0]
        m[3] = [0, 0, 1, 0]
        m[4] = [0, 0, 0.6, 0.8]
        m[5] = [0.2, 0, 0.979796, 0]
        self.matrix = m
        self.ids = [f"r{i}" for i in range(6)]
        self.id_to_idx = {r: i for i, r in enumerate(self.ids)}
        self.query = np.array([1, 0, 0, 0], dtype=np.float32)
        self.lexical = LexicalIndex.build(self.texts).scores("zyzzyva gardening")

    def rank(self, **options):
        return hybrid_rank(self.matrix, self.ids, self.id_to_idx, self.query, self.lexical, **options)


def test_hybrid_brings_in_the_lexical_match_the_vectors_miss():
    small = Small()
    semantic_only = small.rank(limit=3, semantic_weight=1.0)
    assert 5 not in [r for r, _ in semantic_only]
    fused = small.rank(limit=3)
    assert [r for r, _ in fused][:1] == [0] and 5 in [r for r, _ in fused]
    scores = [s for _, s in fused]
    assert scores == sorted(scores, reverse=True)
    assert sorted(r for r, _ in small.rank(limit=3, pool=1)) == [0, 5]  # one from each pool


@pytest.mark.parametrize("options, absent", [
    ({"mask": np.array([True] * 5 + [False])}, {5}),
    ({"pre_filter_ids": ["r0", "r1", "r2"]}, {3, 4, 5}),
    ({"threshold": 0.5}, {3, 4, 5}),
])
def test_hybrid_keeps_the_filters(options, absent):
    rows = [r for r, _ in Small().rank(limit=6, **options)]
    assert rows and not set(rows) & absent


def test_hybrid_recency_scales_the_fused_score():
    small = Small()
    now = time.time()
    fresh = small.rank(limit=6)
    timestamps = np.full(6, now)
    timestamps[0] = now - 365 * 86400  # the semantic favourite is a year old
    aged = dict(small.rank(limit=6, recent=True, recent_days=30, timestamps=timestamps))
    assert aged[0] < 0.5 * dict(fresh)[0]  # a year is many half-lives
    assert aged[5] == pytest.approx(dict(fresh)[5], rel=1e-3)


def test_hybrid_diverse_starts_from_the_best_and_spreads():
    small = Small()
    plain = small.rank(limit=3)
    diverse = small.rank(limit=3, diverse=True, mmr_lambda=0.1)
    assert diverse[0][0] == plain[0][0] == 0 and len(diverse) == 3
    assert plain[1][0] == 5 and diverse[1][0] in (3, 4)  # mostly diversity: a row unlike row 0 comes second


@pytest.mark.parametrize("options", [{"limit": 0}, {"mask": np.zeros(6, dtype=bool)}])
def test_hybrid_empty_results(options):
    assert Small().rank(**options) == []


def test_hybrid_lead_scores_each_passage_with_its_documents_first_row():
    # Two documents: rows 0-2 (row 0 its lead, pointing at the query) and rows 3-5 (row 3 its lead,
    # pointing away). Row 4 is the second passage by itself; with the leads rows 1 and 2 overtake
    # it, and rows 0 and 3 are not scored twice by their own vectors (semantic z of rows 0, 1, 2,
    # 4: 1.44, 0.48, -0.96, 0.96; lead z of rows 1, 2, 4, 5: 1, 1, -1, -1).
    m = np.zeros((6, 3), dtype=np.float32)
    m[0] = [1, 0, 0]
    m[1] = [0.6, 0.8, 0]
    m[2] = [0, 0, 1]
    m[3] = [0, 0.6, 0.8]
    m[4] = [0.8, 0.6, 0]
    m[5] = [0, 1, 0]
    ids = [f"r{i}" for i in range(6)]
    id_to_idx = {r: i for i, r in enumerate(ids)}
    query, lexical = np.array([1, 0, 0], dtype=np.float32), np.zeros(6, dtype=np.float32)
    firsts = np.array([0, 0, 0, 3, 3, 3])
    calls = []

    def lead_rows(rows):
        calls.append(rows.copy())
        return firsts[rows]

    def ranked(**options):
        return [r for r, _ in hybrid_rank(m, ids, id_to_idx, query, lexical, limit=6, semantic_weight=1.0, **options)]

    assert ranked()[:3] == [0, 4, 1]
    assert ranked(lead_rows=lead_rows, lead_weight=1.0)[:3] == [1, 0, 2]
    assert ranked(lead_rows=lead_rows, lead_weight=0.0) == ranked()
    assert ranked(lead_rows=lead_rows, mask=np.array([True, True, True, False, True, True]))  # a lead masked out
    assert all(len(c) for c in calls)
    with pytest.raises(ValueError, match="lead_rows"):
        ranked(lead_rows=lambda rows: np.full(len(rows), 6))


def test_hybrid_refuses_a_lexical_vector_of_another_length():
    small = Small()
    with pytest.raises(ValueError, match="one score per row"):
        hybrid_rank(small.matrix, small.ids, small.id_to_idx, small.query, small.lexical[:5])
