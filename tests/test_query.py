"""Honest feedback about a query: what the modifier parser drops, and what a search ignores, is
said with a QueryWarning, or raised as a QueryError by a strict search."""

import warnings

import pytest

from quorvel import Collection, Document
from quorvel.query import QueryError, QueryWarning, modifier_notes
from conftest import lsa_collection


@pytest.mark.parametrize("modifiers, notes", [
    (None, []),
    ("recent:30 diverse limit:5 like:a,b unlike:x", []),
    ("from: slow cooking to: baking bread limit:3", []),
    ("LIMIT:1", ["unknown word 'LIMIT:1' is ignored (modifiers are lower case: 'limit:1')"]),
    ("Diverse", ["unknown word 'Diverse' is ignored (modifiers are lower case: 'diverse')"]),
    ("limit: 5", ["'limit:' is ignored: limit needs a whole number right after the colon (limit:5)",
                  "unknown word '5' is ignored"]),
    ("limit:-1", ["'limit:-1' is ignored: limit needs a whole number right after the colon (limit:5)"]),
    ("diverse:1", ["unknown word 'diverse:1' is ignored ('diverse' takes no value)"]),
    ("like:", ["'like:' with nothing after it is ignored"]),
    ("like:a,,b", ["'like:a,,b': empty identifiers in the list are ignored"]),
    ("unlike:", ["'unlike:' with nothing after it is ignored"]),
    ("recent:soon", ["'recent:soon': the half-life must be a positive whole number of days; 30 is used"]),
    ("recent:0", ["'recent:0': the half-life must be a positive whole number of days; 30 is used"]),
    ("from: x", ["'from:' without ' to:' after it is ignored (write 'from: TEXT to: TEXT')",
                 "unknown word 'x' is ignored"]),
    ("from: to: y", ["'from: ... to: ...' needs text on both sides; it is ignored",
                     "unknown word 'y' is ignored"]),
    ("to: y", ["'to:' is ignored: it is not part of a 'from: TEXT to: TEXT' clause",
               "unknown word 'y' is ignored"]),
    ("detect_communities", ["'detect_communities' is not used by the search"]),
    ("diverse\u3000limt:3", ["unknown word 'limt:3' is ignored"]),     # an ideographic space
])
def test_modifier_notes(modifiers, notes):
    assert modifier_notes(modifiers) == notes


DOCS = [Document("soup.md", "Lentil soup with onions and garlic.", 1_700_000_000),
        Document("bread.md", "Sourdough bread with flour, water and salt.", 1_700_000_000),
        Document("stars.md", "Telescopes show stars and planets at night.", 1_700_000_000)]


@pytest.fixture(scope="module")
def collection(tmp_path_factory):
    with lsa_collection(tmp_path_factory.mktemp("q") / "col", DOCS) as c:
        yield c


def search(collection, *args, **kwargs):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        hits = collection.search(*args, **kwargs)
    return hits, [str(w.message) for w in caught if w.category is QueryWarning]


@pytest.mark.parametrize("text, modifiers, overrides, notes, found", [
    ("onion soup", "limit:1", {}, [], ["soup.md"]),
    ("onion soup", "LIMIT:1", {},
     ["unknown word 'LIMIT:1' is ignored (modifiers are lower case: 'limit:1')"], None),
    ("onion soup", "like:nope.md limit:1", {},
     ["like: 'nope.md' is not in the collection; ignored"], ["soup.md"]),
    ("onion soup", "like:nope.md,bread.md", {},
     ["like: 'nope.md' is not in the collection; ignored"], None),
    ("onion soup", None, {"like_ids": ["gone", "also-gone"], "limit": 1},
     ["like: 'gone', 'also-gone' are not in the collection; ignored"], ["soup.md"]),
    ("onion soup", "recent:-3 limit:1", {},
     ["'recent:-3': the half-life must be a positive whole number of days; 30 is used"], ["soup.md"]),
    ("zyzzyva qwxj", None, {}, ["no word of the query 'zyzzyva qwxj' is known to the collection"], []),
    ("zyzzyva", "like:bread.md limit:1", {},
     ["no word of the query 'zyzzyva' is known to the collection"], ["bread.md"]),
    ("onion soup", "unlike:zyzzyva limit:1", {},
     ["no word of 'unlike:zyzzyva' is known to the collection; it is ignored"], ["soup.md"]),
    ("onion soup", "from: zyzzyva to: stars limit:1", {},
     ["no word of the 'from:' or the 'to:' text is known to the collection; the trajectory is ignored"],
     ["soup.md"]),
])
def test_search_says_what_it_ignored(collection, text, modifiers, overrides, notes, found):
    hits, said = search(collection, text, modifiers, **overrides)
    assert said == notes
    if found is not None:
        assert [h.id for h in hits] == found
    if notes:
        with pytest.raises(QueryError) as e:
            collection.search(text, modifiers, strict=True, **overrides)
        assert e.value.notes == notes and str(e.value) == "; ".join(notes)
    else:
        assert collection.search(text, modifiers, strict=True, **overrides) == hits


def test_unknown_like_identifiers_are_dropped_and_the_others_kept(collection):
    hits, _ = search(collection, "onion soup", "like:nope.md,bread.md,,")
    assert hits == collection.search("onion soup", "like:bread.md")
    assert hits != collection.search("onion soup")


def test_an_unscaled_score_of_zero_is_not_returned_as_a_hit(collection):
    # Before: a query without a known word came back with every document scored 0.0.
    hits, _ = search(collection, "qqq", None)
    assert hits == []


def test_warnings_point_at_the_caller(collection):
    with pytest.warns(QueryWarning) as caught:
        collection.search("onion", "limit:x")
    assert caught[0].filename == __file__
