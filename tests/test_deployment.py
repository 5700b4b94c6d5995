"""What a real deployment meets: requests too large for memory, arrays that change between calls,
and identifiers of every shape."""

import time

import numpy as np
import pytest

from _quorvel import mmr_select_py, score_candidates

from conftest import unit_rows

F32 = np.float32

# A full 2**23 x 2**23 float32 similarity product of a pool this large would take 2**48 bytes
# (256 TiB), more than any x86-64 address space: the selection must compute only the rows it uses.
HUGE = 2**23


def assert_memory_error(info, nbytes, what):
    message = str(info.value)
    assert type(info.value) is MemoryError
    assert f"{nbytes} bytes" in message and what in message, message


def test_diverse_call_over_a_huge_pool():
    # Unit rows at angles from 0 to 90 degrees, so that the query (1, 0) ranks them in row order.
    theta = np.linspace(0, np.pi / 2, HUGE)
    matrix = np.empty((HUGE, 2), F32)
    matrix[:, 0], matrix[:, 1] = np.cos(theta), np.sin(theta)
    ids = ["doc"] * HUGE
    q = np.array([1, 0], F32)
    # The pool holds every row. Row 0 is the seed (0.7 x 1); row i then scores
    # 0.7 cos(t_i) - 0.3 cos(t_i), highest for the next row, about 0.4.
    rows = score_candidates(matrix, ids, {}, q, diverse=True, oversample=2**64 - 1, limit=2)
    assert [r["score"] for r in rows] == [0.7, 0.4]


def test_mmr_select_py_with_a_huge_candidate_list():
    matrix = unit_rows(np.random.default_rng(1), 1025, 4)
    sims = np.linspace(0, 1, 1025, dtype=F32)
    sims[1024] = -np.inf
    # Positions past the first 1024 all name row 1024, whose relevance -inf keeps them from being
    # picked, while every pick still computes its similarity to each of them.
    candidates = list(range(1024)) + [1024] * (HUGE - 1024)
    got = mmr_select_py(candidates, sims, matrix, 10, 0.5)
    assert len(got) == 10 and got == mmr_select_py(candidates[:1024], sims, matrix, 10, 0.5)


def huge_broadcast(shape):
    """A float32 array of any shape that takes no memory: one element, zero strides."""
    return np.broadcast_to(np.zeros((1,) * len(shape), F32), shape)


@pytest.mark.parametrize("call, nbytes, what", [
    # A query as long as the rows of a matrix with 2**60 columns: the query's copy.
    (lambda: score_candidates(huge_broadcast((1, 2**60)), ["a"], {}, huge_broadcast((2**60,))),
     2**62, "query vector"),
    # One candidate of a matrix with 2**58 columns: its gathered row.
    (lambda: mmr_select_py([0], np.ones(1, F32), huge_broadcast((1, 2**58)), 1, 0.5), 2**60, "gathered rows"),
], ids=["query_copy", "gathered_rows"])
def test_memory_error_names_the_request(call, nbytes, what):
    with pytest.raises(MemoryError) as info:
        call()
    assert_memory_error(info, nbytes, what)


def test_request_beyond_the_address_space():
    # 8 rows of 2**61 - 1 floats: the byte count itself does not fit in 64 bits.
    with pytest.raises(MemoryError) as info:
        mmr_select_py([0] * 8, np.ones(1, F32), huge_broadcast((1, 2**61 - 1)), 1, 0.5)
    assert "gathered rows" in str(info.value) and "address space" in str(info.value)


def test_oversample_beyond_the_row_count_equals_oversample_of_every_row():
    rng = np.random.default_rng(2)
    matrix = unit_rows(rng, 3000, 16)
    ids = [f"d{i}" for i in range(3000)]
    q = rng.standard_normal(16).astype(F32)
    huge = score_candidates(matrix, ids, {}, q, diverse=True, oversample=2**64 - 1, limit=15)
    every = score_candidates(matrix, ids, {}, q, diverse=True, oversample=3000, limit=15)
    assert huge == every and len(huge) == 15


# ---------------------------------------------------------------------------------------------
# Arrays are read at call time, in place: a caller that changes its arrays between calls gets
# results for the new contents.

def test_matrix_mutated_between_calls():
    rng = np.random.default_rng(3)
    matrix = unit_rows(rng, 200, 8)
    ids = [f"d{i}" for i in range(200)]
    q = unit_rows(rng, 1, 8)[0]
    view = matrix[::-1]  # a view of the same memory, as a caller might keep one
    readonly = matrix.view()
    readonly.flags.writeable = False
    before = score_candidates(readonly, ids, {}, q, limit=3)
    assert before[0]["id"] != "d17"
    matrix[17] = q  # row 17 becomes the query itself
    for arr, row_id in ((readonly, "d17"), (view, "d182")):
        after = score_candidates(arr, ids, {}, q, limit=3)
        assert after[0] == {"id": row_id, "score": 1.0}
        assert after == score_candidates(arr.copy(), ids, {}, q, limit=3)


