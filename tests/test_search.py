"""Searching documents of several passages: one hit a document with its best passage and line,
every passage on request, modifiers that name documents reach all their passages, the BM25
terms followed through changes and saved per change, and rows kept on their passages through compaction."""

import os
import zlib

import numpy as np
import pytest

import quorvel.collection as qc
from quorvel import Collection, Document, Embedder, QueryWarning
from quorvel.lexical import LexicalIndex

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


class WordHashes(Embedder):
    """A fixed embedder (never refitted, so appends keep the matrix file): hashed words."""
    dim = 64

    def embed(self, texts):
        out = np.zeros((len(texts), self.dim), dtype=np.float32)
        for i, text in enumerate(texts):
            for word in text.lower().split():
                out[i, zlib.crc32(word.encode()) % self.dim] += 1
        return out


QUERIES = ["compost worms", "tea", "bread soup", "CXX_STANDARD", "roses roses spring", "nothing"]
FILLER = [Document(f"filler{i}.md", f"Filler note {i} about walking the dog.") for i in range(20)]


def scores(c, query):
    tables = c.lexical_index()
    asked = qc.tokenize([query])[0]
    return tables.scores(asked, tables.stats(asked))


def assert_scores_of_live_rows(c):
    """The BM25 scores of every query are those of an index made afresh over the live rows, bit
    for bit, and 0 for the others."""
    live = np.ones(len(c.ids), dtype=bool) if c.mask is None else c.mask
    texts = c._row_texts(c._state)
    fresh = LexicalIndex.build([t for t, keep in zip(texts, live) if keep])
    for q in QUERIES:
        got = scores(c, q)
        assert np.array_equal(got[live], fresh.scores(q)) and not got[~live].any(), q


def saved_files(folder):
    return sorted(p.name for p in folder.iterdir() if ".terms." in p.name)


def test_the_bm25_terms_follow_the_changes_and_are_saved_per_change(tmp_path, monkeypatch):
    folder = tmp_path / "c"
    seen = []
    monkeypatch.setattr(qc, "tokenize", lambda texts, real=qc.tokenize: seen.append(len(texts)) or real(texts))
    with Collection.create(folder, DOCS + FILLER, embedder=WordHashes()) as c:
        c.lexical_index()
        table = f"{c._state.meta['matrix'][:12]}.0-{len(c.ids)}.terms.npz"
        first = saved_files(folder)
        assert first == sorted([f"{c.generation}.terms.json", table])
        old_table = (folder / table).stat()
        rows = len(c.ids)
        c.add([Document("worms.md", "Worms eat the compost."),
               Document("kitchen.md", KITCHEN + section("Tea", "Brew green tea for two minutes."))])
        c.remove(["notes.md"])
        seen.clear()
        assert_scores_of_live_rows(c)
        appended = len(qc.rows_by_document(c.ids)["kitchen.md"]) + 1
        assert seen[0] == appended          # only the rows the changes appended were tokenized
        added = f"{c._state.meta['matrix'][:12]}.{rows}-{rows + appended}.terms.npz"
        assert added in saved_files(folder)  # a table of its own, beside the earlier one, untouched
        assert (folder / table).stat().st_mtime_ns == old_table.st_mtime_ns
        with pytest.warns(QueryWarning, match="occurs in the collection"):  # only in a removed document
            c.search("particular")
    with Collection.open(folder, embedder=WordHashes()) as again:   # a fresh process reads them
        seen.clear()
        assert_scores_of_live_rows(again)
        assert seen == [1] * len(QUERIES)   # the queries alone
        again.add([Document("more.md", "More compost, more worms.")])  # its sweep keeps the latest list
        lists = [n for n in saved_files(folder) if n.endswith(".json")]
        assert lists == [f"{again.generation - 1}.terms.json"]
        again.compact()                     # rows moved: every row tokenized again
        seen.clear()
        assert_scores_of_live_rows(again)
        assert seen[0] == len(again.ids)
        again.add([Document("last.md", "The last note.")])   # the earlier matrix file's tables go
        stem = again._state.meta["matrix"][:12]
        assert all(n.startswith(stem) for n in saved_files(folder) if n.endswith(".npz"))
    with Collection.open(folder, embedder=WordHashes(), read_only=True) as reader:  # in memory only
        before = saved_files(folder)
        assert_scores_of_live_rows(reader)
        assert saved_files(folder) == before and reader.lexical_index().rows == len(reader.ids)


