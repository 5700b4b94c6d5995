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

Besides its passages, a document of more than one passage gets its lead sentence
(`lead_sentence`: the first sentence of its first paragraph of prose, which in most documents
says what it is about) as a passage of its own, indexed with the document's short name
(`indexed_lead`, `indexed_passages`); a collection makes it the document's first row, and the
ranking scores every passage with it as well (`quorvel.lexical.hybrid_rank`).

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


def indexed_passages(document_id: str, text: str) -> list[tuple[str, Passage]]:
    """What a document is indexed as: (indexed text, passage) for each of its passages
    (`split_passages`, `indexed_text`), led by its lead sentence (`lead_sentence`,
    `indexed_lead`) when it has one and more than one passage (a document of one passage is its
    own lead). Empty for a text of white space only."""
    parts = split_passages(text)
    lead = lead_sentence(text) if len(parts) > 1 else None
    first = [] if lead is None else [(indexed_lead(document_id, lead), lead)]
    return first + [(indexed_text(document_id, p), p) for p in parts]


def indexed_lead(document_id: str, lead: Passage) -> str:
    """What is indexed for a document's lead sentence (`lead_sentence`): the last part of its
    identifier without the extension ('target include directories'), then the sentence. The
    folders of the identifier, which many documents share, are left out: the row should say what
    this document is, as sharply as a short text can."""
    stem = document_id.rsplit("/", 1)[-1]
    stem = stem.rsplit(".", 1)[0] if "." in stem.lstrip(".") else stem
    return f"{re.sub(r'[\W_]+', ' ', stem).strip()}\n{lead.text}"


def indexed_text(document_id: str, passage: Passage) -> str:
    """What is indexed for a passage: its document's identifier and section title, then its
    text. A file's name and headings say what it is about, in words a question uses
    ('add_custom_command.rst' for "run a command during the build"), and a passage deep in a
    file would otherwise lose them."""
    name = re.sub(r"[\W_]+", " ", document_id).strip()
    return f"{name}\n{passage.heading}\n{passage.text}" if passage.heading else f"{name}\n{passage.text}"


#: A lead sentence has at least this many words; it is cut after `LEAD_MAX_WORDS`.
LEAD_MIN_WORDS = 4
LEAD_MAX_WORDS = 40
_COMMENT_MARK = re.compile(r"[ \t]*(?:#+|//+|/\*+|\*+|;+|--)(?:[ \t]|$)")
_SENTENCE_END = re.compile(r"[.!?:](?=\s|$)")
_NOTICE = re.compile(r"(?i)\b(?:copyright|licen[cs]ed?|spdx)\b")
_LETTER = re.compile(r"[^\W\d_]")


def lead_sentence(text: str) -> Passage | None:
    """The first sentence of the first paragraph of prose in `text`, which in most documents
    says what the document is about ("Add include directories to a target."); None when there
    is none.

    Paragraphs are runs of non-blank lines outside fenced code blocks, headings and their
    underlines left out. Comment markers at the start of lines ('#', '//', '/*', '*', ';', '--')
    are dropped, so that the manual in a source file's comments counts. A paragraph is not prose
    when it is indented, starts with '..' (a reST directive or comment), is a licence or
    copyright notice, has fewer than `LEAD_MIN_WORDS` words or is less than half letters. The
    sentence ends at the first '.', '!', '?' or ':' before white space, or with the paragraph,
    and is cut after `LEAD_MAX_WORDS` words. Its line and offset are those of the paragraph's
    first line; its heading is the title of the section it is in.
    """
    lines = _lines(text)
    structural = _structural_lines(lines)
    headings = _heading_lines(lines)
    title = ""
    start = None
    for i in range(len(lines) + 1):
        if i < len(lines) and i in headings:
            title = _title(lines, i)
        if i < len(lines) and lines[i][0].strip() and i not in structural:
            start = i if start is None else start
            continue
        if start is not None:
            sentence = _prose(lines[start:i])
            if sentence:
                return Passage(sentence, start + 1, lines[start][1], title)
            start = None
    return None


def _structural_lines(lines: list[tuple[str, int]]) -> set[int]:
    """Indices of lines that are not text: fences and what they enclose, headings (titles,
    under- and overlines)."""
    out: set[int] = set()
    fence = ""
    for i, (line, _) in enumerate(lines):
        marker = _FENCE.match(line)
        if marker and (not fence or marker.group(1)[0] == fence[0] and len(marker.group(1)) >= len(fence)):
            fence = "" if fence else marker.group(1)
            out.add(i)
            continue
        if fence or _ATX_HEADING.match(line) or _UNDERLINE.fullmatch(line):
            out.add(i)
        elif i + 1 < len(lines) and line.strip() and _is_underline(lines[i + 1][0], line):
            out.add(i)
    return out


def _prose(paragraph: list[tuple[str, int]]) -> str:
    """The first sentence of a paragraph of prose, or "" when it is not prose."""
    first = paragraph[0][0]
    if first[:1] in (" ", "\t") and not _COMMENT_MARK.match(first):
        return ""
    stripped = []
    for line, _ in paragraph:
        mark = _COMMENT_MARK.match(line)
        stripped.append(line[mark.end():] if mark else line)
    if stripped[0][:1] in (" ", "\t") and len(stripped[0]) - len(stripped[0].lstrip()) >= 2:
        return ""
    joined = " ".join(part.strip() for part in stripped).strip()
    if joined.startswith("..") or _NOTICE.search(joined):
        return ""
    words = joined.split()
    letters = len(_LETTER.findall(joined))
    if len(words) < LEAD_MIN_WORDS or letters * 2 < len(joined.replace(" ", "")):
        return ""
    end = _SENTENCE_END.search(joined)
    sentence = joined[:end.end()] if end else joined
    return " ".join(sentence.split()[:LEAD_MAX_WORDS])
