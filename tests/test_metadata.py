"""Metadata of documents in a collection: kept through every change, returned with results, and
`where=` filters that become the mask of a search under every modifier."""

import functools
import json
import os
import random
import sqlite3
import time
from contextlib import closing

import numpy as np
import pytest

import quorvel.collection as qc
from quorvel import Collection, Document
from quorvel.cli import main as cli_main
import quorvel.filters as qf
from quorvel.filters import LOAD, WALK, WALK_THEN_LOAD, Columns
from test_collection import HashEmbedder, prose
from test_filters import model

DAY = 86400.0
FILTERS = [
    {"lang": "en"},
    {"x": True},
    {"lang": {"$ne": "en"}},
    {"year": {"$gte": 2020}},
    {"tags": {"$contains": "b"}},
    {"$or": [{"lang": "de"}, {"year": {"$lt": 2019}}]},
    {"$not": {"tags": {"$exists": True}}},
]


def meta_of(i, version=0):
    meta = {"lang": ["en", "de", "fr"][(i + version) % 3], "year": 2015 + (i * 5 + version) % 10}
    if (i + version) % 4:
        meta["tags"] = ["a", "b", "c"][: (i + version) % 4]
    return meta


def expect_consistent(c, model_docs):
    """Stored metadata, result metadata and filtered searches all agree with `model_docs`."""
    assert {d.id: d.metadata for d in c.documents()} == model_docs
    with closing(sqlite3.connect(c.path / qc.DB_NAME)) as db:   # nothing left of removed documents
        assert db.execute(f"SELECT count(*) FROM {qc.INDEX_TABLE} WHERE doc NOT IN "
                          "(SELECT doc FROM documents)").fetchone() == (0,)
    for doc_id in random.Random(len(model_docs)).sample(sorted(model_docs), min(3, len(model_docs))):
        assert c.get(doc_id).metadata == model_docs[doc_id]
    for where in FILTERS:
        hits = c.search("river garden", limit=len(model_docs) + 5, where=where)
        assert {h.id for h in hits} == {i for i, m in model_docs.items() if model(m, where)}, where
        assert all(h.metadata == model_docs[h.id] for h in hits)


@pytest.mark.parametrize("embedder, policy, saved", [(None, WALK_THEN_LOAD, False),
                                                     (HashEmbedder, LOAD, False),
                                                     (HashEmbedder, WALK, True)])
def test_metadata_kept_through_add_update_remove_compaction_and_reopen(tmp_path, monkeypatch,
                                                                       embedder, policy, saved):
    # LOAD: the handles answer from columns, which must be read again after every change;
    # saved: from the columns every change saves
    monkeypatch.setattr(qc, "Columns", functools.partial(Columns, policy))
    monkeypatch.setattr(qf, "SAVE_FROM_ENTRIES", 0 if saved else 10 ** 9)
    make = (lambda: None) if embedder is None else embedder
    model_docs = {f"d{i}": meta_of(i) for i in range(40)}
    c = Collection.create(tmp_path / "c", [Document(f"d{i}", prose(i), None, meta_of(i))
                                           for i in range(40)], embedder=make())
    other = Collection.open(tmp_path / "c", embedder=make())   # follows the changes of `c`
    expect_consistent(other, model_docs)
    steps = [
        # metadata alone changed: no new vectors
        ("add", [Document(f"d{i}", prose(i), None, meta_of(i, 1)) for i in range(0, 40, 7)]),
        # text and metadata changed
        ("add", [Document(f"d{i}", prose(i + 100), None, meta_of(i, 2)) for i in range(3, 40, 9)]),
        # replaced without metadata: it is gone
        ("add", [(f"d{i}", prose(i)) for i in (5, 6)]),
        ("add", [Document(f"n{i}", prose(i + 50), None, meta_of(i, 3)) for i in range(4)]),
        ("remove", ["d1", "d2", "n0"]),
        ("remove", [f"d{i}" for i in range(10, 22)]),           # past a quarter: compacted
        ("add", [Document("d10", prose(10), None, {"lang": "en", "year": 2030})]),
        # equal by ==, not the same metadata: True is not 1
        ("add", [Document("d10", prose(10), None, {"lang": "en", "year": 2030, "x": 1})]),
        ("add", [Document("d10", prose(10), None, {"year": 2030, "lang": "en", "x": True})]),
    ]
    for action, arg in steps:
        if action == "add":
            c.add(arg)
            for item in arg:
                doc = qc.as_document(item)
                model_docs[doc.id] = dict(doc.metadata)
        else:
            c.remove(arg)
            for doc_id in arg:
                model_docs.pop(doc_id, None)
        expect_consistent(c, model_docs)
        expect_consistent(other, model_docs)
        assert all(isinstance(h._columns._saved, qf._Saved) == saved for h in (c, other))
    c.close()
    other.close()
    with Collection.open(tmp_path / "c", embedder=make()) as again:
        expect_consistent(again, model_docs)


MODIFIERS = [
    ("", {}),
    ("diverse limit:6", {}),
    ("recent:20 limit:8", {}),
    ("like:d4,d9 limit:8", {}),
    ("unlike:stone", {}),
    ("from: bread oven to: star planet limit:7", {}),
    ("limit:3", {}),
    ("diverse recent:10 like:d7", {"threshold": 0.01, "mmr_lambda": 0.4}),
    ("", {"pre_filter_ids": [f"d{i}" for i in range(0, 40, 2)]}),
    ("diverse", {"mask": "user"}),
]


