"""Metadata checks and the filter language, against a plain-Python model of the filters."""

import math
import operator
import re
import sqlite3
from unittest import mock

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import quorvel.filters as qf
from quorvel.filters import (INDEX_SCHEMA, INDEX_TABLE, ITEM, LIST, LOAD, NUMBER, STR,
                             TOUCHED_TABLE, WALK, WALK_THEN_LOAD, Columns, check_metadata,
                             compile_filter, drop_index, groups_statement, metadata_from_json,
                             metadata_json, numbers_statements, parse_condition,
                             prepare_saved_columns, save_columns, sql_orders_numbers_exactly,
                             walk_statement, write_index)

# -- the model: what a filter means, written plainly over Python values -----------------------

_ORDER = {"$gt": operator.gt, "$gte": operator.ge, "$lt": operator.lt, "$lte": operator.le}


def _kind(v):
    if isinstance(v, list):
        return "list"
    if isinstance(v, bool):
        return "bool"
    return "str" if isinstance(v, str) else "number"


def model_equal(a, b):
    if _kind(a) != _kind(b):
        return False
    if isinstance(a, list):
        return len(a) == len(b) and all(map(model_equal, a, b))
    return a == b


def model_key(meta, key, op, operand):
    present = key in meta
    v = meta.get(key)
    if op == "$eq":
        return present and model_equal(v, operand)
    if op == "$ne":
        return not model_key(meta, key, "$eq", operand)
    if op in _ORDER:
        return present and _kind(v) == _kind(operand) and _ORDER[op](v, operand)
    if op == "$in":
        return any(model_key(meta, key, "$eq", o) for o in operand)
    if op == "$nin":
        return not model_key(meta, key, "$in", operand)
    if op == "$contains":
        return present and isinstance(v, list) and any(model_equal(x, operand) for x in v)
    if op == "$exists":
        return present == operand
    if op == "$not":
        return not all(model_key(meta, key, o, x) for o, x in operand.items())
    raise AssertionError(op)


def model(meta, where):
    for key, cond in where.items():
        if key == "$and":
            ok = all(model(meta, f) for f in cond)
        elif key == "$or":
            ok = any(model(meta, f) for f in cond)
        elif key == "$not":
            ok = not model(meta, cond)
        elif isinstance(cond, dict):
            ok = all(model_key(meta, key, op, x) for op, x in cond.items())
        else:
            ok = model_key(meta, key, "$eq", cond)
        if not ok:
            return False
    return True


# -- random metadata and filters --------------------------------------------------------------

KEYS = ["a", "b", "c"]
strs = st.sampled_from(["", "a", "b", "ab", "B", "é", "\U0001f600", "a\x00", "2020"])
ints = st.one_of(st.integers(-3, 3), st.sampled_from([2020, 2 ** 53 + 1, 2 ** 63 - 1, -(2 ** 63)]))
floats = st.one_of(st.sampled_from([0.0, -0.0, 0.5, 1.0, 2.0, -1.5, 2020.0, 2.0 ** 53, 1e300, -1e300,
                                   2.0 ** 63, -(2.0 ** 63), 5e-324]),
                   st.floats(-4, 4, allow_nan=False, width=16))
scalars = st.one_of(strs, ints, floats, st.booleans())
values = st.one_of(scalars, st.lists(scalars, max_size=3))
metadatas = st.dictionaries(st.sampled_from(KEYS), values, max_size=3)
ordered = st.one_of(strs, ints, floats)


def key_condition(op):
    operand = {
        "$eq": values, "$ne": values, "$contains": scalars, "$exists": st.booleans(),
        "$in": st.lists(values, max_size=3), "$nin": st.lists(values, max_size=3),
    }.get(op, ordered)
    return st.tuples(st.sampled_from(KEYS), operand).map(lambda kv: {kv[0]: {op: kv[1]}})


OPERATORS = ["$eq", "$ne", "$gt", "$gte", "$lt", "$lte", "$in", "$nin", "$contains", "$exists"]
leaves = st.one_of([key_condition(op) for op in OPERATORS]
                   + [st.tuples(st.sampled_from(KEYS), values).map(lambda kv: {kv[0]: kv[1]})])
