"""The quorvel package: modifier mapping, storage, embedders."""

import ast
import inspect
import json
import time
from pathlib import Path

import numpy as np
import pytest

import _quorvel
import quorvel.collection
from quorvel import Collection, Document, Embedder, LsaEmbedder, Result
from quorvel.collection import snippet
from quorvel.demo import stdlib_documents
from quorvel.lsa import LsaModel, _Csr, _randomized_svd_components, tokenize
from conftest import lsa_collection

DAY = 86400.0
NOW = time.time()
TEXTS = {
    "stars": "Telescopes reveal stars, planets and galaxies in the night sky.",
    "moon": "The moon has phases; eclipses of the moon and the sun.",
    "soup": "Lentil soup with onions, garlic and smoked paprika.",
    "bread": "Sourdough bread needs flour, water, salt and a starter.",
    "git": "Commit your changes with git and push the branch.",
    "merge": "Resolve merge conflicts in git before you push.",
}


def corpus(dated=True):
    return [Document(k, t, NOW - (i + 1) * 10 * DAY if dated else None)
            for i, (k, t) in enumerate(TEXTS.items())]


@pytest.fixture(scope="module")
def collection(tmp_path_factory):
    with lsa_collection(tmp_path_factory.mktemp("c") / "col", corpus()) as c:
        yield c


# -- mapping of modifiers and overrides onto score_candidates ---------------------------------

@pytest.fixture
def calls(monkeypatch):
    """Replaces the native scoring call the package makes and records its arguments."""
    seen = []

    def fake(matrix, ids, id_to_idx, query_vec, **kwargs):
        seen.append(dict(matrix=matrix, ids=ids, id_to_idx=id_to_idx, query_vec=query_vec, **kwargs))
        return [{"id": "soup", "score": 0.5}]

    monkeypatch.setattr(quorvel.collection._quorvel, "score_candidates", fake)
    return seen


VEC = object()  # expected value: the embedding of the text that follows


@pytest.mark.parametrize("modifiers, overrides, expected, absent", [
    (None, {}, {"recent": False, "diverse": False, "limit": 10},
     ["recent_days", "like_ids", "not_like_vec", "traj_from_vec", "traj_to_vec"]),
    ("recent", {}, {"recent": True}, ["recent_days"]),
    ("recent:7", {}, {"recent": True, "recent_days": 7.0}, []),
    ("diverse limit:4", {}, {"diverse": True, "limit": 4}, []),
    ("like:stars,moon", {}, {"like_ids": ["stars", "moon"]}, []),
    ("unlike:garlic", {}, {"not_like_vec": (VEC, "garlic")}, ["traj_from_vec"]),
    ("unlike:", {}, {}, ["not_like_vec"]),
    ("from: bread baking to: night sky diverse", {},
     {"traj_from_vec": (VEC, "bread baking"), "traj_to_vec": (VEC, "night sky"), "diverse": True}, []),
    ("limit:4 diverse recent:3", {"limit": 2, "diverse": False, "recent_days": 9},
     {"limit": 2, "diverse": False, "recent": True, "recent_days": 9.0}, []),
    ("like:stars", {"like": ["moon"]}, {"like_ids": ["moon"]}, []),
    ("like:stars", {"like_ids": "git"}, {"like_ids": ["git"]}, []),
    ("like:stars", {"like_ids": None}, {}, ["like_ids"]),
    ("unlike:garlic", {"unlike": "sourdough"}, {"not_like_vec": (VEC, "sourdough")}, []),
    ("unlike:garlic", {"not_like_vec": "telescope"}, {"not_like_vec": (VEC, "telescope")}, []),
    (None, {"trajectory_from": "git", "trajectory_to": "soup"},
     {"traj_from_vec": (VEC, "git"), "traj_to_vec": (VEC, "soup")}, []),
    (None, {"trajectory_from": "git"}, {}, ["traj_from_vec", "traj_to_vec"]),
    (None, {"threshold": 0.2, "mmr_lambda": 0.4, "oversample": 50, "pre_filter_ids": ("git", "merge")},
     {"threshold": 0.2, "mmr_lambda": 0.4, "oversample": 50, "pre_filter_ids": ["git", "merge"]}, []),
])
def test_modifiers_reach_score_candidates(collection, calls, modifiers, overrides, expected, absent):
    results = collection.search("onion soup", modifiers, lexical=False, **overrides)
    (call,) = calls
    assert call["matrix"] is collection.matrix and call["ids"] == collection.ids
    assert call["id_to_idx"] == {d: i for i, d in enumerate(TEXTS)}
    np.testing.assert_allclose(call["query_vec"], collection.embed("onion soup"), atol=1e-6)
    assert call["timestamps"] is collection.timestamps
    for key, want in expected.items():
        if isinstance(want, tuple) and want[0] is VEC:
            assert call[key].dtype == np.float32
            np.testing.assert_allclose(call[key], collection.embed(want[1]), atol=1e-6)
        else:
            assert call[key] == want and type(call[key]) is type(want), key
    for key in absent:
        assert key not in call
    assert results == [Result("soup", 0.5, TEXTS["soup"], collection.get("soup").timestamp)]


