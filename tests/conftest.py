import numpy as np
import pytest

from quorvel import Collection, LsaEmbedder
from quorvel.embedders import unit_rows as normalised_rows


def lsa_collection(path, documents=(), **options):
    """A collection made with the NumPy-only latent semantic embedder, for tests of what it
    learns from the collection (the default embedder is another when its extra is installed)."""
    return Collection.create(path, documents, embedder=LsaEmbedder(), **options)


def unit_rows(rng, n, dims):
    """n random float32 rows of length 1."""
    return normalised_rows(rng.standard_normal((n, dims)).astype(np.float32))


class Corpus:
    """A seeded corpus: unit rows, ids "d0".."d{n-1}", the id map and a query."""

    def __init__(self, n=300, dims=16, seed=0):
        rng = np.random.default_rng(seed)
        self.rng = rng
        self.matrix = unit_rows(rng, n, dims)
        self.ids = [f"d{i}" for i in range(n)]
        self.id_to_idx = {d: i for i, d in enumerate(self.ids)}
        self.query = rng.standard_normal(dims).astype(np.float32)

    def args(self):
        return self.matrix, self.ids, self.id_to_idx, self.query


@pytest.fixture
def corpus():
    return Corpus()


def internal_failure(excinfo_value):
    """True when the exception is the module's internal-failure type."""
    t = type(excinfo_value)
    return t.__name__ == "InternalFailure" and t.__module__ == "native_runtime"
