"""What a modifier string asked for that the search will not do, said in words.

`_quorvel.parse_modifiers` reads a modifier string leniently: unknown words, malformed numbers and
a `from:` without its `to:` are dropped without a word. `modifier_notes` walks the string the way
the parser does (the same trajectory cut, the same whitespace, the same exact-case keywords) and
returns one note for each part it dropped or that has no effect; `Collection.search` adds the
notes that need the collection (unknown `like:` identifiers, a query without a known word) and
warns with them, or raises `QueryError` when asked to be strict.
"""

from __future__ import annotations

import re
from collections.abc import Iterable, Iterator
from typing import Any

#: The parser's whitespace: Unicode White_Space, matched on exact characters.
WHITE_SPACE = frozenset("\t\n\x0b\x0c\r \x85\xa0\u1680\u2000\u2001\u2002\u2003\u2004\u2005"
                        "\u2006\u2007\u2008\u2009\u200a\u2028\u2029\u202f\u205f\u3000")
#: Where the text of a trajectory's `to:` ends.
_TO_STOPS = ("diverse", "recent:", "unlike:", "like:", "limit:", "local_communities",
             "detect_communities")
_FLAGS = ("recent", "diverse")
_VALUED = ("recent:", "unlike:", "limit:", "like:")
_UNUSED = ("local_communities", "detect_communities")
_SIGNED = re.compile(r"[+-]?[0-9]+")
_UNSIGNED = re.compile(r"\+?[0-9]+")
_KEYWORDS = (*_FLAGS, *(v[:-1] for v in _VALUED), *_UNUSED, "from", "to")


class QueryWarning(UserWarning):
    """A part of a query or its modifiers that the search ignored."""


class QueryError(ValueError):
    """Raised by a strict search instead of ignoring parts of the query; `notes` lists them."""

    def __init__(self, notes: Iterable[str]):
        self.notes = list(notes)
        super().__init__("; ".join(self.notes))


def _tokens(text: str) -> Iterator[str]:
    word: list[str] = []
    for ch in text:
        if ch in WHITE_SPACE:
            if word:
                yield "".join(word)
                word = []
        else:
            word.append(ch)
    if word:
        yield "".join(word)


def _trim(text: str) -> str:
    start, end = 0, len(text)
    while start < end and text[start] in WHITE_SPACE:
        start += 1
    while end > start and text[end - 1] in WHITE_SPACE:
        end -= 1
    return text[start:end]


def _defaults() -> dict[str, Any]:
    return {"recent": False, "recent_days": None, "unlike": None, "diverse": False, "limit": None,
            "like": None, "trajectory_from": None, "trajectory_to": None,
            "local_communities": False}


def _cut_trajectory(text: str, result: dict[str, Any]) -> tuple[str, list[str]]:
    """The text left for the keyword words once a complete `from: A to: B` clause is read into
    `result` and cut out, and a note when a `from:` starts a clause that is not complete (its
    words are then read as ordinary words, as the parser does)."""
    start = text.find("from:")
    if start < 0:
        return text, []
    to = text.find(" to:", start + 5)
    if to < 0:
        return text, ["'from:' without ' to:' after it is ignored (write 'from: TEXT to: TEXT')"]
    stops = [p for p in (text.find(s, to + 4) for s in _TO_STOPS) if p >= 0]
    stop = min(stops, default=len(text))
    source, target = _trim(text[start + 5:to]), _trim(text[to + 4:stop])
    if source and target:
        result["trajectory_from"], result["trajectory_to"] = source, target
        return text[:start] + text[stop:], []
    return text, ["'from: ... to: ...' needs text on both sides; it is ignored"]


def read_modifiers(modifiers: str | None) -> tuple[dict[str, Any], list[str]]:
    """What `parse_modifiers(modifiers)` returns, read the same way in Python, and one note per
    part of `modifiers` that it drops or that has no effect on a search, in the order they
    appear (no notes: every word was understood)."""
    result = _defaults()
    if not modifiers:
        return result, []
    working, notes = _cut_trajectory(modifiers, result)
    clause_failed = bool(notes)
    for word in _tokens(working):
        note = _apply(word, result)
        if note and not (clause_failed and word.partition(":")[0] in ("from", "to")):
            notes.append(note)  # a word of an incomplete clause: already said
    return result, notes


def modifier_notes(modifiers: str | None) -> list[str]:
    """The notes of `read_modifiers`: what a search ignores of `modifiers`."""
    return read_modifiers(modifiers)[1]


def _apply(word: str, result: dict[str, Any]) -> str | None:
    """Sets what `word` sets in `result`, as the parser does; returns a note when the word is
    dropped, partly dropped or has no effect."""
    if word in _FLAGS:
        result[word] = True
        return None
    if word in _UNUSED:
        result["local_communities"] = True
        return f"'{word}' is not used by the search"
    if word.startswith("recent:"):
        result["recent"] = True
        value = word[7:]
        days = int(value) if _SIGNED.fullmatch(value) else None
        if days is not None and -2**63 <= days < 2**63:
            result["recent_days"] = days
            if days > 0:
                return None
        return f"'{word}': the half-life must be a positive whole number of days; 30 is used"
    if word.startswith("unlike:"):
        result["unlike"] = word[7:]
        return None if word[7:] else "'unlike:' with nothing after it is ignored"
    if word.startswith("limit:"):
        value = word[6:]
        if _UNSIGNED.fullmatch(value) and int(value) < 2**64:
            result["limit"] = int(value)
            return None
        return f"'{word}' is ignored: limit needs a whole number right after the colon (limit:5)"
    if word.startswith("like:"):
        items = word[5:].split(",")
        result["like"] = items
        if not any(items):
            return "'like:' with nothing after it is ignored"
        if not all(items):
            return f"'{word}': empty identifiers in the list are ignored"
        return None
    return _unknown_word_note(word)


def _unknown_word_note(word: str) -> str:
    name, colon, value = word.partition(":")
    lowered = name.lower()
    if lowered in _KEYWORDS and lowered != name:
        return (f"unknown word '{word}' is ignored (modifiers are lower case: "
                f"'{lowered}{colon}{value}')")
    if name in _FLAGS and colon:
        return f"unknown word '{word}' is ignored ('{name}' takes no value)"
    if name in ("from", "to"):
        return f"'{word}' is ignored: it is not part of a 'from: TEXT to: TEXT' clause"
    return f"unknown word '{word}' is ignored"
