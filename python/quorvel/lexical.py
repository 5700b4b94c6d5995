"""Lexical ranking: BM25 over passages, and its fusion with the semantic score.

`tokenize` cuts a text into its index terms (the tokenizer of the `bm25s` library, English stop
words and the Snowball stemmer of `PyStemmer`); a collection keeps its rows' terms, one row a
passage, as the inverted tables of `quorvel.bm25`, which score a query against every row.
`LexicalIndex` is a BM25 index of `bm25s` over a sequence of texts, whose scores those tables
reproduce (the reference they are tested against, and the lexical ranking of the retrieval
benchmark). Words are runs of letters and digits; underscores, dots and dashes split them,
so `CMAKE_CXX_STANDARD` is found by "cxx standard" as well as by its full name.

How the two scores meet the native scoring (`hybrid_rank`):

1. Semantic pool: `_quorvel.score_candidates` with every modifier the caller asked for except
   `recent` and `diverse` (so mask, pre-filter, threshold, like, contrast and trajectory shape
   the semantic scores), `limit=pool`. The threshold thus applies to the semantic score before
   recency, and `oversample` has no use (the pools play its part).
2. Lexical pool: the `pool` rows with the best non-zero BM25 scores. Those not already in the
   semantic pool are scored by a second call of `score_candidates` restricted to them with
   `pre_filter_ids` (intersected with the caller's own pre-filter), with the same modifiers: a
   row the mask, the pre-filter or the threshold drops never enters the ranking, whichever score
   brought it in.
3. Fusion over the candidates (`fuse`): each score z-normalised over the candidate set and mixed,
   `SEMANTIC_WEIGHT` for the semantic one. When the caller says where each candidate's document
   begins (`lead_rows`), a third score is added with `LEAD_WEIGHT`: the cosine between the query
   vector as given (before like, contrast or trajectory move it) and the first row of the
   candidate's document, which a collection makes the document's lead
   sentence ("Add include directories to a target.", `quorvel.passages.lead_sentence`). A
   passage is then judged with what its document says it is about: the page about a thing
   outranks a long file that mentions it in passing. A row that is its document's first row
   (a lead, or the one passage of a short document) has no lead score of its own (0 after
   normalisation, the others normalised among themselves): a document is never scored twice by
   one vector. The sum is shifted to start at zero, so that step 4 can scale it.
4. Recency: with `recent`, each candidate's fused score is multiplied by the factor the native
   decay gives that row (obtained by scoring a constant one-column matrix with the caller's
   timestamps and half-life), so recency steers the combined ranking, not only its semantic
   half.
5. Selection: the best `limit` candidates by fused score, or with `diverse` the native Maximal
   Marginal Relevance (`mmr_select_py`) over the candidates with the fused scores as relevance.

Rows are passages; `best_per_document` folds rows into documents (a document scores as its best
passage, which it names). A search for `limit` documents asks `hybrid_rank` for `pool` rows and
folds them: a document's passages often fill several of the first places. The weights and
normalisation were chosen on the known-item benchmark in bench/retrieval.py by cross-validation
over its queries (figures in bench/README.md, "Retrieval").
"""

from __future__ import annotations

import logging
from collections.abc import Callable, Mapping, Sequence
from typing import Any

import numpy as np

SEMANTIC_WEIGHT = 0.5
#: The weight of the lead score (`hybrid_rank` with `lead_rows`), added to the two above.
LEAD_WEIGHT = 0.7
NORMALISATIONS = ("z", "minmax")
DEFAULT_POOL = 200
LANGUAGE = "english"
TOKEN_PATTERN = r"(?u)[^\W_]+"


def _bm25s() -> Any:
    try:
        import bm25s
    except ImportError as e:  # pragma: no cover - bm25s is a dependency of the package
        raise ImportError("lexical ranking needs bm25s and PyStemmer: pip install bm25s PyStemmer") from e
    logging.getLogger("bm25s").setLevel(logging.WARNING)  # it logs every build at DEBUG
    return bm25s


def _stemmer() -> Any:
    import Stemmer
    return Stemmer.Stemmer(LANGUAGE)


