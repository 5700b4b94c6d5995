"""Embedders turn texts into float32 unit vectors, one row per text.

`LsaEmbedder` is the default: fitted on the collection's own texts, it needs nothing beyond NumPy
and works offline. `SentenceTransformerEmbedder` uses the optional sentence-transformers package
(`pip install 'quorvel[st]'`) when it is installed. Any subclass of `Embedder` that implements
`dim` and `embed` can be handed to a collection as well.
"""

from __future__ import annotations

import copy
from abc import ABC, abstractmethod
from collections.abc import Sequence
from pathlib import Path
from typing import Any, ClassVar

import numpy as np

from .lsa import LsaModel
from .storage import CollectionError, folder_file

LSA_SUFFIX = ".lsa.npz"


def unit_rows(vectors: np.ndarray) -> np.ndarray:
    """float32 C-ordered copy of a 2-D array with each non-zero row scaled to length 1."""
    out = np.array(vectors, dtype=np.float32, order="C", ndmin=2, copy=True)
    norms = np.linalg.norm(out, axis=1, keepdims=True)
    np.divide(out, norms, out=out, where=norms > 0)
    return out


class Embedder(ABC):
    """Texts in, an (n, dim) float32 array of unit rows out.

    A text the embedder cannot place (for the latent semantic embedder: one with no word it knows)
    may come back as a zero row; it then scores 0 against every query.
    """

    #: Name stored with a collection so that `Collection.open` can rebuild the embedder.
    kind: ClassVar[str] = "custom"
    #: True when the embedder learns from the collection itself and is refitted when it changes.
    fits_collection: ClassVar[bool] = False

    @property
    @abstractmethod
    def dim(self) -> int:
        """Length of the vectors."""

    @abstractmethod
    def embed(self, texts: Sequence[str]) -> np.ndarray:
        """An (len(texts), dim) float32 array of unit (or zero) rows."""

    @property
    def identity(self) -> str:
        """A stable string naming the vector space: a collection stores it with its vectors and
        refuses to be searched through an embedder with another. By default the class's qualified
        name and `dim`; override it when a class can make several spaces (a model name, a seed)."""
        cls = type(self)
        return f"{cls.__module__}.{cls.__qualname__}/{self.dim}"

    def fit(self, texts: Sequence[str]) -> None:
        """Learn from the collection's texts (only called when `fits_collection` is true)."""

    def fitted(self, texts: Sequence[str]) -> "Embedder":
        """A copy of this embedder fitted on `texts`; this one is left as it is, so that a change
        that fails after the fit leaves the collection's embedder untouched."""
        other = copy.copy(self)
        other.fit(texts)
        return other

    def save(self, folder: Path, stem: str) -> dict[str, Any]:
        """Write whatever the embedder needs into `folder` (file names starting with `stem`) and
        return a JSON-able description that `load` accepts."""
        return {"kind": self.kind}

    @classmethod
    def load(cls, folder: Path, config: dict[str, Any]) -> "Embedder":
        raise TypeError(f"embedder kind {config.get('kind')!r} cannot be restored; "
                        "pass embedder= to Collection.open")

    def files(self, config: dict[str, Any]) -> list[str]:
        """Files in the collection's folder that `save` wrote for `config`."""
        return []