@pytest.mark.parametrize("seed", [1, 2])
def test_terms_followed_through_changes_score_as_a_fresh_index_of_the_live_rows(tmp_path, seed):
    rng = np.random.default_rng(seed)
    words = ["compost", "worms", "tea", "bread", "soup", "roses", "spring", "CXX_STANDARD", "dog"]

    def doc(i):
        return Document(f"d{i}.md", " ".join(rng.choice(words, int(rng.integers(1, 30)))))

    with Collection.create(tmp_path / "c", [doc(i) for i in range(40)], embedder=WordHashes()) as c:
        tombstoned, matrices = False, set()
        for step in range(14):
            ids = [f"d{i}" for i in rng.integers(0, 60, 3)]
            c.update([doc(int(i[1:])) for i in ids[:2]], remove=[f"{ids[2]}.md"])
            if step % 2:
                assert_scores_of_live_rows(c)         # followed in memory
            with Collection.open(tmp_path / "c", embedder=WordHashes()) as fresh:
                assert_scores_of_live_rows(fresh)     # read from the saved tables (this change's, or
            assert_scores_of_live_rows(c)             # the earlier ones and the rows appended since)
            tombstoned, matrices = tombstoned or c.mask is not None, matrices | {c._state.meta["matrix"]}
        assert tombstoned and len(matrices) > 1      # through tombstones and a compaction


def truncate(path):
    path.write_bytes(path.read_bytes()[:100])


def flip_a_byte(path):
    data = bytearray(path.read_bytes())
    data[len(data) // 2] ^= 0xFF
    path.write_bytes(bytes(data))


def rows_out_of_range(path):
    with np.load(path) as z:
        arrays = dict(z)
    arrays["rows"] = arrays["rows"] + 1000
    np.savez(path, **arrays)


def lengths_off(path):
    with np.load(path) as z:
        arrays = dict(z)
    arrays["lengths"] = arrays["lengths"] + 1
    np.savez(path, **arrays)


def another_tables_rows(path):
    with np.load(path) as z:
        arrays = dict(z)
    arrays["lengths"], arrays["rows"] = arrays["lengths"][:-1], np.minimum(arrays["rows"], len(arrays["lengths"]) - 2)
    np.savez(path, **arrays)


@pytest.mark.parametrize("damage", [truncate, flip_a_byte, rows_out_of_range, lengths_off,
                                    another_tables_rows, lambda p: p.unlink(),
                                    lambda p: p.with_name("1.terms.json").write_text('{"format": 1, "tables": "../x"}'),
                                    lambda p: p.with_name("1.terms.json").write_text("[")])
def test_a_damaged_saved_table_is_refused_and_made_again(tmp_path, monkeypatch, damage):
    with Collection.create(tmp_path / "c", DOCS + FILLER, embedder=WordHashes()) as c:
        assert c.generation == 1
        c.lexical_index()
        table = next((tmp_path / "c").glob("*.terms.npz"))
    damage(table)
    with Collection.open(tmp_path / "c", embedder=WordHashes()) as c:
        assert_scores_of_live_rows(c)
    seen = []
    monkeypatch.setattr(qc, "tokenize", lambda texts, real=qc.tokenize: seen.append(len(texts)) or real(texts))
    with Collection.open(tmp_path / "c", embedder=WordHashes()) as c:   # saved again, whole
        c.lexical_index()
        assert seen == []


def test_a_crash_between_writing_and_renaming_leaves_a_usable_collection(tmp_path, monkeypatch):
    folder = tmp_path / "c"
    with Collection.create(folder, DOCS + FILLER, embedder=WordHashes()) as c:
        c.lexical_index()
        c.add([Document("worms.md", "Worms eat the compost.")])

        def killed(src, dst, real=os.replace):
            if ".terms." in str(dst):
                raise KeyboardInterrupt  # the process dies with its scratch file written
            return real(src, dst)

        monkeypatch.setattr(os, "replace", killed)
        with pytest.raises(KeyboardInterrupt):
            c.lexical_index()
        monkeypatch.undo()
    assert [p for p in folder.iterdir() if p.name.startswith(".") and ".terms." in p.name]
    with Collection.open(folder, embedder=WordHashes()) as c:
        assert c.search("worms", "limit:1")[0].id == "worms.md"
        assert_scores_of_live_rows(c)
        c.remove(["notes.md"])                 # the next change sweeps the scratch file away
        assert not [p for p in folder.iterdir() if p.name.startswith(".") and ".terms." in p.name]
        assert_scores_of_live_rows(c)


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
