"""Quorvel: semantic search over a folder of documents.

    from quorvel import Collection
    with Collection.create("notes.quorvel", [("a", "first text"), ("b", "second text")]) as c:
        hits = c.search("text", "diverse limit:5")

The numeric work (scoring, modulation, diverse selection, the modifier language) is done by the
native module `_quorvel`; this package owns the documents, their storage and the embedders.
"""

from importlib.metadata import PackageNotFoundError, version as _version

from _quorvel import parse_modifiers

from .collection import Changes, Collection, Document, Result, Snapshot, Update
from .embedders import Embedder, LsaEmbedder, SentenceTransformerEmbedder
from .query import QueryError, QueryWarning
from .sharded import ShardedCollection
from .storage import CollectionError

try:
    __version__ = _version("quorvel")
except PackageNotFoundError:  # running from a source tree
    __version__ = "0+unknown"

__all__ = ["Changes", "Collection", "CollectionError", "Document", "Embedder", "LsaEmbedder",
           "QueryError", "QueryWarning", "Result", "SentenceTransformerEmbedder", "ShardedCollection",
           "Snapshot", "Update", "parse_modifiers", "__version__"]