filters = st.recursive(leaves, lambda inner: st.one_of(
    st.lists(inner, min_size=1, max_size=3).map(lambda fs: {"$and": fs}),
    st.lists(inner, min_size=1, max_size=3).map(lambda fs: {"$or": fs}),
    inner.map(lambda f: {"$not": f}),
    st.lists(inner, min_size=2, max_size=3).map(lambda fs: {k: v for f in fs for k, v in f.items()}),
), max_leaves=6)


def _answers(docs, compiled, indexed):
    """The filter's answers under each policy: walks, columns, and walks then columns."""
    conn = sqlite3.connect(":memory:")
    conn.executescript(INDEX_SCHEMA)
    if not indexed:  # rows handed over in document order, not by value: the columns sort them
        conn.executescript(f"DROP INDEX {INDEX_TABLE}_num; DROP INDEX {INDEX_TABLE}_text;")
    write_index(conn, enumerate(map(check_metadata, docs)))
    answers = {}
    for policy in (WALK, LOAD, WALK_THEN_LOAD):
        columns = Columns(policy)
        # asked twice: with WALK_THEN_LOAD, the first call walks and the second loads columns
        answers[policy] = [compiled.documents(conn, len(docs), columns).tolist() for _ in range(2)]
    conn.close()
    if indexed:
        answers["saved"] = _saved_answers(docs, compiled)
    return answers


def change(conn, generation, write=(), drop=()):
    """One change of the side table as a collection makes it: written and dropped documents
    noted, then the columns saved as of `generation`."""
    conn.execute("BEGIN")
    prepare_saved_columns(conn)
    write_index(conn, write)
    drop_index(conn, drop)
    conn.executemany(f"INSERT OR IGNORE INTO {TOUCHED_TABLE} VALUES (?)",
                     [(d,) for d in [*drop, *(d for d, _ in write)]])
    save_columns(conn, generation)
    conn.execute("COMMIT")


def _saved_answers(docs, compiled):
    """The answers from saved columns that went through a first run holding other metadata for
    every document, later runs of one to three documents each, and their merges."""
    conn = sqlite3.connect(":memory:", isolation_level=None)
    conn.executescript(INDEX_SCHEMA)
    n = len(docs)
    generation = done = 0
    with mock.patch.object(qf, "SAVE_FROM_ENTRIES", 0):
        change(conn, generation, [(d, check_metadata(docs[(d + 1) % n])) for d in range(n)])
        while done < n:
            generation += 1
            part = range(done, min(n, done + generation % 3 + 1))
            change(conn, generation, [(d, check_metadata(docs[d])) for d in part if docs[d]],
                   [d for d in part if not docs[d]])
            done = part.stop
    columns = Columns(WALK, generation=generation)
    answers = [compiled.documents(conn, n, columns).tolist() for _ in range(2)]
    assert columns._saved is not None  # read from the saved columns when asked
    conn.close()
    return answers


def matched(docs, where):
    compiled = compile_filter(where)
    if compiled is None:
        return [True] * len(docs)
    hits = _answers(docs, compiled, indexed=True)[WALK][0]
    for indexed in (True, False):
        for policy, calls in _answers(docs, compiled, indexed).items():
            assert calls == [hits, hits], (policy, indexed)
    return hits


@pytest.mark.parametrize("op", OPERATORS)
@settings(max_examples=150, deadline=None)
@given(docs=st.lists(metadatas, max_size=12), data=st.data())
def test_each_operator_matches_the_model(op, docs, data):
    where = data.draw(key_condition(op))
    assert matched(docs, where) == [model(m, where) for m in docs]


@settings(max_examples=300, deadline=None)
@given(docs=st.lists(metadatas, max_size=12), where=filters)
def test_nested_filters_match_the_model(docs, where):
    assert matched(docs, where) == [model(m, where) for m in docs]


