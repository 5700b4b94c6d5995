"""Type information for the native module `_quorvel`.

Arrays are read in place and never written; they must have exactly the dtype named here
(nothing is cast), any layout. The result dictionaries are plain dicts at run time.
"""

from collections.abc import Sequence
from typing import SupportsFloat, SupportsIndex, TypedDict, type_check_only

import numpy as np
import numpy.typing as npt

__all__: list[str]

_F32Vector = npt.NDArray[np.float32]
_F32Matrix = npt.NDArray[np.float32]
_Ids = Sequence[str] | npt.NDArray[np.str_]
_Float = SupportsFloat | SupportsIndex

@type_check_only
class _ScoredRow(TypedDict):
    id: str
    score: float  # rounded to four decimal places

@type_check_only
class _Modifiers(TypedDict):
    recent: bool
    recent_days: int | None
    unlike: str | None
    diverse: bool
    limit: int | None
    like: list[str] | None
    trajectory_from: str | None
    trajectory_to: str | None
    local_communities: bool

def parse_modifiers(modifier_str: str | None = None) -> _Modifiers:
    """Parse a modifier string such as 'recent:30 diverse limit:5'; always returns all nine keys."""

def score_candidates(
    matrix: _F32Matrix,
    ids: _Ids,
    id_to_idx: dict[str, int],
    query_vec: _F32Vector,
    timestamps: npt.NDArray[np.float64] | None = None,
    pre_filter_ids: _Ids | None = None,
    not_like_vec: _F32Vector | None = None,
    diverse: bool | np.bool_ = False,
    limit: SupportsIndex = 10,
    oversample: SupportsIndex = 200,
    threshold: _Float = 0.0,
    mmr_lambda: _Float = 0.7,
    recent: bool | np.bool_ = False,
    recent_days: _Float | None = None,
    like_ids: _Ids | None = None,
    traj_from_vec: _F32Vector | None = None,
    traj_to_vec: _F32Vector | None = None,
    mask: npt.NDArray[np.bool_] | None = None,
) -> list[_ScoredRow]:
    """Score every row of `matrix` against `query_vec`, apply the requested modulations and
    return the best rows as [{'id': str, 'score': float}, ...]."""

def mmr_select_py(
    candidates: Sequence[SupportsIndex] | npt.NDArray[np.integer],
    similarities: _F32Vector,
    matrix: _F32Matrix,
    k: SupportsIndex,
    lambda_: _Float,
) -> list[tuple[int, float]]:
    """Maximal Marginal Relevance over `candidates` (row indices); returns (row, mmr_score) pairs."""