class LsaEmbedder(Embedder):
    """Latent semantic embedder: TF-IDF weights projected by a truncated SVD fitted on the
    collection. `dims` is an upper bound: a collection with fewer documents or words gets fewer."""

    kind = "lsa"
    fits_collection = True

    def __init__(self, dims: int = 256, *, seed: int = 0, model: LsaModel | None = None):
        if dims < 1:
            raise ValueError("dims must be at least 1")
        self.dims, self.seed, self.model = dims, seed, model

    @property
    def dim(self) -> int:
        if self.model is None:
            raise RuntimeError("LsaEmbedder is not fitted yet")
        return self.model.dim

    @property
    def identity(self) -> str:
        return "lsa/unfitted" if self.model is None else f"lsa/{self.model.digest}"

    def fit(self, texts: Sequence[str]) -> None:
        self.model = LsaModel.fit(texts, self.dims, seed=self.seed)

    def embed(self, texts: Sequence[str]) -> np.ndarray:
        if self.model is None:
            raise RuntimeError("LsaEmbedder is not fitted yet")
        return self.model.transform(list(texts))

    def save(self, folder: Path, stem: str) -> dict[str, Any]:
        if self.model is None:
            return {"kind": self.kind, "dims": self.dims, "seed": self.seed, "file": None}
        name = f"{stem}{LSA_SUFFIX}"
        self.model.save(folder / name)
        return {"kind": self.kind, "dims": self.dims, "seed": self.seed, "file": name}

    @classmethod
    def load(cls, folder: Path, config: dict[str, Any]) -> "LsaEmbedder":
        dims, seed, name = config.get("dims"), config.get("seed"), config.get("file")
        if type(dims) is not int or dims < 1 or type(seed) is not int:
            raise CollectionError(f"{folder}: malformed embedder description {config!r}")
        model = None
        if name is not None:
            try:
                model = LsaModel.load(folder_file(folder, name, LSA_SUFFIX))
            except ValueError as e:  # CollectionError included
                raise CollectionError(str(e)) from None
            if model.dim > dims:
                raise CollectionError(f"{folder / name}: {model.dim} dimensions, more than {dims}")
        return cls(dims, seed=seed, model=model)

    def files(self, config: dict[str, Any]) -> list[str]:
        return [config["file"]] if config.get("file") else []


class SentenceTransformerEmbedder(Embedder):
    """A sentence-transformers model, by name or local path. Requires the optional package
    (`pip install 'quorvel[st]'`); the model itself is whatever that package can load."""

    kind = "sentence-transformers"

    def __init__(self, model: str = "all-MiniLM-L6-v2", *, batch_size: int = 64):
        try:
            from sentence_transformers import SentenceTransformer
        except ImportError as e:  # pragma: no cover - depends on the optional extra
            raise ImportError("SentenceTransformerEmbedder needs the optional extra: "
                              "pip install 'quorvel[st]'") from e
        self.model_name, self.batch_size = model, batch_size
        self._model = SentenceTransformer(model)

    @property
    def dim(self) -> int:
        return int(self._model.get_sentence_embedding_dimension())

    def embed(self, texts: Sequence[str]) -> np.ndarray:
        vectors = self._model.encode(list(texts), batch_size=self.batch_size,
                                     convert_to_numpy=True, normalize_embeddings=True,
                                     show_progress_bar=False)
        return unit_rows(np.asarray(vectors).reshape(len(texts), -1))

    @property
    def identity(self) -> str:
        return f"{self.kind}/{self.model_name}"

    def save(self, folder: Path, stem: str) -> dict[str, Any]:
        return {"kind": self.kind, "model": self.model_name}

    @classmethod
    def load(cls, folder: Path, config: dict[str, Any]) -> "SentenceTransformerEmbedder":
        return cls(config["model"])


EMBEDDER_KINDS: dict[str, type[Embedder]] = {
    LsaEmbedder.kind: LsaEmbedder,
    SentenceTransformerEmbedder.kind: SentenceTransformerEmbedder,
}


def restore_embedder(folder: Path, config: dict[str, Any]) -> Embedder:
    """Rebuild the embedder a collection was saved with (TypeError for a custom embedder, which
    must be passed again; CollectionError for a damaged description or file)."""
    if not isinstance(config, dict) or not isinstance(config.get("kind"), str):
        raise CollectionError(f"{folder}: malformed embedder description {config!r}")
    cls = EMBEDDER_KINDS.get(config["kind"], Embedder)
    return cls.load(folder, config)