@pytest.mark.parametrize("where, expected", [
    ({"n": 1}, [0, 1]),                        # 1 == 1.0, and True is not a number
    ({"n": True}, [2]),
    ({"n": {"$gte": 1}}, [0, 1, 4]),           # bools have no order; the str "5" is no number
    ({"n": {"$in": [True, "5"]}}, [2, 3]),
    ({"n": {"$ne": 1}}, [2, 3, 4, 5, 6, 7]),   # without the key included
    ({"n": {"$exists": False}}, [6, 7]),
    ({"n": [1, "x"]}, [5]),
    ({"n": {"$contains": 1}}, [5]),
    ({"n": {"$gt": 2 ** 53}}, [4]),            # ints and floats ordered exactly
    ({"n": {"$lt": "6"}}, [3]),
    ({"n": {"$not": {"$gt": 0, "$lt": 2}}}, [2, 3, 4, 5, 6, 7]),
    ({}, list(range(8))),
])
def test_kinds_compare_as_documented(where, expected):
    docs = [{"n": 1}, {"n": 1.0}, {"n": True}, {"n": "5"}, {"n": 2 ** 53 + 1},
            {"n": [1.0, "x"]}, {"m": 1}, {}]
    assert [i for i, hit in enumerate(matched(docs, where)) if hit] == expected


# Ints that no float equals, floats beyond every int, and their neighbours; floats whose
# magnitudes lie far apart (loaded a row each) and near each other (loaded as scaled ints).
FAR = [2 ** 53, 2 ** 53 + 1, 2.0 ** 53, 2 ** 63 - 1, 2.0 ** 63, -(2 ** 63), -(2.0 ** 63),
       -(2 ** 63) + 1, 1e300, -1e300, 0.5, -0.0, 1, 1.5, 5e-324]
NEAR = [2 ** 53 - 1, 2 ** 53 + 1, 2 ** 54 - 1, 2.0 ** 53 - 1, 2.0 ** 53, 2.0 ** 53 + 2,
        2.0 ** 54 - 2, 2 ** 54 + 1, 2.0 ** 54, -0.0, 1.5e16]
WIDEST = [1.5, -1.25, 2047.75, 3000.25, 1, 4000]  # 3000.25 * 2**52 is above 2**63


@pytest.mark.parametrize("edges", [FAR, NEAR, WIDEST, WIDEST[:3]],
                         ids=["far", "near", "widest", "wide"])
@pytest.mark.parametrize("op", ["$eq", "$gt", "$gte", "$lt", "$lte", "$contains"])
def test_ints_and_floats_compare_exactly_at_the_edges(op, edges):
    docs = [{"n": v} for v in edges] + [{"n": [v, "x"]} for v in edges]
    for x in edges:
        where = {"n": {op: x}}
        assert matched(docs, where) == [model(m, where) for m in docs], where


# -- the side table ---------------------------------------------------------------------------

def test_rewritten_and_dropped_documents_match_their_new_metadata():
    conn = sqlite3.connect(":memory:")
    conn.executescript(INDEX_SCHEMA)
    write_index(conn, [(0, {"t": ["x", "y"]}), (1, {"t": "x"}), (2, {"t": ["x"]})])
    write_index(conn, [(0, {"t": ["z"]})])
    drop_index(conn, [1])
    where = compile_filter({"$or": [{"t": {"$contains": "x"}}, {"t": "x"}]})
    assert where.documents(conn, 3).tolist() == [False, False, True]
    assert compile_filter({"t": {"$exists": True}}).documents(conn, 3).tolist() == [True, False, True]
    # rows of several passages per document; documents numbered beyond the caller's rows ignored
    write_index(conn, [(7, {"t": ["x"]})])
    assert where.rows(conn, np.array([2, 2, 0, 1, 2])).tolist() == [True, True, False, False, True]


@pytest.mark.parametrize("kind", range(7))
def test_every_column_loads_from_an_index_in_order(kind):
    conn = sqlite3.connect(":memory:")
    conn.executescript(INDEX_SCHEMA)
    statements = numbers_statements() if kind % ITEM == NUMBER else [groups_statement(kind)]
    for sql in statements:
        bound = max(map(int, re.findall(r"\?(\d)", sql)), default=sql.count("?"))
        plan = [step[3] for step in conn.execute("EXPLAIN QUERY PLAN " + sql,
                                                 ("k", kind, 2.0)[:bound])]
        # searches of the key's and kind's entries, in value order: no table scan, no sort
        searches = [s for s in plan if s.startswith(f"SEARCH {INDEX_TABLE} ")]
        assert searches and all("USING COVERING INDEX" in s for s in searches), plan
        assert all("(key=? AND kind=?" in s for s in searches), plan
        assert not any(s.startswith(f"SCAN {INDEX_TABLE}") or "TEMP B-TREE" in s for s in plan)


