"""BM25 with the statistics of several shards against one `LexicalIndex` over all their rows."""

import numpy as np
import pytest

from quorvel.bm25 import GROWTH, ShardTerms, TermStats, TermTable
from quorvel.lexical import LexicalIndex, tokenize

WORDS = ["river", "boats", "harbour", "stars", "bread", "soups", "running", "ran", "cats", "dog",
         "the", "engine", "engines", "x7", "CMAKE_CXX_STANDARD"]
QUERIES = ["river boat", "boats boats harbour", "cats running engine unknownword", "the", "", "cxx",
           "stars bread soups dog ran river boats harbour cats engine"]


def corpus(seed, n):
    rng = np.random.default_rng(seed)
    return [" ".join(rng.choice(WORDS, int(rng.integers(0, 20)))) for _ in range(n)]


def fused_scores(parts, query):
    """Each part's scores with the statistics of all parts, one after the other."""
    asked = tokenize([query])[0]
    total = TermStats.total(p.stats(asked) for p in parts)
    return np.concatenate([np.zeros(0, np.float32), *(p.scores(asked, total) for p in parts)])


@pytest.mark.parametrize("seed, cuts", [(0, [170, 300]), (1, [0, 0, 250]), (2, [1]), (3, []),
                                        (4, [100, 100, 399])])
def test_shards_score_as_one_index_over_all_rows(seed, cuts):
    terms = tokenize(corpus(seed, 400))
    whole = LexicalIndex.from_terms(terms)
    bounds = [0, *cuts, len(terms)]
    tables = [TermTable.of_rows(terms[a:b]) for a, b in zip(bounds, bounds[1:])]
    for query in QUERIES:
        got = fused_scores(tables, query)
        assert np.array_equal(got, whole.scores(query)), query  # the very float32 scores
        assert got.any() == whole.knows(query)
        assert np.array_equal(fused_scores([TermTable.merged(tables)], query), got)


def test_rows_that_are_not_live_are_left_out_of_the_statistics():
    terms = tokenize(corpus(5, 300))
    live = np.ones(len(terms), dtype=bool)
    live[::7] = False
    live_only = LexicalIndex.from_terms([t for t, keep in zip(terms, live) if keep])
    shard = ShardTerms()
    shard.follow("m1", len(terms), live, lambda first: terms[first:])
    for query in QUERIES:
        got = fused_scores([shard], query)
        assert not got[~live].any()
        assert np.array_equal(got[live], live_only.scores(query)), query


def test_a_shard_follows_appends_tombstones_and_a_new_matrix_file():
    texts = corpus(6, 600)
    terms = tokenize(texts)
    asked_for = []

    def terms_of(upto):
        def read(first):
            asked_for.append((first, upto))
            return terms[first:upto]
        return read

    shard = ShardTerms()
    live = np.ones(len(terms), dtype=bool)
    rows = 0
    rng = np.random.default_rng(6)
    for step in range(12):  # appends, some rows dying, the tables merged on the way
        rows += int(rng.integers(1, 50))
        live[rng.integers(0, rows, 5)] = False
        shard.follow("m1", rows, live, terms_of(rows))
        expected = LexicalIndex.from_terms([t for t, keep in zip(terms[:rows], live) if keep])
        for query in QUERIES[:3]:
            got = fused_scores([shard], query)
            assert np.array_equal(got[live[:rows]], expected.scores(query)) and not got[~live[:rows]].any()
        sizes = [t.rows for t in shard.tables]
        assert all(older > GROWTH * newer for older, newer in zip(sizes, sizes[1:])), sizes  # few tables
    assert all(first == previous for (first, _), (_, previous) in zip(asked_for[1:], asked_for))
    assert len(shard.tables) < 12
    asked_for.clear()
    shard.follow("m2", 50, None, terms_of(50))  # compacted: a new file, every row read again
    assert asked_for == [(0, 50)]
    assert np.array_equal(fused_scores([shard], "river boats"), LexicalIndex.from_terms(terms[:50]).scores("river boats"))


def test_statistics_are_those_of_the_query_terms_summed():
    a = TermTable.of_rows([["boat", "boat", "sea"], ["sea"], []])
    b = TermTable.of_rows([["boat"]])
    total = TermStats.total([a.stats(["boat", "sky", "boat"], np.array([True, False, True])),
                             b.stats(["boat", "sky"])])
    assert total == TermStats(3, 4, {"boat": 2, "sky": 0})
    assert not TermTable.of_rows([]).scores(["boat"], total).size
    assert not a.scores(["boat"], TermStats(0, 0, {})).any()
