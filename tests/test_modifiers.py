"""Tests of parse_modifiers: listed cases, whitespace, integer ranges, argument errors, and a
property test against the pure-Python reference in modifier_reference.py."""

import pytest
from hypothesis import given, settings, strategies as st

import _quorvel
import modifier_reference as ref
from quorvel.query import read_modifiers

KEYS = ["recent", "recent_days", "unlike", "diverse", "limit", "like",
        "trajectory_from", "trajectory_to", "local_communities"]


def expect(**changes):
    d = ref.defaults()
    assert set(changes) <= set(d)
    d.update(changes)
    return d


CASES = [
    (None, {}),
    ("", {}),
    (" \t\n\u3000\u00a0 ", {}),
    ("recent:30 diverse limit:5", dict(recent=True, recent_days=30, diverse=True, limit=5)),
    ("Recent DIVERSE Limit:5", {}),
    ("recent:abc", dict(recent=True)),
    ("recent:7d", dict(recent=True)),
    ("recent:-2", dict(recent=True, recent_days=-2)),
    ("recent:+7", dict(recent=True, recent_days=7)),
    ("recent:007", dict(recent=True, recent_days=7)),
    ("recent:7 recent", dict(recent=True, recent_days=7)),
    ("recent:30 recent:x", dict(recent=True, recent_days=30)),
    ("recent: recent:- recent:+-1", dict(recent=True)),
    ("limit:5 limit:9", dict(limit=9)),
    ("limit:5 limit:x", dict(limit=5)),
    ("limit:-1", {}),
    ("limit:-0 limit:+ limit:++1 limit:1.5 limit:1_0 limit: limit:٣", {}),
    ("limit:0", dict(limit=0)),
    ("limit:+3", dict(limit=3)),
    ("like:a,b", dict(like=["a", "b"])),
    ("like:a,,b,", dict(like=["a", "", "b", ""])),
    ("like:", dict(like=[""])),
    ("like:a, b", dict(like=["a", ""])),
    ("like:x like:y", dict(like=["y"])),
    ("like:é,中", dict(like=["é", "中"])),
    ("unlike:", dict(unlike="")),
    ("unlike: spam", dict(unlike="")),
    ("unlike:a,b", dict(unlike="a,b")),
    ("detect_communities", dict(local_communities=True)),
    ("local_communities", dict(local_communities=True)),
    ("from: machine learning to: deep learning recent:30 diverse",
     dict(trajectory_from="machine learning", trajectory_to="deep learning",
          recent=True, recent_days=30, diverse=True)),
    ("from:a to:b", dict(trajectory_from="a", trajectory_to="b")),
    ("from: a to: b recent", dict(trajectory_from="a", trajectory_to="b recent")),
    ("from: a to: diverse topics", dict(diverse=True)),
    ("from:\u3000 to: b diverse", dict(diverse=True)),
    ("from: like:x to: y", dict(trajectory_from="like:x", trajectory_to="y")),
    ("from: a to: b from: c to: d", dict(trajectory_from="a", trajectory_to="b from: c to: d")),
    ("from: a", {}),
    ("from: a\tto: b", {}),
    ("xfrom: a to: b diverse", dict(trajectory_from="a", trajectory_to="b")),
    ("from: a to: b xlike:q", dict(trajectory_from="a", trajectory_to="b x", like=["q"])),
    ("limit:2 from:\u3000x\u00a0 to:\u2003y z\u205f\u3000unlike:w",
     dict(limit=2, trajectory_from="x", trajectory_to="y z", unlike="w")),
    ("from: é to: ü local_communities",
     dict(trajectory_from="é", trajectory_to="ü", local_communities=True)),
    ("recent\u00a0diverse", dict(recent=True, diverse=True)),
]


@pytest.mark.parametrize("text,changes", CASES)
def test_listed_cases(text, changes):
    assert _quorvel.parse_modifiers(text) == expect(**changes)
    assert ref.parse(text) == expect(**changes)  # keeps the reference honest too


def test_omitted_and_keyword_argument():
    assert _quorvel.parse_modifiers() == ref.defaults()
    assert _quorvel.parse_modifiers(modifier_str="diverse") == expect(diverse=True)


@pytest.mark.parametrize("text", [None, "", "local_communities like:a limit:1 diverse unlike:x recent:1",
                                  "from: a to: b", "limit:3 recent"])