@pytest.mark.parametrize("kind", range(7))
@pytest.mark.parametrize("test, count", [("all", 0), ("in", 1), ("in", 3), ("$gt", 1), ("$gte", 1),
                                         ("$lt", 1), ("$lte", 1)])
def test_every_walk_reads_only_the_index_entries_it_matches(kind, test, count):
    conn = sqlite3.connect(":memory:")
    conn.executescript(INDEX_SCHEMA)
    column = "text" if kind % ITEM in (STR, LIST) else "num"
    # one search of the key's and kind's entries, bounded by the operand: no table scan, no sort
    index = f"{INDEX_TABLE}_(num|text)" if test == "all" else f"{INDEX_TABLE}_{column}"
    bounds = {"all": "", "in": f" AND {column}=\\?"}.get(test, f" AND {column}[<>]\\?")
    for sql, limit in [(walk_statement(kind, test, count), ()), (qf.count_statement(kind, test, count), (5,))]:
        plan = [step[3] for step in
                conn.execute("EXPLAIN QUERY PLAN " + sql, ("k", kind, *[1] * count, *limit))]
        on_table = [step for step in plan if INDEX_TABLE in step or "B-TREE" in step]
        assert len(on_table) == 1, plan
        assert re.fullmatch(f"SEARCH {INDEX_TABLE} USING COVERING INDEX {index} "
                            f"\\(key=\\? AND kind=\\?{bounds}\\)", on_table[0]), plan


@pytest.mark.parametrize("where, expected, first_load", [
    ({"s": "x"}, [d % 2 == 0 for d in range(100)], 3),      # 50 a walk: 150 walked > 100
    ({"n": {"$gte": 0}}, [True] * 100, 5),                  # 100 a walk: 500 > 4 * 100
    ({"n": {"$lte": 0.5}}, [d % 10 == 0 for d in range(100)], None),
])
def test_walks_give_way_to_a_column_once_they_cost_about_a_load(where, expected, first_load):
    conn = sqlite3.connect(":memory:")
    conn.executescript(INDEX_SCHEMA)
    write_index(conn, [(d, {"s": "xy"[d % 2], "n": d % 10}) for d in range(100)])
    compiled = compile_filter(where)
    columns = {policy: Columns(policy) for policy in (WALK, LOAD, WALK_THEN_LOAD)}
    loaded = {policy: [] for policy in columns}
    for _ in range(7):
        for policy, kept in columns.items():
            assert compiled.documents(conn, 100, kept).tolist() == expected
            loaded[policy].append(kept.nbytes() > 0)
    assert loaded[WALK] == [False] * 7 and loaded[LOAD] == [True] * 7
    assert loaded[WALK_THEN_LOAD] == [i >= (first_load or 7) for i in range(7)]
    columns[WALK_THEN_LOAD].clear()  # a new state of the table: walked again
    compiled.documents(conn, 100, columns[WALK_THEN_LOAD])
    assert columns[WALK_THEN_LOAD].nbytes() == 0


def test_unknown_policy():
    with pytest.raises(ValueError, match="unknown policy 'fast'"):
        Columns("fast")


def test_this_sqlite_orders_ints_and_floats_exactly():
    # Walks answer conditions on numbers only where SQLite compares ints and floats exactly: on
    # this build they must, or the walk path of the model tests is never taken for numbers.
    assert sql_orders_numbers_exactly()


# -- bad input --------------------------------------------------------------------------------