def test_mask_override_and_unknown_keyword(collection, calls):
    collection.search("soup", mask=[True, False] * 3, lexical=False)
    assert calls[0]["mask"].dtype == np.bool_ and calls[0]["mask"].tolist() == [True, False] * 3
    with pytest.raises(TypeError, match="'k'"):
        collection.search("x", k=3)


def test_undated_collection_passes_no_timestamps(tmp_path, calls):
    with lsa_collection(tmp_path / "c", corpus(dated=False)) as c:
        c.search("soup", "recent", lexical=False)
        assert c.timestamps is None and "timestamps" not in calls[0] and calls[0]["recent"] is True


# -- searching for real ---------------------------------------------------------------------

@pytest.mark.parametrize("text, modifiers, first", [
    ("planets and galaxies", None, "stars"),
    ("commit changes", "limit:1", "git"),
    ("garlic and water", None, "soup"),
    ("garlic and water", "like:bread", "bread"),
    ("", "like:moon", "moon"),
    ("git push", "unlike:conflicts", "git"),
    ("git push", "unlike:commit", "merge"),
])
def test_search_ranks(collection, text, modifiers, first):
    hits = collection.search(text, modifiers)
    assert hits[0].id == first
    assert [h.score for h in hits] == sorted((h.score for h in hits), reverse=True)


def test_recent_uses_the_stored_timestamps(tmp_path):
    same = "Backups of the database run every night."
    docs = [Document("old", same, NOW - 300 * DAY), Document("new", same, NOW - DAY),
            Document("other", "Tomatoes grow in the garden.")]
    with lsa_collection(tmp_path / "c", docs) as c:
        plain = c.search("database backup", "limit:2")
        recent = c.search("database backup", "recent:30 limit:2")
    assert plain[0].score == plain[1].score
    assert [h.id for h in recent] == ["new", "old"] and recent[0].score > 10 * recent[1].score
    assert recent[0].timestamp == pytest.approx(NOW - DAY)


# -- storage ------------------------------------------------------------------------------------

def test_reopen_gives_the_same_results_from_a_read_only_map(tmp_path):
    path = tmp_path / "c"
    with lsa_collection(path, corpus()) as c:
        before = [c.search(t, m) for t, m in [("moon", None), ("git", "diverse limit:3")]]
    with Collection.open(path) as c:
        assert [c.search(t, m) for t, m in [("moon", None), ("git", "diverse limit:3")]] == before
        assert isinstance(c.matrix, np.memmap) and c.matrix.mode == "r"
        assert c.matrix.dtype == np.float32 and not c.matrix.flags.writeable
        with pytest.raises(ValueError):
            c.matrix[0, 0] = 1.0
        np.testing.assert_allclose(np.linalg.norm(c.matrix, axis=1), 1.0, atol=1e-5)
        assert [d.id for d in c.documents()] == list(TEXTS) == list(c.ids)
    with pytest.raises(FileExistsError):
        lsa_collection(path)
    with pytest.raises(FileNotFoundError):
        Collection.open(tmp_path / "missing")


def test_add_update_remove(tmp_path):
    path = tmp_path / "c"
    with lsa_collection(path, corpus()[:4]) as c:
        assert c.add([("git", TEXTS["git"]), ("soup", "Tomato soup.", NOW)]) == (1, 1)
        assert c.add([("git", TEXTS["git"])]) == (0, 0)
        assert c.get("soup") == Document("soup", "Tomato soup.", pytest.approx(NOW))
        assert c.remove(["moon", "nope"]) == 1
    with Collection.open(path) as c:
        # the small collection was refitted by the add (rows in document order); the removed
        # row is tombstoned and masked until a compaction
        assert c.ids == ["stars", "", "soup", "bread", "git"] and "moon" not in c and len(c) == 4
        assert c.mask.tolist() == [True, False, True, True, True]
        assert c.search("tomato")[0].id == "soup"
        c.compact()
        assert c.ids == ["stars", "soup", "bread", "git"] and c.mask is None
        assert c.matrix.shape[0] == 4 and c.search("tomato")[0].id == "soup"
    assert len(list(path.glob("*.npy"))) == 1 and len(list(path.glob("*.lsa.npz"))) == 1
    with lsa_collection(tmp_path / "empty") as c:
        assert len(c) == 0 and c.search("anything", "diverse") == []


class CountingEmbedder(Embedder):
    """Deterministic letter-trigram hashing embedder that records what it embeds."""
    dim = 64

    def __init__(self):
        self.seen = []

    def embed(self, texts):
        self.seen += texts
        out = np.zeros((len(texts), self.dim), dtype=np.float32)
        for i, t in enumerate(texts):
            for j in range(len(t) - 2):
                out[i, sum(map(ord, t[j:j + 3])) % self.dim] += 1
        return out


