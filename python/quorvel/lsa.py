"""Latent semantic embedding with NumPy alone: TF-IDF weights reduced by a truncated SVD.

The embedder is fitted on a collection's own texts and saved with it, so documents and later
queries are projected into the same space. Nothing is downloaded; the only dependency is NumPy.

Pipeline for one text: lower-case, split into words, drop stop words and fold simple plurals;
weight each known word by (1 + ln tf) x idf; L2-normalise; project onto the fitted components;
L2-normalise again. A text with no known word embeds to the zero vector.
"""

from __future__ import annotations

import functools
import hashlib
import math
import re
import zipfile
from collections import Counter
from collections.abc import Iterable, Sequence
from pathlib import Path

import numpy as np
from threadpoolctl import threadpool_limits

# The fit's products are tall and thin (tens of thousands x a few hundred): on a 2-core machine
# a QR of 2631 x 268 took 39 ms on one BLAS thread and 430-870 ms with the library's default.
FIT_BLAS_THREADS = 1

_WORD = re.compile(r"[a-z0-9]+")

STOP_WORDS = frozenset("""
a about above after again against all also am an and any are as at be because been before being
below between both but by can could did do does doing down during each either else etc every few
for from further had has have having he her here hers herself him himself his how however i if in
into is it its itself just may me might more most must my myself no nor not now of off on once
only or other our ours ourselves out over own same shall she should so some such than that the
their theirs them themselves then there these they this those through thus to too under until up
upon us very via was we were what when where whether which while who whom whose why will with
within without would yet you your yours yourself yourselves
""".split())


def _fold(word: str) -> str:
    """A light plural fold: 'archives' -> 'archive', 'entries' -> 'entry', 'classes' -> 'class'."""
    if len(word) > 4 and word.endswith("ies"):
        return word[:-3] + "y"
    if word.endswith("sses"):
        return word[:-2]
    if len(word) > 3 and word.endswith("s") and not word.endswith(("ss", "us", "is")):
        return word[:-1]
    return word


def tokenize(text: str) -> list[str]:
    """Words of two or more characters, lower-cased, stop words dropped, plurals folded.

    Underscores and dots separate words, so 'read_text' gives 'read' and 'text'.
    """
    return [_fold(w) for w in _WORD.findall(text.lower())
            if len(w) > 1 and not w.isdigit() and w not in STOP_WORDS]


# -- a compressed-sparse-row matrix, only as much as the fit needs ------------------------------

