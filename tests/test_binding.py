"""Binding of positional and keyword arguments: each case with its exact TypeError message."""

import numpy as np
import pytest

import _quorvel
from _quorvel import mmr_select_py, parse_modifiers, score_candidates

M = np.eye(3, dtype=np.float32)
Q = np.ones(3, dtype=np.float32)
IDS = ["a", "b", "c"]
MAP = {"a": 0, "b": 1, "c": 2}
SIM = np.ones(3, dtype=np.float32)


@pytest.mark.parametrize("call, message", [
    (lambda: score_candidates(),
     "score_candidates() missing 4 required positional arguments: 'matrix', 'ids', 'id_to_idx', and 'query_vec'"),
    (lambda: score_candidates(M, IDS),
     "score_candidates() missing 2 required positional arguments: 'id_to_idx' and 'query_vec'"),
    (lambda: score_candidates(M, IDS, MAP),
     "score_candidates() missing 1 required positional argument: 'query_vec'"),
    (lambda: score_candidates(M, query_vec=Q),
     "score_candidates() missing 2 required positional arguments: 'ids' and 'id_to_idx'"),
    (lambda: score_candidates(*([None] * 19)),
     "score_candidates() takes from 4 to 18 positional arguments but 19 were given"),
    (lambda: score_candidates(M, IDS, MAP, Q, k=1),
     "score_candidates() got an unexpected keyword argument 'k'"),
    (lambda: score_candidates(M, IDS, MAP, Q, Limit=1),
     "score_candidates() got an unexpected keyword argument 'Limit'"),
    (lambda: score_candidates(M, IDS, MAP, Q, query_vec=Q),
     "score_candidates() got multiple values for argument 'query_vec'"),
    (lambda: mmr_select_py(1, 2, 3, 4, 5, 6),
     "mmr_select_py() takes 5 positional arguments but 6 were given"),
    (lambda: mmr_select_py(1),
     "mmr_select_py() missing 4 required positional arguments: 'similarities', 'matrix', 'k', and 'lambda_'"),
    (lambda: mmr_select_py(1, 2, 3, k=4),
     "mmr_select_py() missing 1 required positional argument: 'lambda_'"),
    (lambda: parse_modifiers("a", "b"),
     "parse_modifiers() takes from 0 to 1 positional arguments but 2 were given"),
    (lambda: parse_modifiers(x="a"),
     "parse_modifiers() got an unexpected keyword argument 'x'"),
    (lambda: parse_modifiers("a", modifier_str="b"),
     "parse_modifiers() got multiple values for argument 'modifier_str'"),
    # Surplus positionals are reported before an unknown keyword is looked at...
    (lambda: parse_modifiers("a", "b", x=1),
     "parse_modifiers() takes from 0 to 1 positional arguments but 2 were given"),
    # ...and an unknown keyword before missing arguments.
    (lambda: score_candidates(M, bogus=1),
     "score_candidates() got an unexpected keyword argument 'bogus'"),
    # Keywords are matched in the order given: the first bad one is reported.
    (lambda: score_candidates(M, IDS, MAP, Q, **{"zz": 1, "matrix": M}),
     "score_candidates() got an unexpected keyword argument 'zz'"),
    (lambda: score_candidates(M, IDS, MAP, Q, **{"matrix": M, "zz": 1}),
     "score_candidates() got multiple values for argument 'matrix'"),
])
def test_binding_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_non_ascii_and_unencodable_keywords_are_unknown():
    with pytest.raises(TypeError) as info:
        parse_modifiers(**{"modifier_st\u00e9": "x"})
    assert str(info.value) == "parse_modifiers() got an unexpected keyword argument 'modifier_st\u00e9'"
    with pytest.raises(TypeError) as info:
        parse_modifiers(**{"a\udc80": "x"})
    assert str(info.value) == "parse_modifiers() got an unexpected keyword argument 'a\udc80'"


def test_non_interned_keyword_names_match():
    name = "".join(["modifier", "_", "str"])
    assert parse_modifiers(**{name: "diverse"})["diverse"] is True


def test_everything_by_keyword_and_by_position_agree():
    rng = np.random.default_rng(3)
    m = rng.standard_normal((20, 4)).astype(np.float32)
    ids = [f"r{i}" for i in range(20)]
    idx = {d: i for i, d in enumerate(ids)}
    q = rng.standard_normal(4).astype(np.float32)
    defaults = [None, None, None, False, 10, 200, 0.0, 0.7, False, None, None, None, None, None]
    by_position = score_candidates(m, ids, idx, q, *defaults)
    by_keyword = score_candidates(query_vec=q, id_to_idx=idx, ids=ids, matrix=m)
    assert by_position == by_keyword == score_candidates(m, ids, idx, q)
    assert len(by_position) == 10


def test_mmr_by_keyword():
    got = mmr_select_py(lambda_=0.5, k=2, matrix=M, similarities=SIM, candidates=[0, 1])
    assert [i for i, _ in got] == [0, 1]