def test_key_order_types_and_fresh_dicts(text):
    a = _quorvel.parse_modifiers(text)
    b = _quorvel.parse_modifiers(text)
    assert list(a) == KEYS and a is not b
    for key in ("recent", "diverse", "local_communities"):
        assert a[key] is True or a[key] is False
    for key in ("recent_days", "limit"):
        assert a[key] is None or type(a[key]) is int


@pytest.mark.parametrize("ws", sorted(ref.WHITE_SPACE), ids=lambda c: f"U+{ord(c):04X}")
def test_every_whitespace_character_separates_and_trims(ws):
    assert _quorvel.parse_modifiers(f"{ws}recent{ws}{ws}diverse{ws}limit:5{ws}") == \
        expect(recent=True, diverse=True, limit=5)
    assert _quorvel.parse_modifiers(f"from:{ws}a{ws}b{ws} to:{ws}c{ws}diverse") == \
        expect(trajectory_from=f"a{ws}b", trajectory_to="c", diverse=True)


@pytest.mark.parametrize("ch", ["\u200b", "\x1c", "\x1f", "\u180e", "\ufeff", "\u2060", "\u0145"])
def test_non_whitespace_lookalikes_do_not_separate(ch):
    assert _quorvel.parse_modifiers(f"recent{ch}diverse limit:5{ch}") == ref.defaults()


@pytest.mark.parametrize("digits,days", [
    ("9223372036854775807", 2**63 - 1), ("+9223372036854775807", 2**63 - 1),
    ("-9223372036854775808", -(2**63)), ("9223372036854775808", None),
    ("-9223372036854775809", None), ("18446744073709551615", None),
    ("-0", 0), ("0000000000000000000000042", 42), ("99999999999999999999999999", None),
])
def test_recent_days_range(digits, days):
    assert _quorvel.parse_modifiers("recent:" + digits) == expect(recent=True, recent_days=days)


@pytest.mark.parametrize("digits,limit", [
    ("18446744073709551615", 2**64 - 1), ("+18446744073709551615", 2**64 - 1),
    ("18446744073709551616", None), ("9223372036854775808", 2**63),
    ("-9223372036854775808", None), ("000000000000000000000018446744073709551615", 2**64 - 1),
    ("184467440737095516150", None),
])
def test_limit_range(digits, limit):
    assert _quorvel.parse_modifiers("limit:" + digits) == expect(limit=limit)


def test_argument_errors_and_str_subclass():
    with pytest.raises(TypeError) as info:
        _quorvel.parse_modifiers(5)
    assert str(info.value) == "argument 'modifier_str': 'int' object cannot be converted to 'PyString'"
    with pytest.raises(TypeError, match=r"^argument 'modifier_str': 'bytes' object cannot"):
        _quorvel.parse_modifiers(b"recent")
    with pytest.raises(UnicodeEncodeError):
        _quorvel.parse_modifiers("recent \ud800")

    class Text(str):
        pass

    assert _quorvel.parse_modifiers(Text("diverse like:a")) == expect(diverse=True, like=["a"])


_FRAGMENTS = ["from:", " to:", "to:", "recent", "recent:", "like:", "unlike:", "limit:", "diverse",
              "local_communities", "detect_communities", "Recent", "x", "ab", ",", "+", "-", ".",
              "é", "中", "ß", "\U0001f600", "\u0145", "\u2085", "\u200b", "\x1c", "\x00"]
_NUMBERS = ["0", "7", "007", "9223372036854775807", "9223372036854775808", "18446744073709551615",
            "18446744073709551616", "-9223372036854775809"]
_texts = st.lists(
    st.one_of(st.sampled_from(_FRAGMENTS), st.sampled_from(sorted(ref.WHITE_SPACE)),
              st.sampled_from(_NUMBERS),
              st.lists(st.sampled_from("0123456789+-"), max_size=4).map("".join)),
    max_size=16,
).map("".join)


@settings(derandomize=True, database=None, max_examples=1500, deadline=None)
@given(_texts)
def test_matches_reference(text):
    got = _quorvel.parse_modifiers(text)
    assert list(got) == KEYS
    assert got == ref.parse(text)


@settings(derandomize=True, database=None, max_examples=1500, deadline=None)
@given(_texts)
def test_the_package_reads_modifiers_as_the_parser_does(text):
    # The notes on ignored words rest on this Python reading; it must agree with the parser.
    assert read_modifiers(text)[0] == _quorvel.parse_modifiers(text)
