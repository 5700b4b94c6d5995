"""Passages: a file's text cut into pieces of a few hundred words, each embedded and scored alone.

How a text is cut (deterministic: the same text always gives the same passages):

1. Lines end at "\\r\\n", "\\r" or "\\n"; line numbers are 1-based and count those ends, as an editor
   does. Passage texts use "\\n" whatever the file used.
2. Blank lines (only white space) separate paragraphs. A heading starts a paragraph of its own and
   is kept with the text under it: Markdown "# Title" lines, and underlined titles of reST and
   Markdown (a line followed by a line of one repeated punctuation character, at least as long
   as the title or 3 long, optionally also overlined); nothing inside a fenced code block.
3. Paragraphs are packed in order into passages of up to `TARGET_WORDS` words (a paragraph that
   would overflow the passage starts the next one). A heading closes the passage before it once
   that passage holds `MIN_WORDS` words, so sections stay apart but a stub section (a title and
   a line) joins the next one instead of standing alone; a passage of fewer than `MIN_WORDS`
   words (a lone title) takes the next paragraph up to `MAX_WORDS`.
4. A paragraph longer than `MAX_WORDS` words or `MAX_CHARS` characters is cut at line ends, a
   line that is itself too long at word boundaries, and a word longer than `MAX_CHARS` (minified
   code, encoded data) every `MAX_CHARS` characters. No passage exceeds `MAX_CHARS` characters
   and, unless one line of it is a single over-long word, `MAX_WORDS` words.

Why these sizes: measured on the known-item benchmark (bench/retrieval.py, bench/README.md,
"Retrieval"): passages of about 60 words ranked the right file in the first five for more
queries than 100, 200 or 400 words, mostly through the semantic score (a mean of word vectors is
sharper over one paragraph than over a page). Whole files of many thousand words match every
query a little and none well; a lone title matches by accident, hence the stub rule.
"""

from __future__ import annotations

import re
from dataclasses import dataclass

TARGET_WORDS = 60
MAX_WORDS = 90
MIN_WORDS = 15
MAX_CHARS = 4000

_LINE_END = re.compile(r"\r\n|\r|\n")
_WORD = re.compile(r"\S+")
_ATX_HEADING = re.compile(r" {0,3}#{1,6}(?:[ \t]|$)")
_FENCE = re.compile(r" {0,3}(`{3,}|~{3,})")
_UNDERLINE = re.compile(r"([!-/:-@\[-`{-~])\1{2,}[ \t]*")


@dataclass(frozen=True, slots=True)
class Passage:
    """One passage: its text, its first line (1-based), the offset of its first character in the
    text it was cut from (in characters of the original text, line ends as they were) and the
    title of the section it starts in ("" before the first heading)."""

    text: str
    line: int
    offset: int
    heading: str = ""


@dataclass(slots=True)
class _Piece:
    """A line, or a part of one, with where it starts."""

    text: str
    line: int
    offset: int
    words: int
    heading: str = ""


def _lines(text: str) -> list[tuple[str, int]]:
    """(line text without its end, offset of its first character) for every line."""
    lines: list[tuple[str, int]] = []
    start = 0
    for end in _LINE_END.finditer(text):
        lines.append((text[start:end.start()], start))
        start = end.end()
    if start < len(text):
        lines.append((text[start:], start))
    return lines


def _is_underline(line: str, title: str) -> bool:
    stripped = line.rstrip()
    return bool(_UNDERLINE.fullmatch(line)) and len(stripped) >= min(len(title.rstrip()), 3) \
        and bool(title.strip()) and not _UNDERLINE.fullmatch(title)


def _heading_lines(lines: list[tuple[str, int]]) -> set[int]:
    """Indices of lines that start a heading (the overline, if any, else the title). Lines inside
    a fenced code block (``` or ~~~) are never headings: '# install' there is a shell comment."""
    starts: set[int] = set()
    fence = ""
    for i, (line, _) in enumerate(lines):
        marker = _FENCE.match(line)
        if marker and (not fence or marker.group(1)[0] == fence[0] and len(marker.group(1)) >= len(fence)):
            fence = "" if fence else marker.group(1)
            continue
        if fence:
            continue
        if _ATX_HEADING.match(line):
            starts.add(i)
        elif i + 1 < len(lines) and line.strip() and _is_underline(lines[i + 1][0], line):
            over = i - 1
            if over >= 0 and _UNDERLINE.fullmatch(lines[over][0]) and lines[over][0].strip()[0] == lines[i + 1][0].strip()[0]:
                starts.add(over)
            else:
                starts.add(i)
    return starts


