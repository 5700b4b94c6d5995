"""BM25 with the statistics of several shards against one `LexicalIndex` over all their rows."""

import numpy as np
import pytest

from quorvel.bm25 import TermStats, TermTable
from quorvel.lexical import LexicalIndex, tokenize

WORDS = ["river", "boats", "harbour", "stars", "bread", "soups", "running", "ran", "cats", "dog",
         "the", "engine", "engines", "x7", "CMAKE_CXX_STANDARD"]
QUERIES = ["river boat", "boats boats harbour", "cats running engine unknownword", "the", "", "cxx",
           "stars bread soups dog ran river boats harbour cats engine"]


def corpus(seed, n):
    rng = np.random.default_rng(seed)
    return [" ".join(rng.choice(WORDS, int(rng.integers(0, 20)))) for _ in range(n)]


@pytest.mark.parametrize("seed, cuts", [(0, [170, 300]), (1, [0, 0, 250]), (2, [1]), (3, []),
                                        (4, [100, 100, 399])])
def test_shards_score_as_one_index_over_all_rows(seed, cuts):
    terms = tokenize(corpus(seed, 400))
    whole = LexicalIndex.from_terms(terms)
    bounds = [0, *cuts, len(terms)]
    tables = [TermTable(terms[a:b], b - a) for a, b in zip(bounds, bounds[1:])]
    for query in QUERIES:
        asked = tokenize([query])[0]
        total = TermStats.total(t.stats(asked) for t in tables)
        got = np.concatenate([t.scores(asked, total) for t in tables])
        assert np.array_equal(got, whole.scores(query)), query  # the very float32 scores
        assert got.any() == whole.knows(query)


def test_rows_without_terms_that_are_not_counted_are_left_out_of_the_statistics():
    terms = tokenize(corpus(5, 300))
    dead = np.zeros(len(terms), dtype=bool)
    dead[::7] = True
    table = TermTable([[] if d else t for t, d in zip(terms, dead)], int((~dead).sum()))
    live = LexicalIndex.from_terms([t for t, d in zip(terms, dead) if not d])
    for query in QUERIES:
        asked = tokenize([query])[0]
        got = table.scores(asked, table.stats(asked))
        assert not got[dead].any()
        assert np.array_equal(got[~dead], live.scores(query)), query


def test_statistics_are_those_of_the_query_terms_summed():
    a = TermTable([["boat", "boat", "sea"], ["sea"], []], 2)
    b = TermTable([["boat"]], 1)
    total = TermStats.total([a.stats(["boat", "sky", "boat"]), b.stats(["boat", "sky"])])
    assert total == TermStats(3, 5, {"boat": 2, "sky": 0})
    assert not TermTable([], 0).scores(["boat"], total).size
    assert not a.scores(["boat"], TermStats(0, 0, {})).any()