@pytest.mark.parametrize("where", FILTERS)
@pytest.mark.parametrize("modifiers, overrides", MODIFIERS)
def test_filters_work_under_every_modifier(shared, where, modifiers, overrides):
    """A filtered search is the search with the mask of the documents the model selects."""
    c, model_docs = shared
    overrides = dict(overrides)
    user = overrides.pop("mask", None) == "user"
    user_mask = np.random.default_rng(3).random(len(c.ids)) < 0.7 if user else np.ones(len(c.ids), bool)
    selected = np.array([i != "" and model(model_docs[i], where) for i in c.ids])
    extra = {"mask": user_mask} if user else {}
    filtered = c.search("river garden bread", modifiers, where=where, **overrides, **extra)
    masked = c.search("river garden bread", modifiers, mask=selected & user_mask, **overrides)
    # The two calls run at different instants: a recency factor, rounded to four decimals by the
    # native call, may round the other way in the second, moving a fused score by 1e-4 or so.
    assert [h.id for h in filtered] == [h.id for h in masked]
    assert [h.score for h in filtered] == pytest.approx([h.score for h in masked], abs=2e-3)
    assert all(model(h.metadata, where) for h in filtered)


@pytest.fixture(scope="module")
def shared(tmp_path_factory):
    now = time.time()
    model_docs = {f"d{i}": meta_of(i) for i in range(40)}
    c = Collection.create(tmp_path_factory.mktemp("m") / "c",
                          [Document(f"d{i}", prose(i), now - i * 3 * DAY, meta_of(i)) for i in range(40)])
    c.remove(["d5", "d11", "d30"])                               # tombstones
    for doc_id in ("d5", "d11", "d30"):
        del model_docs[doc_id]
    assert c.mask is not None
    yield c, model_docs
    c.close()


def test_bad_filters_raise_before_any_work(tmp_path, monkeypatch):
    with Collection.create(tmp_path / "c", [("a", "alpha"), ("b", "beta")],
                           embedder=HashEmbedder()) as c:
        monkeypatch.setattr(qc._quorvel, "score_candidates", lambda *a, **k: pytest.fail("scored"))
        monkeypatch.setattr(c.embedder, "embed", lambda texts: pytest.fail("embedded"))
        with pytest.raises(ValueError, match=r"^filter 'x': unknown operator '\$like'$"):
            c.search("alpha", where={"x": {"$like": "a%"}})
        with pytest.raises(ValueError, match="^a filter must be a mapping, got str$"):
            c.search("alpha", where="lang=en")


@pytest.mark.parametrize("item, message", [
    (("a", "t", None, {"when": None}),
     "document 'a': metadata 'when': expected a str, int, float or bool or a list of those, got NoneType"),
    ({"id": "b", "text": "t", "metadata": {"$x": 1}}, "document 'b': metadata key '$x' must not start with '$'"),
    (Document("c", "t", None, {"n": float("nan")}), "document 'c': metadata 'n': numbers must be finite, got nan"),
])
def test_bad_metadata_changes_nothing(tmp_path, item, message):
    with Collection.create(tmp_path / "c", [("a", "alpha")], embedder=HashEmbedder()) as c:
        generation = c.generation
        with pytest.raises(ValueError) as e:
            c.add([("z", "zeta"), item])
        assert str(e.value) == message
        assert c.generation == generation and "z" not in c


def test_cli_front_matter_and_where(tmp_path, capsys, monkeypatch):
    monkeypatch.chdir(tmp_path)
    notes = tmp_path / "notes"
    notes.mkdir()
    (notes / "en.md").write_text("---\nlang: en\nyear: 2021\ntags: [db, backup]\n---\n"
                                 "Nightly backups of the database.\n")
    (notes / "de.md").write_text("---\nlang: de\nyear: 2019\n---\nSicherung der Datenbank, database backup.\n")
    (notes / "broken.md").write_text("---\nlang: [en\n---\nDatabase backup notes, broken header.\n")
    (notes / "plain.txt").write_text("database backup on tape\n")
    os.utime(notes / "plain.txt", (1_600_000_000, 1_600_000_000))
    assert cli_main(["index", "notes", "-c", "col", "-q"]) == 0
    out, err = capsys.readouterr()
    assert "4 added" in out
    assert err == ("quorvel: warning: broken.md: front matter is not valid YAML (line 3): "
                   "expected ',' or ']', but got '<stream end>'; indexed without it\n")

    def ids(*args):
        assert cli_main(["search", "database backup", "--json", "-c", "col", *args]) == 0
        return sorted(h["id"] for h in json.loads(capsys.readouterr().out))

    assert ids("--where", "lang=en") == ["en.md"]
    assert ids("-w", "year>=2019", "-w", "year<2021") == ["de.md"]
    assert ids("-w", "extension=.md", "-w", "lang!=de") == ["broken.md", "en.md"]
    assert ids("-w", '{"tags": {"$contains": "db"}}') == ["en.md"]
    assert ids("-w", "modified<1600000001") == ["plain.txt"]
    assert cli_main(["search", "backup", "--json", "-c", "col", "-w", "lang=en"]) == 0
    hit = json.loads(capsys.readouterr().out)[0]
    assert hit["metadata"]["tags"] == ["db", "backup"] and hit["metadata"]["path"] == "en.md"   # identifiers: relative to the folder
    for bad, message in [("lang", "filter 'lang' is not KEY=VALUE"),
                         ('{"year": {"$near": 1}}', "filter 'year': unknown operator '$near'")]:
        assert cli_main(["search", "backup", "-c", "col", "-w", bad]) == 2    # a usage error
        out, err = capsys.readouterr()
        assert err.startswith(f"quorvel: --where: {message}") and "Traceback" not in err and out == ""