def _cut_line(line: str, number: int, offset: int) -> list[_Piece]:
    """A line as one piece, or cut at word boundaries (and within over-long words) into pieces of
    at most TARGET_WORDS words and MAX_CHARS characters."""
    words = [(m.start(), m.end()) for m in _WORD.finditer(line)]
    if len(words) <= MAX_WORDS and len(line) <= MAX_CHARS:
        return [_Piece(line, number, offset, len(words))]
    pieces: list[_Piece] = []
    start: int | None = None
    count = 0
    last_end = 0
    for w_start, w_end in words:
        while w_end - w_start > MAX_CHARS:  # a word no reader would call one
            if start is not None:
                pieces.append(_Piece(line[start:last_end], number, offset + start, count))
                start, count = None, 0
            pieces.append(_Piece(line[w_start:w_start + MAX_CHARS], number, offset + w_start, 1))
            w_start += MAX_CHARS
        if start is not None and (count >= TARGET_WORDS or w_end - start > MAX_CHARS):
            pieces.append(_Piece(line[start:last_end], number, offset + start, count))
            start, count = None, 0
        if start is None:
            start = w_start
        count += 1
        last_end = w_end
    if start is not None:
        pieces.append(_Piece(line[start:last_end], number, offset + start, count))
    return pieces


def _title(lines: list[tuple[str, int]], start: int) -> str:
    """The title of the heading starting at line `start` (past an overline, without '#'s)."""
    line = lines[start][0]
    if _ATX_HEADING.match(line):
        return line.strip().strip("#").strip()
    if _UNDERLINE.fullmatch(line) and start + 1 < len(lines):
        line = lines[start + 1][0]
    return line.strip()


def _paragraphs(text: str) -> list[tuple[bool, list[_Piece]]]:
    """(starts with a heading, pieces) for every paragraph, in order."""
    lines = _lines(text)
    headings = _heading_lines(lines)
    paragraphs: list[tuple[bool, list[_Piece]]] = []
    current: list[_Piece] = []
    heading = False
    title = ""
    for i, (line, offset) in enumerate(lines):
        if not line.strip():
            if current:
                paragraphs.append((heading, current))
            current, heading = [], False
            continue
        if i in headings and current:
            paragraphs.append((heading, current))
            current = []
        if i in headings:
            heading, title = True, _title(lines, i)
        for piece in _cut_line(line, i + 1, offset):
            piece.heading = title
            current.append(piece)
    if current:
        paragraphs.append((heading, current))
    return paragraphs


class _Packer:
    """Collects pieces into passages."""

    def __init__(self) -> None:
        self.passages: list[Passage] = []
        self.pieces: list[_Piece] = []
        self.words = 0
        self.chars = 0

    def takes(self, words: int, chars: int) -> bool:
        """Whether `words` more words in `chars` more characters join this passage: up to
        TARGET_WORDS, or up to MAX_WORDS while the passage is still a stub (a lone heading)."""
        if self.chars + chars + 1 > MAX_CHARS:
            return False
        limit = TARGET_WORDS if self.words >= MIN_WORDS else MAX_WORDS
        return self.words + words <= limit

    def add(self, piece: _Piece) -> None:
        self.pieces.append(piece)
        self.words += piece.words
        self.chars += len(piece.text) + 1

    def flush(self) -> None:
        if self.pieces:
            first = self.pieces[0]
            self.passages.append(Passage(_join(self.pieces), first.line, first.offset, first.heading))
        self.pieces, self.words, self.chars = [], 0, 0


def _join(pieces: list[_Piece]) -> str:
    """Pieces of one line are joined by a space, lines by a line end, paragraphs by a blank line."""
    out = [pieces[0].text]
    for before, piece in zip(pieces, pieces[1:]):
        gap = piece.line - before.line
        out.append(" " if gap == 0 else "\n" if gap == 1 else "\n\n")
        out.append(piece.text)
    return "".join(out)


def split_passages(text: str) -> list[Passage]:
    """The passages of `text`, in order; none for a text of white space only.

    See the module docstring for how the text is cut.
    """
    packer = _Packer()
    for heading, pieces in _paragraphs(text):
        words = sum(p.words for p in pieces)
        chars = sum(len(p.text) + 1 for p in pieces)
        if heading and packer.words >= MIN_WORDS:
            packer.flush()
        if packer.takes(words, chars):
            for piece in pieces:
                packer.add(piece)
            continue
        if words <= MAX_WORDS and chars <= MAX_CHARS:
            packer.flush()
            for piece in pieces:
                packer.add(piece)
            continue
        for piece in pieces:  # a long paragraph: cut at its lines
            if not packer.takes(piece.words, len(piece.text)):
                packer.flush()
            packer.add(piece)
    packer.flush()
    return packer.passages


def indexed_text(document_id: str, passage: Passage) -> str:
    """What is indexed for a passage: its document's identifier and section title, then its
    text. A file's name and headings say what it is about, in words a question uses
    ('add_custom_command.rst' for "run a command during the build"), and a passage deep in a
    file would otherwise lose them."""
    name = re.sub(r"[\W_]+", " ", document_id).strip()
    return f"{name}\n{passage.heading}\n{passage.text}" if passage.heading else f"{name}\n{passage.text}"