class _Csr:
    """Rows of (column, value) pairs stored as indptr / indices / data, like the usual CSR."""

    def __init__(self, indptr: np.ndarray, indices: np.ndarray, data: np.ndarray, shape: tuple[int, int]):
        self.indptr, self.indices, self.data, self.shape = indptr, indices, data, shape

    def transpose(self) -> "_Csr":
        order = np.argsort(self.indices, kind="stable")
        rows = np.repeat(np.arange(self.shape[0], dtype=np.int64), np.diff(self.indptr))
        counts = np.bincount(self.indices, minlength=self.shape[1])
        indptr = np.concatenate(([0], np.cumsum(counts))).astype(np.int64)
        return _Csr(indptr, rows[order], self.data[order], (self.shape[1], self.shape[0]))

    def matmul(self, dense: np.ndarray) -> np.ndarray:
        """self @ dense, in row chunks so that the gathered products stay a few tens of MB."""
        n_rows, width = self.shape[0], dense.shape[1]
        out = np.zeros((n_rows, width), dtype=dense.dtype)
        budget = max(1, (8 << 20) // max(width, 1))  # products held at once
        start = 0
        while start < n_rows:
            stop = int(np.searchsorted(self.indptr, self.indptr[start] + budget, side="right")) - 1
            stop = min(max(stop, start + 1), n_rows)
            lo, hi = int(self.indptr[start]), int(self.indptr[stop])
            if hi > lo:
                products = dense[self.indices[lo:hi]] * self.data[lo:hi, None]
                lengths = np.diff(self.indptr[start:stop + 1])
                filled = np.nonzero(lengths)[0]
                offsets = (self.indptr[start:stop] - lo)[filled]
                out[start + filled] = np.add.reduceat(products, offsets, axis=0)
            start = stop
        return out


def _randomized_svd_components(x: _Csr, k: int, seed: int, power_iterations: int = 2) -> np.ndarray:
    """The top-k right singular vectors of x as the columns of a (n_terms, k) float32 array.

    Randomised range finder with power iterations (Halko, Martinsson and Tropp, 2011); with
    k + oversampling at least the rank it is exact up to rounding.
    """
    n_docs, n_terms = x.shape
    width = min(k + 12, n_docs, n_terms)
    xt = x.transpose()
    rng = np.random.default_rng(seed)
    q = np.linalg.qr(x.matmul(rng.standard_normal((n_terms, width)).astype(np.float32)))[0]
    for _ in range(power_iterations):
        q = np.linalg.qr(xt.matmul(q))[0]
        q = np.linalg.qr(x.matmul(q))[0]
    bt = xt.matmul(q).astype(np.float64)  # (n_terms, width) = (q.T @ x).T
    u, s, _ = np.linalg.svd(bt, full_matrices=False)
    comps = u[:, :min(k, width)]
    # Fix each component's sign (largest entry positive) so equal inputs give equal vectors.
    signs = np.sign(comps[np.argmax(np.abs(comps), axis=0), np.arange(comps.shape[1])])
    signs[signs == 0] = 1
    return np.ascontiguousarray(comps * signs, dtype=np.float32)


class LsaModel:
    """A fitted vocabulary, its idf weights and the (n_terms, dims) projection."""

    def __init__(self, vocabulary: Sequence[str], idf: np.ndarray, components: np.ndarray):
        self.vocabulary = list(vocabulary)
        self.index = {w: i for i, w in enumerate(self.vocabulary)}
        self.idf = np.asarray(idf, dtype=np.float32)
        self.components = np.asarray(components, dtype=np.float32)

    @property
    def dim(self) -> int:
        return int(self.components.shape[1])

    @classmethod
    def fit(cls, texts: Sequence[str], dims: int = 256, *, min_df: int | None = None,
            max_df: float = 0.5, max_terms: int = 50_000, seed: int = 0) -> "LsaModel":
        docs = [Counter(tokenize(t)) for t in texts]
        n = len(docs)
        if n == 0:
            raise ValueError("cannot fit on an empty collection")
        df = Counter(w for d in docs for w in d)
        if min_df is None:
            min_df = 2 if n >= 50 else 1
        ceiling = max_df * n if n >= 50 else n  # tiny collections keep their common words
        kept = [w for w, c in df.items() if min_df <= c <= ceiling]
        if len(kept) > max_terms:
            kept = sorted(kept, key=lambda w: (-df[w], w))[:max_terms]
        vocabulary = sorted(kept)
        if not vocabulary:
            raise ValueError("the texts share no usable word to fit on")
        idf = np.array([math.log((1 + n) / (1 + df[w])) + 1.0 for w in vocabulary], dtype=np.float32)
        model = cls(vocabulary, idf, np.zeros((len(vocabulary), 0), dtype=np.float32))
        x = model._weights(docs)
        with threadpool_limits(limits=FIT_BLAS_THREADS, user_api="blas"):
            model.components = _randomized_svd_components(x, dims, seed)
        return model

    @functools.cached_property
    def digest(self) -> str:
        """A fingerprint of the vocabulary, weights and projection: equal models, equal digests."""
        h = hashlib.blake2b(digest_size=12)
        h.update("\n".join(self.vocabulary).encode("utf-8", "surrogatepass"))
        h.update(np.ascontiguousarray(self.idf, dtype="<f4").tobytes())
        h.update(np.ascontiguousarray(self.components, dtype="<f4").tobytes())
        return h.hexdigest()

    def _weights(self, docs: Iterable[Counter]) -> _Csr:
        """Sublinear tf-idf rows, each L2-normalised."""
        indptr, indices, data = [0], [], []
        for counts in docs:
            cols = [(self.index[w], c) for w, c in counts.items() if w in self.index]
            cols.sort()
            if cols:
                idx = np.fromiter((c for c, _ in cols), dtype=np.int64, count=len(cols))
                w = (1.0 + np.log(np.fromiter((t for _, t in cols), dtype=np.float32, count=len(cols)))) * self.idf[idx]
                w /= np.linalg.norm(w)
                indices.append(idx)
                data.append(w.astype(np.float32))
            indptr.append(indptr[-1] + len(cols))
        return _Csr(np.asarray(indptr, dtype=np.int64),
                    np.concatenate(indices) if indices else np.zeros(0, dtype=np.int64),
                    np.concatenate(data) if data else np.zeros(0, dtype=np.float32),
                    (len(indptr) - 1, len(self.vocabulary)))

    def transform(self, texts: Sequence[str]) -> np.ndarray:
        out = self._weights(Counter(tokenize(t)) for t in texts).matmul(self.components)
        norms = np.linalg.norm(out, axis=1, keepdims=True)
        np.divide(out, norms, out=out, where=norms > 0)
        return out.astype(np.float32, copy=False)

    def save(self, path: Path) -> None:
        with open(path, "wb") as f:
            np.savez(f, vocabulary=np.array(self.vocabulary, dtype=str), idf=self.idf,
                     components=self.components)

    @classmethod
    def load(cls, path: Path) -> "LsaModel":
        """The model saved at `path`; ValueError saying what is wrong with a damaged file."""
        try:
            with np.load(path, allow_pickle=False) as z:
                vocabulary, idf, components = z["vocabulary"], z["idf"], z["components"]
        except FileNotFoundError:
            raise ValueError(f"{path}: model file missing") from None
        except (OSError, EOFError, KeyError, zipfile.BadZipFile, ValueError) as e:
            raise ValueError(f"{path}: unreadable model file ({type(e).__name__}: {e})") from None
        n = len(vocabulary)
        if (vocabulary.ndim != 1 or vocabulary.dtype.kind != "U" or idf.shape != (n,)
                or components.ndim != 2 or components.shape[0] != n or n == 0
                or idf.dtype != np.float32 or components.dtype != np.float32):
            raise ValueError(f"{path}: inconsistent model (vocabulary {vocabulary.shape} "
                             f"{vocabulary.dtype}, idf {idf.shape} {idf.dtype}, components "
                             f"{components.shape} {components.dtype})")
        return cls(vocabulary.tolist(), idf, components)