def tokenize(texts: Sequence[str]) -> list[list[str]]:
    """The index terms of each text: lower-cased words, English stop words dropped, stemmed."""
    if not texts:
        return []
    out = _bm25s().tokenize(list(texts), token_pattern=TOKEN_PATTERN, stopwords="en", stemmer=_stemmer(),
                            return_ids=False, show_progress=False, allow_empty=False)
    return [[term for term in t if term] for t in out]


class LexicalIndex:
    """A BM25 index over a sequence of texts (rows), queried for a score per row."""

    def __init__(self, retriever: Any, rows: int):
        self._retriever, self._rows = retriever, rows

    @classmethod
    def build(cls, texts: Sequence[str]) -> "LexicalIndex":
        """Index `texts`; row i of every score array is `texts[i]`."""
        return cls.from_terms(tokenize(texts))

    @classmethod
    def from_terms(cls, terms: Sequence[Sequence[str]]) -> "LexicalIndex":
        """Index rows already cut into their index terms (`tokenize`): a caller that kept the
        terms of unchanged rows re-indexes without tokenizing them again."""
        if not terms:
            return cls(None, 0)
        retriever = _bm25s().BM25(method="lucene", k1=1.2, b=0.75)
        retriever.index([list(t) for t in terms], show_progress=False)
        return cls(retriever, len(terms))

    @property
    def rows(self) -> int:
        return self._rows

    def scores(self, query: str) -> np.ndarray:
        """float32 BM25 score of `query` for every row; 0 for a row sharing no term with it."""
        out = np.zeros(self._rows, dtype=np.float32)
        if self._retriever is None:
            return out
        ids = self._retriever.get_tokens_ids(tokenize([query])[0])
        if ids:
            out[:] = self._retriever.get_scores(ids)
        return out

    def knows(self, query: str) -> bool:
        """True when at least one term of `query` occurs in the index."""
        if self._retriever is None:
            return False
        return bool(self._retriever.get_tokens_ids(tokenize([query])[0]))


def normalise(scores: np.ndarray, method: str = "z") -> np.ndarray:
    """`scores` rescaled over the given rows: "z" (mean 0, standard deviation 1) or "minmax"
    (0 to 1). Constant scores become zeros."""
    if method not in NORMALISATIONS:
        raise ValueError(f"normalisation must be one of {NORMALISATIONS}, not {method!r}")
    x = np.asarray(scores, dtype=np.float64)
    if x.size == 0:
        return np.zeros(0)
    if method == "z":
        spread = x.std()
        return (x - x.mean()) / spread if spread > 0 else np.zeros_like(x)
    low, high = x.min(), x.max()
    return (x - low) / (high - low) if high > low else np.zeros_like(x)


def fuse(lexical: np.ndarray, semantic: np.ndarray, semantic_weight: float = SEMANTIC_WEIGHT,
         method: str = "z", lead: np.ndarray | None = None, lead_weight: float = LEAD_WEIGHT) -> np.ndarray:
    """One score per row from a lexical and a semantic score of the same rows: each normalised
    over these rows (`normalise`), then `semantic_weight` x semantic + (1 - semantic_weight) x
    lexical, plus `lead_weight` x the `lead` score when one is given (normalised over the rows
    that have one; NaN for a row without, which counts 0), shifted so that the lowest is 0
    (float64)."""
    lexical, semantic = np.asarray(lexical), np.asarray(semantic)
    if lexical.shape != semantic.shape or lexical.ndim != 1:
        raise ValueError(f"lexical and semantic scores must be 1-D and of one length, "
                         f"not {lexical.shape} and {semantic.shape}")
    if not 0.0 <= semantic_weight <= 1.0:
        raise ValueError(f"semantic_weight must be between 0 and 1, not {semantic_weight}")
    mixed = semantic_weight * normalise(semantic, method) + (1.0 - semantic_weight) * normalise(lexical, method)
    if lead is not None:
        lead = np.asarray(lead)
        if lead.shape != lexical.shape:
            raise ValueError(f"lead scores must have one score per row ({lexical.shape[0]}), not shape {lead.shape}")
        if not lead_weight >= 0.0:
            raise ValueError(f"lead_weight must be 0 or more, not {lead_weight}")
        scored = ~np.isnan(lead)
        part = np.zeros(len(lead))
        part[scored] = normalise(lead[scored], method)
        mixed = mixed + lead_weight * part
    return mixed - mixed.min() if mixed.size else mixed


