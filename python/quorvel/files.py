"""The metadata of a text file: what the file system says of it, and the YAML front matter of a
Markdown file (a block between '---' lines at its very start)."""

from __future__ import annotations

import datetime as _dt
import os
import re
from pathlib import Path
from typing import Any

import yaml

from .filters import Metadata, Value, check_metadata

MARKDOWN_SUFFIXES = (".md", ".markdown")
# The front matter block: '---' on the first line, up to a line of '---' or '...'.
_FRONT_MATTER = re.compile(r"\A---[ \t]*\r?\n(.*?)^(?:---|\.\.\.)[ \t]*$", re.DOTALL | re.MULTILINE)


def builtin_metadata(path: Path, stat: os.stat_result) -> Metadata:
    """path (as given, with '/'), extension (lower case, with its dot), modified (epoch
    seconds) and size (bytes)."""
    return {"path": path.as_posix(), "extension": path.suffix.lower(),
            "modified": stat.st_mtime, "size": stat.st_size}


def _plain(value: Any) -> Any:
    """YAML's dates and times as ISO 8601 strs (ordered as they sort), lists item by item."""
    if isinstance(value, (_dt.date, _dt.datetime)):
        return value.isoformat()
    if isinstance(value, list):
        return [_plain(v) for v in value]
    return value


def front_matter(text: str) -> tuple[Metadata, list[str]]:
    """The front matter of a Markdown text as metadata, and warnings about what was left out:
    the whole block when it is not YAML or not a mapping, single entries whose values are not
    metadata values (a null value is left out silently)."""
    match = _FRONT_MATTER.match(text.removeprefix("\ufeff"))  # a byte order mark may lead
    if match is None:
        return {}, []
    try:
        data = yaml.safe_load(match.group(1))
    except yaml.YAMLError as e:
        where = getattr(e, "problem_mark", None)
        line = f" (line {where.line + 2})" if where is not None else ""
        problem = getattr(e, "problem", None) or type(e).__name__
        return {}, [f"front matter is not valid YAML{line}: {problem}; indexed without it"]
    if data is None:
        return {}, []
    if not isinstance(data, dict):
        return {}, [f"front matter is a {type(data).__name__}, not a mapping; indexed without it"]
    out: Metadata = {}
    warnings = []
    for key, value in data.items():
        if value is None:
            continue
        try:
            out.update(check_metadata({str(key) if isinstance(key, (int, float, bool)) else key:
                                       _plain(value)}))
        except ValueError as e:
            warnings.append(f"front matter entry left out: {e}")
    return out, warnings


def file_metadata(path: Path, text: str, stat: os.stat_result) -> tuple[Metadata, list[str]]:
    """A file's metadata: its front matter (Markdown files) and the built-in keys, which win
    over front matter keys of the same name; and warnings about front matter left out."""
    found: dict[str, Value] = {}
    warnings: list[str] = []
    if path.suffix.lower() in MARKDOWN_SUFFIXES:
        found, warnings = front_matter(text)
    return {**found, **builtin_metadata(path, stat)}, warnings
