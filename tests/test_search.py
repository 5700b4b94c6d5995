"""Searching documents of several passages: one hit a document with its best passage and line,
every passage on request, modifiers that name documents reach all their passages, the BM25
index kept per generation, and rows kept on their passages through compaction."""

import zlib

import numpy as np
import pytest

import quorvel.collection as qc
from quorvel import Collection, Document, Embedder

DAY = 86400.0
T0 = 1_700_000_000.0


def section(title, body):
    return f"# {title}\n\n{body}\n"


GARDEN = (section("Tomatoes", "Water the tomatoes every evening and tie them to stakes. " * 6)
          + section("Roses", "Prune the roses in early spring, above an outward facing bud. " * 6)
          + section("Compost", "Turn the compost heap every month so that it breathes. " * 6))
KITCHEN = (section("Bread", "Knead the sourdough bread and let it rise overnight in a cool room. " * 6)
           + section("Soup", "Simmer the lentil soup with onions, garlic and smoked paprika. " * 6))
CMAKE = section("CMAKE_CXX_STANDARD", "Default value for the CXX_STANDARD target property. " * 3)
DOCS = [Document("garden.md", GARDEN, T0), Document("kitchen.md", KITCHEN, T0 - 100 * DAY),
        Document("cmake.md", CMAKE, T0 - 10 * DAY),
        Document("notes.md", "A short note about nothing in particular.", T0)]


@pytest.fixture(scope="module")
def collection(tmp_path_factory):
    with Collection.create(tmp_path_factory.mktemp("s") / "c", DOCS) as c:
        yield c


def test_documents_are_cut_into_passages_with_their_lines(collection):
    rows = qc.rows_by_document(collection.ids)  # a document of several passages is led by its lead sentence
    assert len(rows["garden.md"]) == 1 + 3 and len(rows["kitchen.md"]) == 1 + 2 and len(rows["notes.md"]) == 1
    lead = collection.search("water the tomatoes", "limit:10", passages=True)
    assert any(h.id == "garden.md" and h.line == 3 and h.snippet.startswith("Water the tomatoes") for h in lead)
    assert len(collection) == 4


@pytest.mark.parametrize("query, doc_id, line, words", [
    ("how often should I water tomatoes", "garden.md", 1, "Water the tomatoes"),
    ("when to prune roses", "garden.md", 4, "Prune the roses"),
    ("turning a compost heap", "garden.md", 7, "Turn the compost"),
    ("lentil soup with paprika", "kitchen.md", 4, "Simmer the lentil soup"),
])
def test_one_hit_a_document_with_its_best_passage(collection, query, doc_id, line, words):
    hits = collection.search(query, "limit:3")
    assert hits[0].id == doc_id and hits[0].line == line and words in hits[0].snippet
    assert len({h.id for h in hits}) == len(hits)


def test_every_passage_on_request(collection):
    hits = collection.search("garden tomatoes roses compost", "limit:10", passages=True)
    garden = [h for h in hits if h.id == "garden.md"]
    assert sorted(h.line for h in garden) == [1, 3, 4, 7]  # line 3: the lead sentence
    assert [h.score for h in hits] == sorted((h.score for h in hits), reverse=True)


def test_a_document_filling_the_top_rows_still_leaves_room_for_others(collection):
    hits = collection.search("garden", "limit:3")
    assert len(hits) == 3 and hits[0].id == "garden.md"


def test_exact_rare_term_is_found_by_its_words(collection):
    hits = collection.search("CMAKE_CXX_STANDARD", "limit:1")
    assert hits[0].id == "cmake.md"


@pytest.fixture
def calls(monkeypatch):
    seen = []
    real = qc._quorvel.score_candidates

    def spy(*args, **kwargs):
        seen.append(kwargs)
        return real(*args, **kwargs)

    monkeypatch.setattr(qc._quorvel, "score_candidates", spy)
    return seen


@pytest.mark.parametrize("lexical", [False, True])
def test_documents_named_by_modifiers_stand_for_all_their_passages(collection, calls, lexical):
    collection.search("bread", "like:garden.md", pre_filter_ids=["kitchen.md", "garden.md"],
                      lexical=lexical)
    rows = qc.rows_by_document(collection.ids)
    labels = {collection.ids[r] for r in rows["garden.md"]}
    assert all(set(call["like_ids"]) == labels for call in calls)
    assert set(calls[0]["pre_filter_ids"]) == labels | {collection.ids[r] for r in rows["kitchen.md"]}