def test_fixed_embedder_embeds_only_new_texts_and_must_be_given_again(tmp_path):
    emb = CountingEmbedder()
    with Collection.create(tmp_path / "c", corpus()[:3], embedder=emb) as c:
        first = np.array(c.matrix)
        emb.seen.clear()
        c.add([("git", TEXTS["git"]), ("moon", "Changed text about the moon.")])
        assert sorted(emb.seen) == sorted([f"git\n{TEXTS['git']}", "moon\nChanged text about the moon."])
        np.testing.assert_array_equal(c.matrix[[0, 2]], first[[0, 2]])  # untouched rows kept
    with pytest.raises(TypeError, match="embedder="):
        Collection.open(tmp_path / "c")
    with Collection.open(tmp_path / "c", embedder=CountingEmbedder()) as c:
        assert c.search("Changed text about the moon.", "limit:1")[0].id == "moon"


@pytest.mark.parametrize("text, chars, want", [
    ("short  text\n\nhere", 200, "short text here"),
    ("alpha beta gamma delta", 14, "alpha beta…"),
    ("x" * 30, 10, "x" * 10 + "…"),
])
def test_snippet(text, chars, want):
    assert snippet(text, chars) == want


# -- the latent semantic embedder ---------------------------------------------------------------

@pytest.mark.parametrize("text, tokens", [
    ("The Archives of entries", ["archive", "entry"]),
    ("read_text() returns classes", ["read", "text", "return", "class"]),
    ("a 42 x is it", []),
])
def test_tokenize(text, tokens):
    assert tokenize(text) == tokens


def test_lsa_vectors_are_unit_float32_and_deterministic(tmp_path):
    texts = list(TEXTS.values())
    a, b = LsaEmbedder(dims=4), LsaEmbedder(dims=4)
    a.fit(texts)
    b.fit(texts)
    va = a.embed(texts + ["zzz qqq"])
    assert va.dtype == np.float32 and va.shape == (7, 4) and a.dim == 4
    np.testing.assert_allclose(np.linalg.norm(va[:6], axis=1), 1.0, atol=1e-5)
    assert not va[6].any()  # no known word: the zero vector
    np.testing.assert_array_equal(va, b.embed(texts + ["zzz qqq"]))
    config = a.save(tmp_path, "m")
    np.testing.assert_array_equal(LsaEmbedder.load(tmp_path, config).embed(texts), va[:6])
    sims = va[:6] @ a.embed(["galaxies seen through telescopes"])[0]
    assert int(np.argmax(sims)) == 0
    with pytest.raises(RuntimeError):
        LsaEmbedder().embed(["unfitted"])


def test_sparse_products_and_components_match_dense_numpy():
    rng = np.random.default_rng(3)
    dense = rng.random((40, 25)).astype(np.float32) * (rng.random((40, 25)) < 0.2)
    dense[[5, 17]] = 0  # empty rows
    rows, cols = np.nonzero(dense)
    indptr = np.concatenate(([0], np.cumsum(np.bincount(rows, minlength=40))))
    x = _Csr(indptr, cols.astype(np.int64), dense[rows, cols], dense.shape)
    b = rng.standard_normal((25, 6)).astype(np.float32)
    np.testing.assert_allclose(x.matmul(b), dense @ b, rtol=1e-5, atol=1e-5)
    c = rng.standard_normal((40, 3)).astype(np.float32)
    np.testing.assert_allclose(x.transpose().matmul(c), dense.T @ c, rtol=1e-5, atol=1e-5)
    comps = _randomized_svd_components(x, 5, seed=0)
    exact = np.linalg.svd(dense.astype(np.float64))[2][:5].T
    # the same subspace: all principal angles near zero
    np.testing.assert_allclose(np.linalg.svd(comps.T @ exact, compute_uv=False), 1.0, atol=1e-3)


def test_lsa_refuses_texts_without_words():
    with pytest.raises(ValueError):
        LsaModel.fit(["the of and", "a an"])


# -- the demo corpus and the type information -------------------------------------------------

def test_stdlib_documents_are_bounded_named_and_unique():
    docs = stdlib_documents(limit=60)
    assert len(docs) == 60 and len({d.id for d in docs}) == 60
    assert all(d.text.startswith(d.id + "\n\n") for d in docs)
    assert "argparse.ArgumentParser" in {d.id for d in docs}


def test_stub_matches_the_module():
    stub = Path(__file__).resolve().parent.parent / "python" / "_quorvel.pyi"
    installed = Path(_quorvel.__file__).parent / "_quorvel-stubs" / "__init__.pyi"
    assert installed.read_text() == stub.read_text()
    functions = {f.name: f for f in ast.parse(stub.read_text()).body if isinstance(f, ast.FunctionDef)}
    assert set(functions) == set(_quorvel.__all__)
    for name, node in functions.items():
        params = inspect.signature(getattr(_quorvel, name)).parameters.values()
        assert [a.arg for a in node.args.args] == [p.name for p in params]
        defaults = [ast.literal_eval(d) for d in node.args.defaults]
        assert defaults == [p.default for p in params if p.default is not inspect.Parameter.empty]
