"""The default embedder: chosen by what is installed, loaded without network, stable vectors."""

import socket
import sys

import numpy as np
import pytest

from quorvel.embedders import LsaEmbedder, default_embedder

TEXTS = ["how do I undo the last commit", "", "undo the last commit", "a recipe for bread " * 300,
         "  \n "]


@pytest.fixture
def no_network(monkeypatch):
    class NoSocket(socket.socket):
        def __init__(self, *args, **kwargs):
            raise OSError("networking refused by the test")

    def refuse(*args, **kwargs):
        raise OSError("networking refused by the test")

    monkeypatch.setattr(socket, "socket", NoSocket)
    monkeypatch.setattr(socket, "create_connection", refuse)
    monkeypatch.setattr(socket, "getaddrinfo", refuse)


def test_default_loads_and_embeds_with_networking_refused(no_network):
    pytest.importorskip("wordllama")
    from quorvel.embedders import WordLlamaEmbedder

    embedder = default_embedder()
    assert isinstance(embedder, WordLlamaEmbedder)
    assert embedder.identity == "wordllama-l2_supercat-256" and embedder.dim == 256
    vectors = embedder.embed(TEXTS)
    assert vectors.dtype == np.float32 and vectors.shape == (len(TEXTS), 256) and vectors.flags.c_contiguous
    norms = np.linalg.norm(vectors, axis=1)
    np.testing.assert_allclose(norms[[0, 2, 3]], 1, atol=1e-5)
    assert not vectors[[1, 4]].any()  # blank texts: zero rows
    assert vectors[0] @ vectors[2] > vectors[0] @ vectors[3]
    # batching (texts are grouped by length) changes nothing: each text alone gives its own row
    small = WordLlamaEmbedder(batch_size=2)
    for text, row in zip(TEXTS, vectors):
        np.testing.assert_allclose(small.embed([text])[0], row, atol=1e-5)


def test_loading_leaves_the_logging_set_up_alone(monkeypatch):
    pytest.importorskip("wordllama")
    import logging

    from quorvel.embedders import WordLlamaEmbedder

    root = logging.getLogger()
    monkeypatch.setattr(root, "handlers", [])
    monkeypatch.delitem(sys.modules, "wordllama")  # its import configures the root logger
    for name in [n for n in sys.modules if n.startswith("wordllama.")]:
        monkeypatch.delitem(sys.modules, name)
    level = root.level
    WordLlamaEmbedder()
    assert root.handlers == [] and root.level == level


def test_restoring_refuses_vectors_of_another_model(tmp_path):
    pytest.importorskip("wordllama")
    from quorvel.embedders import WordLlamaEmbedder, restore_embedder

    embedder = WordLlamaEmbedder()
    assert isinstance(restore_embedder(tmp_path, embedder.save(tmp_path, "e")), WordLlamaEmbedder)
    with pytest.raises(ValueError, match="wordllama-l2_supercat-64"):
        WordLlamaEmbedder.load(tmp_path, {"kind": "wordllama", "identity": "wordllama-l2_supercat-64"})


def test_fallback_without_the_extra(monkeypatch):
    monkeypatch.setitem(sys.modules, "wordllama", None)  # import wordllama now raises ImportError
    assert isinstance(default_embedder(), LsaEmbedder)
    from quorvel.embedders import WordLlamaEmbedder
    with pytest.raises(ImportError, match=r"quorvel\[embed\]"):
        WordLlamaEmbedder()
