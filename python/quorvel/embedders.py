"""Embedders turn texts into float32 unit vectors, one row per text.

`default_embedder()` picks the best one installed: `WordLlamaEmbedder` (a static word-embedding
model trained on language, whose weights ship inside the `wordllama` wheel:
`pip install 'quorvel[embed]'`), else `LsaEmbedder`, which needs nothing beyond NumPy and is
fitted on the collection's own texts. Both work offline. `SentenceTransformerEmbedder` uses the
optional sentence-transformers package (`pip install 'quorvel[st]'`) with whatever model that
package can load. Any subclass of `Embedder` that implements `dim` and `embed` can be handed to a
collection as well.
"""

from __future__ import annotations

import copy
import logging
import shutil
import tempfile
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


class WordLlamaEmbedder(Embedder):
    """WordLlama's static embedding (`l2_supercat`, 256 dimensions): each text is tokenized, its
    token vectors averaged and the mean scaled to length 1. The weights and the tokenizer ship in
    the `wordllama` wheel (`pip install 'quorvel[embed]'`) and nothing is ever downloaded: the
    loader looks for the tokenizer in a cache folder, so it gets a temporary one holding a copy
    of the shipped file, with downloads disabled."""

    kind = "wordllama"
    CONFIG = "l2_supercat"
    DIM = 256
    #: Bounds the padded token vectors of a batch (about 1 KiB a token): 128K characters are
    #: some 32K tokens, 32 MiB. Without it 256 passages of 4,000 characters took 500 MiB.
    BATCH_CHARS = 1 << 17

    def __init__(self, *, batch_size: int = 256):
        if batch_size < 1:
            raise ValueError("batch_size must be at least 1")
        self.batch_size = batch_size
        self._model = _load_wordllama(self.CONFIG, self.DIM)

    @property
    def dim(self) -> int:
        return self.DIM

    @property
    def identity(self) -> str:
        return f"wordllama-{self.CONFIG}-{self.DIM}"

    def embed(self, texts: Sequence[str]) -> np.ndarray:
        texts = list(texts)
        out = np.zeros((len(texts), self.DIM), dtype=np.float32)
        for chunk in self._batches(texts):
            part = [texts[i] for i in chunk]
            keep = [j for j, t in enumerate(part) if t.strip()]  # a blank text has no token: zero row
            if keep:
                vectors = self._model.embed([part[j] for j in keep], norm=False, batch_size=len(keep))
                out[[chunk[j] for j in keep]] = np.asarray(vectors, dtype=np.float32).reshape(len(keep), self.DIM)
        np.nan_to_num(out, copy=False, nan=0.0, posinf=0.0, neginf=0.0)
        return unit_rows(out)

    def _batches(self, texts: list[str]) -> list[list[int]]:
        """Indices of `texts` in batches of similar lengths (a batch is padded to its longest
        text, with a float32 vector per token): in order of length, at most `batch_size` texts
        and `BATCH_CHARS` characters counted as the longest text times the batch size."""
        order = sorted(range(len(texts)), key=lambda i: (len(texts[i]), i))
        batches: list[list[int]] = []
        current: list[int] = []
        for i in order:
            if current and (len(current) >= self.batch_size or (len(current) + 1) * len(texts[i]) > self.BATCH_CHARS):
                batches.append(current)
                current = []
            current.append(i)
        if current:
            batches.append(current)
        return batches

    def save(self, folder: Path, stem: str) -> dict[str, Any]:
        return {"kind": self.kind, "identity": self.identity}

    @classmethod
    def load(cls, folder: Path, config: dict[str, Any]) -> "WordLlamaEmbedder":
        embedder = cls()
        if config.get("identity", embedder.identity) != embedder.identity:
            raise ValueError(f"the collection's vectors were made by {config.get('identity')!r}, "
                             f"this installation provides {embedder.identity!r}")
        return embedder


def _import_wordllama() -> Any:
    """The wordllama module, imported without the logging set-up it does on import (a handler
    on the root logger that would print every library's INFO lines on stderr)."""
    root = logging.getLogger()
    handlers, level = list(root.handlers), root.level
    try:
        import wordllama
    finally:
        for handler in root.handlers[len(handlers):]:
            root.removeHandler(handler)
        root.setLevel(level)
    return wordllama


def _load_wordllama(config: str, dim: int) -> Any:
    """The WordLlama model `config` of `dim` dimensions, from the files inside its wheel only."""
    try:
        wordllama = _import_wordllama()
    except ImportError as e:
        raise ImportError("WordLlamaEmbedder needs the optional extra: pip install 'quorvel[embed]'") from e
    WordLlama = wordllama.WordLlama
    package = Path(wordllama.__file__).parent
    tokenizer = package / "tokenizers" / f"{config}_tokenizer_config.json"
    weights = package / "weights" / f"{config}_{dim}.safetensors"
    for path in (tokenizer, weights):
        if not path.is_file():
            raise FileNotFoundError(f"the installed wordllama package lacks {path.name}; "
                                    "reinstall it: pip install --force-reinstall wordllama")
    with tempfile.TemporaryDirectory(prefix="quorvel-wordllama-") as cache:
        (Path(cache) / "tokenizers").mkdir()
        shutil.copyfile(tokenizer, Path(cache) / "tokenizers" / tokenizer.name)
        return WordLlama.load(config, cache_dir=Path(cache), dim=dim, disable_download=True)


def default_embedder() -> Embedder:
    """The best embedder installed: `WordLlamaEmbedder` with the `embed` extra, else a fresh
    (unfitted) `LsaEmbedder`."""
    try:
        _import_wordllama()
    except ImportError:
        return LsaEmbedder()
    return WordLlamaEmbedder()


EMBEDDER_KINDS: dict[str, type[Embedder]] = {
    LsaEmbedder.kind: LsaEmbedder,
    SentenceTransformerEmbedder.kind: SentenceTransformerEmbedder,
    WordLlamaEmbedder.kind: WordLlamaEmbedder,
}


def restore_embedder(folder: Path, config: dict[str, Any]) -> Embedder:
    """Rebuild the embedder a collection was saved with (TypeError for a custom embedder, which
    must be passed again; CollectionError for a damaged description or file)."""
    if not isinstance(config, dict) or not isinstance(config.get("kind"), str):
        raise CollectionError(f"{folder}: malformed embedder description {config!r}")
    cls = EMBEDDER_KINDS.get(config["kind"], Embedder)
    return cls.load(folder, config)