@pytest.mark.parametrize("where, message", [
    ([("a", 1)], "a filter must be a mapping, got list"),
    ({"$nor": []}, "filter: unknown operator '$nor'"),
    ({"year": {"$gtx": 1}}, "filter 'year': unknown operator '$gtx'"),
    ({"year": {"gt": 1}}, "filter 'year': unknown operator 'gt'"),
    ({"year": {}}, "filter 'year' has no operators"),
    ({"year": {"$not": {}}}, "filter 'year': '$not' has no operators"),
    ({"$and": []}, "filter '$and' needs a non-empty list of filters, got []"),
    ({"$or": {"a": 1}}, "filter '$or' needs a non-empty list of filters, got {'a': 1}"),
    ({"$and": [{"a": 1}, "b"]}, "filter '$and' needs a non-empty list of filters, got 'b' in it"),
    ({"$not": [{"a": 1}]}, "filter '$not' needs a filter (a mapping), got [{'a': 1}]"),
    ({"": 1}, "filter keys must be non-empty strs, got ''"),
    ({3: 1}, "filter keys must be non-empty strs, got 3"),
    ({"year": {"$gt": True}}, "filter 'year': '$gt' needs a number or a str, got True"),
    ({"year": {"$lte": [1]}}, "filter 'year': '$lte' needs a number or a str, got [1]"),
    ({"year": {"$lt": None}}, "filter 'year': '$lt' needs a number or a str, got None"),
    ({"year": {"$gte": math.nan}}, "filter 'year': '$gte': numbers must be finite, got nan"),
    ({"year": {"$in": 2020}}, "filter 'year': '$in' needs a list, got 2020"),
    ({"year": {"$nin": [None]}},
     "filter 'year': '$nin': expected a str, int, float or bool or a list of those, got NoneType"),
    ({"tags": {"$contains": ["a"]}},
     "filter 'tags': '$contains' needs a str, int, float or bool, got ['a']"),
    ({"tags": {"$exists": 1}}, "filter 'tags': '$exists' needs True or False, got 1"),
    ({"tags": [["a"]]}, "filter 'tags': list items must be a str, int, float or bool, got list"),
    ({"n": 2 ** 63}, "filter 'n': int 9223372036854775808 does not fit in 64 bits"),
    ({"n": {"$ne": {1}}}, "filter 'n': '$ne': expected a str, int, float or bool or a list of those, got set"),
    ({"$or": [{"a": 1}, {"b": {"$in": [float("inf")]}}]}, "filter 'b': '$in': numbers must be finite, got inf"),
])
def test_bad_filters_are_named(where, message):
    with pytest.raises(ValueError) as e:
        compile_filter(where)
    assert str(e.value) == message


@pytest.mark.parametrize("metadata, message", [
    ([("a", 1)], "metadata must be a mapping, got list"),
    ({1: "x"}, "metadata keys must be non-empty strs, got 1"),
    ({"": "x"}, "metadata keys must be non-empty strs, got ''"),
    ({"$a": 1}, "metadata key '$a' must not start with '$'"),
    ({"ok": 1, "when": None}, "metadata 'when': expected a str, int, float or bool or a list of those, got NoneType"),
    ({"x": {"a": 1}}, "metadata 'x': expected a str, int, float or bool or a list of those, got dict"),
    ({"x": np.int64(3)}, "metadata 'x': expected a str, int, float or bool or a list of those, got int64"),
    ({"x": math.nan}, "metadata 'x': numbers must be finite, got nan"),
    ({"x": [1.0, -math.inf]}, "metadata 'x': numbers must be finite, got -inf"),
    ({"x": 2 ** 64}, "metadata 'x': int 18446744073709551616 does not fit in 64 bits"),
    ({"x": [[1]]}, "metadata 'x': list items must be a str, int, float or bool, got list"),
    ({"x": "a\ud800"}, "metadata 'x': str 'a\\ud800' is not valid Unicode"),
    ({"\udc00": 1}, "metadata key '\\udc00': str '\\udc00' is not valid Unicode"),
])
def test_bad_metadata_is_named(metadata, message):
    with pytest.raises(ValueError) as e:
        check_metadata(metadata)
    assert str(e.value) == message


@given(metadatas)
def test_metadata_survives_its_stored_form(meta):
    checked = check_metadata(meta)
    assert checked == meta and metadata_from_json(metadata_json(checked)) == checked
    assert check_metadata({"t": ("a", 1)}) == {"t": ["a", 1]}