def test_vectors_and_flags_mutated_between_calls():
    matrix = np.eye(4, dtype=F32)
    ids = ["a", "b", "c", "d"]
    q = np.array([0, 1, 0, 0], F32)
    mask = np.ones(4, bool)
    assert score_candidates(matrix, ids, {}, q, limit=1, mask=mask)[0]["id"] == "b"
    q[:] = [0, 0, 0, 1]
    assert score_candidates(matrix, ids, {}, q, limit=1, mask=mask)[0]["id"] == "d"
    mask[3] = False
    assert score_candidates(matrix, ids, {}, q, limit=4, mask=mask, threshold=0.5) == []
    mask[3] = True
    assert score_candidates(matrix, ids, {}, q, limit=4, mask=mask, threshold=0.5) == [{"id": "d", "score": 1.0}]


def test_timestamps_mutated_between_calls():
    now = time.time()
    matrix = np.eye(2, dtype=F32)
    q = np.array([1, 1], F32)  # both rows score 2**-0.5 before the decay
    ts = np.array([now, now - 30 * 86400])  # the second is one half-life old
    first = score_candidates(matrix, ["new", "old"], {}, q, recent=True, timestamps=ts)
    assert [r["id"] for r in first] == ["new", "old"]
    ts[0] = now - 90 * 86400  # three half-lives: a quarter of the score
    second = score_candidates(matrix, ["new", "old"], {}, q, recent=True, timestamps=ts)
    assert [r["id"] for r in second] == ["old", "new"]
    assert second[0]["score"] == pytest.approx(2**-0.5 / 2, abs=1.01e-4)
    assert second[1]["score"] == pytest.approx(2**-0.5 / 4, abs=1.01e-4)


def test_similarities_mutated_between_mmr_calls():
    matrix = np.eye(3, dtype=F32)
    sims = np.array([0.5, 0.25, 0.75], F32)
    assert mmr_select_py([0, 1, 2], sims, matrix, 3, 1.0) == [(0, 0.5), (2, 0.75), (1, 0.25)]
    sims[1] = 1.0
    assert mmr_select_py([0, 1, 2], sims, matrix, 3, 1.0) == [(0, 0.5), (1, 1.0), (2, 0.75)]


# ---------------------------------------------------------------------------------------------
# Identifiers come back exactly as given: non-ASCII, NUL characters, str subclasses.

class Tricky(str):
    """A str subclass that misreports itself: only its content may count."""

    def __str__(self):
        return "not the id"

    def __repr__(self):
        return "not the id either"

    def __eq__(self, other):
        return True

    def __hash__(self):
        return 0


class Folded(str):
    """A str subclass whose keys match case-insensitively in Python: not for the module, which
    compares identifiers by content."""

    def __eq__(self, other):
        return isinstance(other, str) and self.casefold() == other.casefold()

    def __hash__(self):
        return hash(self.casefold())


ODD_IDS = ["plain", "caf\u00e9", "\u65e5\u672c\u8a9e", "\U0001f600 face", "a\x00b", "\x00", "a",
           "tab\there", "zero\u200bwidth", "x" * 100_000, "", "\u00a0"]


@pytest.mark.parametrize("wrap", [list, tuple, lambda ids: [Tricky(i) for i in ids], np.array],
                         ids=["list", "tuple", "str_subclass", "numpy_str_array"])
def test_ids_round_trip_exactly(wrap):
    n = len(ODD_IDS)
    matrix = np.eye(n, dtype=F32)
    ids = wrap(ODD_IDS)
    for row in range(n):
        q = np.zeros(n, F32)
        q[row] = 1
        got = score_candidates(matrix, ids, {}, q, limit=1)
        assert len(got) == 1 and type(got[0]["id"]) is str
        # The item's own content (NumPy's str arrays drop trailing NULs when they store them).
        want = str.__str__(ids[row])
        assert got[0]["id"] == want and len(got[0]["id"]) == len(want)
        assert want == ODD_IDS[row] or wrap is np.array


def test_identifiers_resolve_by_exact_content():
    # "a", "a\0b" and "\0" are different identifiers; a NUL never ends one early. Keys and
    # listed identifiers that are str subclasses with their own __eq__ and __hash__ resolve by
    # their content alone.
    n = len(ODD_IDS)
    matrix = unit_rows(np.random.default_rng(4), n, 6)
    id_to_idx = {Folded(d): i for i, d in enumerate(ODD_IDS)}
    assert len(id_to_idx) == n
    q = np.ones(6, F32)
    for i, d in enumerate(ODD_IDS):
        got = score_candidates(matrix, ODD_IDS, id_to_idx, q, pre_filter_ids=[Tricky(d)])
        assert [r["id"] for r in got] == [d]
        liked = score_candidates(matrix, ODD_IDS, id_to_idx, np.zeros(6, F32), like_ids=[d], limit=1)
        assert liked[0]["id"] == d and liked[0]["score"] == 1.0
    assert score_candidates(matrix, ODD_IDS, id_to_idx, q, pre_filter_ids=["a\x00", "b", "A", "cafe"]) == []
