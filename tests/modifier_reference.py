"""Pure-Python reference for the modifier language, used by the tests to check parse_modifiers.

Works on str rather than UTF-8 bytes: every pattern is ASCII, so character and byte positions
pick out the same cuts. Whitespace is the explicit White_Space set below, not str.isspace()
(which also accepts U+001C..U+001F).
"""

import re

WHITE_SPACE = frozenset(
    "\t\n\x0b\x0c\r \x85\xa0\u1680"
    + "".join(chr(c) for c in range(0x2000, 0x200B))
    + "\u2028\u2029\u202f\u205f\u3000"
)

STOP_STRINGS = ("diverse", "recent:", "unlike:", "like:", "limit:",
                "local_communities", "detect_communities")

_SIGNED = re.compile(r"[+-]?[0-9]+")
_UNSIGNED = re.compile(r"\+?[0-9]+")


def defaults():
    return {
        "recent": False,
        "recent_days": None,
        "unlike": None,
        "diverse": False,
        "limit": None,
        "like": None,
        "trajectory_from": None,
        "trajectory_to": None,
        "local_communities": False,
    }


def _trim(s):
    start, end = 0, len(s)
    while start < end and s[start] in WHITE_SPACE:
        start += 1
    while end > start and s[end - 1] in WHITE_SPACE:
        end -= 1
    return s[start:end]


def _tokens(s):
    out, cur = [], []
    for ch in s:
        if ch in WHITE_SPACE:
            if cur:
                out.append("".join(cur))
                cur = []
        else:
            cur.append(ch)
    if cur:
        out.append("".join(cur))
    return out


def _signed(s):
    if _SIGNED.fullmatch(s) is None:
        return None
    v = int(s, 10)
    return v if -(2**63) <= v <= 2**63 - 1 else None


def _unsigned(s):
    if _UNSIGNED.fullmatch(s) is None:
        return None
    v = int(s, 10)
    return v if v <= 2**64 - 1 else None


def parse(text):
    result = defaults()
    if not text:
        return result
    working = text
    f = text.find("from:")
    if f >= 0:
        t = text.find(" to:", f + 5)
        if t >= 0:
            from_value = _trim(text[f + 5:t])
            to_part_start = t + 4
            hits = [text.find(s, to_part_start) for s in STOP_STRINGS]
            hits = [h for h in hits if h >= 0]
            stop = min(hits) if hits else len(text)
            to_value = _trim(text[to_part_start:stop])
            if from_value and to_value:
                result["trajectory_from"] = from_value
                result["trajectory_to"] = to_value
                working = text[:f] + text[stop:]
    for tok in _tokens(working):
        if tok == "recent":
            result["recent"] = True
        elif tok == "diverse":
            result["diverse"] = True
        elif tok.startswith("recent:"):
            result["recent"] = True
            v = _signed(tok[7:])
            if v is not None:
                result["recent_days"] = v
        elif tok.startswith("unlike:"):
            result["unlike"] = tok[7:]
        elif tok.startswith("limit:"):
            v = _unsigned(tok[6:])
            if v is not None:
                result["limit"] = v
        elif tok.startswith("like:"):
            result["like"] = tok[5:].split(",")
        elif tok in ("local_communities", "detect_communities"):
            result["local_communities"] = True
    return result