def test_decay_uses_the_documents_time(collection):
    ts = collection.timestamps
    for doc_id, rows in qc.rows_by_document(collection.ids).items():
        assert set(ts[rows]) == {collection.get(doc_id).timestamp}
    # the kitchen page is 100 days old: recency sinks it below the fresher garden page
    plain = collection.search("soup bread garden tomatoes", "limit:2")
    recent = collection.search("soup bread garden tomatoes", "recent:7 limit:2")
    assert [h.id for h in recent][0] == "garden.md" and {h.id for h in plain} == {h.id for h in recent}


def test_the_bm25_index_follows_the_generations(tmp_path):
    with Collection.create(tmp_path / "c", DOCS) as c:
        first = c.generation
        assert c.search("compost", "limit:1")[0].id == "garden.md"
        assert (tmp_path / "c" / f"{first}.lexical").is_dir()
        c.add([Document("worms.md", "Worms eat the compost and make it richer, worms again.")])
        assert c.search("worms", "limit:1")[0].id == "worms.md"
        c.remove(["worms.md"])
        lexical = sorted(p.name for p in (tmp_path / "c").iterdir() if ".lexical" in p.name)
        assert lexical == [f"{c.generation - 1}.lexical"]   # the latest only, kept for its terms
    with Collection.open(tmp_path / "c", read_only=True) as c:      # built in memory
        assert c.lexical_index().rows == len(c.ids)


class WordHashes(Embedder):
    """A fixed embedder (never refitted, so appends keep the matrix file): hashed words."""
    dim = 64

    def embed(self, texts):
        out = np.zeros((len(texts), self.dim), dtype=np.float32)
        for i, text in enumerate(texts):
            for word in text.lower().split():
                out[i, zlib.crc32(word.encode()) % self.dim] += 1
        return out


def test_the_next_index_tokenizes_only_the_rows_appended(tmp_path, monkeypatch):
    queries = ["compost worms", "tea", "bread soup", "CXX_STANDARD", "nothing"]
    filler = [Document(f"filler{i}.md", f"Filler note {i} about walking the dog.") for i in range(20)]
    with Collection.create(tmp_path / "c", DOCS + filler, embedder=WordHashes()) as c:
        c.lexical_index()
        seen = []
        monkeypatch.setattr(qc, "tokenize", lambda texts, real=qc.tokenize: seen.append(len(texts)) or real(texts))
        c.add([Document("worms.md", "Worms eat the compost."),
               Document("kitchen.md", KITCHEN + section("Tea", "Brew green tea for two minutes."))])
        c.remove(["notes.md"])
        index = c.lexical_index()
        appended = len(qc.rows_by_document(c.ids)["kitchen.md"]) + 1
        assert seen == [appended]
        full = qc.LexicalIndex.build(c._row_texts(c._state))
        for q in queries:
            np.testing.assert_allclose(index.scores(q), full.scores(q), rtol=1e-6)
        c.compact()                                    # rows moved: every row tokenized again
        seen.clear()
        c.lexical_index()
        assert seen == [len(c.ids)]


def test_rows_stay_on_their_passages_through_changes_and_compaction(tmp_path):
    with Collection.create(tmp_path / "c", DOCS) as c:
        c.add([Document("kitchen.md", KITCHEN + section("Tea", "Brew green tea for two minutes. " * 5),
                        T0)])
        c.remove(["notes.md", "cmake.md"])
        c.compact()
        rows = qc.rows_by_document(c.ids)
        assert len(c.ids) == sum(map(len, rows.values())) and c.mask is None
        for doc_id, doc_rows in rows.items():
            passages = qc.split(c.get(doc_id))
            assert len(passages) == len(doc_rows)
            for row, passage in zip(doc_rows, passages):
                np.testing.assert_allclose(c.matrix[row], c.embed(passage.text), atol=2e-5)
        hit = c.search("brewing green tea", "limit:1")[0]
        assert (hit.id, hit.line) == ("kitchen.md", 7)


def test_a_metadata_filter_selects_every_passage_of_a_document(tmp_path):
    docs = [Document("garden.md", GARDEN, T0, {"kind": "outdoors"}),
            Document("kitchen.md", KITCHEN, T0, {"kind": "food"})]
    with Collection.create(tmp_path / "c", docs) as c:
        hits = c.search("soup bread tomatoes roses", "limit:10", passages=True, where={"kind": "food"})
        assert {h.id for h in hits} == {"kitchen.md"} and sorted(h.line for h in hits) == [1, 3, 4]
        assert hits[0].metadata == {"kind": "food"}