def best_per_document(scores: np.ndarray, document_of_row: np.ndarray,
                      rows: np.ndarray | None = None) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Fold row scores into documents: a document scores as its best row.

    `scores[i]` belongs to row `rows[i]` (all rows 0..n-1 when `rows` is None), which belongs to
    document `document_of_row[rows[i]]`. Returns (documents, their scores, their best rows), best
    document first; ties go to the lower row, then the lower document.
    """
    scores = np.asarray(scores)
    rows = np.arange(len(scores)) if rows is None else np.asarray(rows, dtype=np.int64)
    if scores.shape != rows.shape or scores.ndim != 1:
        raise ValueError("scores and rows must be 1-D and of one length")
    docs = np.asarray(document_of_row)[rows]
    order = np.lexsort((rows, -scores.astype(np.float64)))
    _, first = np.unique(docs[order], return_index=True)
    best = order[first]
    best = best[np.lexsort((docs[best], rows[best], -scores[best].astype(np.float64)))]
    return docs[best], scores[best], rows[best]


def hybrid_rank(matrix: np.ndarray, ids: Sequence[str], id_to_idx: Mapping[str, int], query_vec: np.ndarray,
                lexical_scores: np.ndarray, *, limit: int = 10, pool: int = DEFAULT_POOL,
                semantic_weight: float = SEMANTIC_WEIGHT, method: str = "z",
                lead_rows: Callable[[np.ndarray], np.ndarray] | None = None, lead_weight: float = LEAD_WEIGHT,
                lead_scores: np.ndarray | None = None, **options: Any) -> list[tuple[int, float]]:
    """Rows ranked by the fused lexical and semantic score, [(row, score), ...] best first.

    `matrix`, `ids`, `id_to_idx` and `query_vec` are those of `_quorvel.score_candidates`;
    `lexical_scores` has one score per row (`quorvel.bm25.ShardTerms.scores`). `options` are the other
    keyword arguments of `score_candidates` (timestamps, recent, recent_days, diverse, mask,
    threshold, like_ids, pre_filter_ids, not_like_vec, traj_from_vec, traj_to_vec, mmr_lambda,
    oversample), applied as the module docstring describes. `lead_rows` maps an array of rows to
    the first row of each one's document; with it the cosine of the query with that row is the
    third score of the fusion, weighted `lead_weight`. A caller that has these scores already
    passes them instead as `lead_scores`, one per row of `matrix` (NaN for a row that is its
    document's first row; `row_lead_scores` computes them).
    """
    import _quorvel

    lexical_scores = np.asarray(lexical_scores, dtype=np.float32)
    if lexical_scores.shape != (len(ids),):
        raise ValueError(f"lexical_scores must have one score per row ({len(ids)}), not shape {lexical_scores.shape}")
    limit, pool = int(limit), int(pool)
    if limit < 0 or pool < 1:
        raise ValueError("limit must be >= 0 and pool >= 1")
    recent = bool(options.pop("recent", False))
    recent_days = options.pop("recent_days", None)
    diverse = bool(options.pop("diverse", False))
    mmr_lambda = float(options.pop("mmr_lambda", 0.7))
    options.pop("oversample", None)
    timestamps = options.get("timestamps")
    if limit == 0 or len(ids) == 0:
        return []

    found = _quorvel.score_candidates(matrix, ids, id_to_idx, query_vec, limit=min(pool, len(ids)), **options)
    semantic = {id_to_idx[r["id"]]: r["score"] for r in found}
    by_words = lexical_pool(lexical_scores, pool, options.get("pre_filter_ids"), id_to_idx)
    extra = [ids[row] for row in by_words if row not in semantic]
    if extra:
        narrowed = dict(options, pre_filter_ids=extra)
        for r in _quorvel.score_candidates(matrix, ids, id_to_idx, query_vec, limit=len(extra), **narrowed):
            semantic[id_to_idx[r["id"]]] = r["score"]
    if not semantic:
        return []
    rows = np.fromiter(semantic, dtype=np.int64, count=len(semantic))
    rows.sort()
    if lead_rows is not None and lead_scores is not None:
        raise TypeError("pass lead_rows or lead_scores, not both")
    lead = None if lead_rows is None else _lead_scores(matrix, query_vec, lead_rows, rows)
    if lead_scores is not None:
        lead = np.asarray(lead_scores, dtype=np.float64)[rows]
    fused = fuse(lexical_scores[rows], np.array([semantic[r] for r in rows]), semantic_weight, method,
                 lead, lead_weight)
    if recent:
        fused *= _decay(rows, timestamps, recent_days)
    order = np.lexsort((rows, -fused))
    if diverse:  # the selection starts from the first candidate: pass them best first
        relevance = np.zeros(len(ids), dtype=np.float32)
        relevance[rows] = fused
        picked = _quorvel.mmr_select_py(rows[order], relevance, matrix, min(limit, len(rows)), mmr_lambda)
        return [(int(row), float(relevance[row])) for row, _ in picked]
    return [(int(rows[i]), float(fused[i])) for i in order[:limit]]


def _lead_scores(matrix: np.ndarray, query_vec: np.ndarray, lead_rows: Callable[[np.ndarray], np.ndarray],
                 rows: np.ndarray) -> np.ndarray:
    """The cosine of the query with the first row of each row's document (rows are unit vectors),
    NaN for a row that is that first row."""
    leads = np.asarray(lead_rows(rows), dtype=np.int64)
    if leads.shape != rows.shape or (len(leads) and (leads.min() < 0 or leads.max() >= len(matrix))):
        raise ValueError("lead_rows must give one row of the matrix for each row")
    unique, back = np.unique(leads, return_inverse=True)
    scores = row_lead_scores(matrix[unique], query_vec)[back]
    scores[leads == rows] = np.nan
    return scores


def row_lead_scores(vectors: np.ndarray, query_vec: np.ndarray) -> np.ndarray:
    """The cosine of the query with each of `vectors` (unit rows), in float64. Each row's sum is
    taken the same way whichever rows come with it, so a sharded search that computes the scores
    of the leads it gathered from its shards gets the values one collection computes."""
    products = np.asarray(vectors, dtype=np.float64) * np.asarray(query_vec, dtype=np.float64)
    return products.sum(axis=1)


def lexical_pool(lexical_scores: np.ndarray, pool: int, pre_filter: Any, id_to_idx: Mapping[str, int]) -> np.ndarray:
    """Rows of the `pool` best non-zero lexical scores, within the pre-filter when there is one,
    and every row tied with the last of them: the pool depends on the scores alone, not on the
    rows' order (so the shards of a sharded collection can each return theirs)."""
    candidates = np.flatnonzero(lexical_scores > 0)
    if pre_filter is not None:
        allowed = np.fromiter((id_to_idx[i] for i in pre_filter if i in id_to_idx), dtype=np.int64)
        candidates = np.intersect1d(candidates, allowed)
    if len(candidates) > pool:
        scores = lexical_scores[candidates]
        edge = np.partition(scores, len(scores) - pool)[len(scores) - pool]
        candidates = candidates[scores >= edge]
    return candidates


def _decay(rows: np.ndarray, timestamps: Any, recent_days: Any) -> np.ndarray:
    """The native recency factor of each row: a constant one-column matrix scored with decay."""
    import _quorvel

    if timestamps is None:
        return np.ones(len(rows))
    n = len(rows)
    names = [str(i) for i in range(n)]
    kwargs: dict[str, Any] = {"timestamps": np.ascontiguousarray(np.asarray(timestamps, dtype=np.float64)[rows]),
                              "recent": True, "limit": n}
    if recent_days is not None:
        kwargs["recent_days"] = float(recent_days)
    ones = np.ones((n, 1), dtype=np.float32)
    factor = np.ones(n)
    for r in _quorvel.score_candidates(ones, names, {name: i for i, name in enumerate(names)},
                                       np.ones(1, dtype=np.float32), **kwargs):
        factor[int(r["id"])] = r["score"]
    return factor