@pytest.mark.parametrize("text, where", [
    ("lang=en", {"lang": {"$eq": "en"}}),
    (" year >= 2020 ", {"year": {"$gte": 2020}}),
    ("year<2020.5", {"year": {"$lt": 2020.5}}),
    ("draft!=true", {"draft": {"$ne": True}}),
    ('id="2020"', {"id": {"$eq": "2020"}}),
    ('tags=["a", 1]', {"tags": {"$eq": ["a", 1]}}),
    ("title=a = b", {"title": {"$eq": "a = b"}}),
    ("note=null", {"note": {"$eq": "null"}}),       # not a metadata value: the text itself
    ("x>NaN", {"x": {"$gt": "NaN"}}),
    ("path<=", {"path": {"$lte": ""}}),
    ('{"tags": {"$contains": "x"}}', {"tags": {"$contains": "x"}}),
])
def test_command_line_conditions(text, where):
    assert parse_condition(text) == where
    compile_filter(where)


@pytest.mark.parametrize("text, message", [
    ("lang", "filter 'lang' is not KEY=VALUE, KEY!=VALUE, KEY>VALUE, KEY>=VALUE, KEY<VALUE, "
             "KEY<=VALUE or a JSON object"),
    ("=en", "filter '=en' is not KEY=VALUE, KEY!=VALUE, KEY>VALUE, KEY>=VALUE, KEY<VALUE, "
            "KEY<=VALUE or a JSON object"),
    ("{lang: 1}", "filter '{lang: 1}' is not valid JSON: Expecting property name enclosed in "
                  "double quotes: line 1 column 2 (char 1)"),
])
def test_bad_command_line_conditions(text, message):
    with pytest.raises(ValueError) as e:
        parse_condition(text)
    assert str(e.value) == message


def _negative_docs(body):
    """A sound body, but for the document numbers."""
    parts = dict(qf._unbody(body))
    parts["docs"] = -parts["docs"] - 1
    return qf._body(parts)


@pytest.mark.parametrize("damage", [
    f"UPDATE {qf.RUN_COLUMNS_TABLE} SET body = substr(body, 1, 100)",
    f"UPDATE {qf.RUN_COLUMNS_TABLE} SET body = body || x'00'",
    f"UPDATE {qf.RUN_COLUMNS_TABLE} SET body = negative_docs(body)",
    f"UPDATE {qf.RUNS_TABLE} SET docs = x'0102' WHERE run > 0",
    f"DELETE FROM {qf.RUNS_TABLE} WHERE run = 0",
])
def test_saved_columns_serve_only_the_state_they_were_saved_for_and_only_when_sound(damage):
    conn = sqlite3.connect(":memory:", isolation_level=None)
    conn.create_function("negative_docs", 1, _negative_docs)
    conn.executescript(INDEX_SCHEMA)
    where = compile_filter({"s": "x"})
    expected = [d % 2 == 0 for d in range(40)]
    with mock.patch.object(qf, "SAVE_FROM_ENTRIES", 0):
        change(conn, 1, [(d, {"s": "xy"[d % 2]}) for d in range(40)])
        # a writer that saves no columns moves the table to state 2: the runs of state 1 go unused
        write_index(conn, [(1, {"s": "x"})])
        expected[1] = True
        columns = Columns(generation=2)
        assert where.documents(conn, 40, columns).tolist() == expected and columns._saved is None
        change(conn, 3, [(2, {"s": "y"})])  # saved again in full, then a run of one document
        change(conn, 4, [(4, {"s": "y"})])
    expected[2] = expected[4] = False
    columns = Columns(generation=4)
    assert where.documents(conn, 40, columns).tolist() == expected
    assert columns._saved is not None and columns.nbytes() > 0
    conn.execute(damage)
    columns = Columns(generation=4)
    with pytest.warns(RuntimeWarning, match="saved metadata columns are damaged"):
        assert where.documents(conn, 40, columns).tolist() == expected
    assert where.documents(conn, 40, columns).tolist() == expected  # warned once
