"""The `quorvel` command: index folders of text files, search them, run the demo.

    quorvel index notes/ docs/README.md          # into ./.quorvel
    quorvel index notes/ --refit                 # and fit the default embedder again
    quorvel search "backup strategy" -m "recent:30 diverse limit:5"
    quorvel search "backup strategy" --json
    quorvel search "backup strategy" --where lang=en --where 'year>=2020'
    quorvel demo
"""

from __future__ import annotations

import argparse
import dataclasses
import json
import os
import shutil
import sys
import time
from collections.abc import Callable, Iterator, Sequence
from datetime import datetime
from pathlib import Path
from typing import Any

from .collection import DB_NAME, Collection, Document, Result
from .embedders import Embedder, LsaEmbedder, SentenceTransformerEmbedder
from .files import file_metadata
from .filters import parse_condition

DEFAULT_COLLECTION = ".quorvel"
TEXT_SUFFIXES = (".txt", ".md", ".markdown")


class ProgressBar:
    """A one-line bar on stderr, redrawn at most ten times a second; silent unless enabled."""

    def __init__(self, enabled: bool, width: int = 30):
        self.enabled, self.width, self._last, self._shown, self._stage = enabled, width, 0.0, False, ""

    def __call__(self, stage: str, done: int, total: int) -> None:
        if not self.enabled:
            return
        now = time.monotonic()
        if stage == self._stage and done < total and now - self._last < 0.1:
            return
        self._last, self._stage = now, stage
        filled = self.width * done // max(total, 1)
        bar = "#" * filled + "-" * (self.width - filled)
        sys.stderr.write(f"\r{stage:<10} [{bar}] {done}/{total}")
        sys.stderr.flush()
        self._shown = True

    def close(self) -> None:
        if self._shown:
            sys.stderr.write("\r" + " " * (self.width + 40) + "\r")
            sys.stderr.flush()
            self._shown = False


def text_files(paths: Sequence[str]) -> Iterator[Path]:
    """Files named on the command line, and .txt/.md files found under named folders (hidden
    folders skipped), each once, in a stable order."""
    seen: set[Path] = set()
    for arg in paths:
        path = Path(arg)
        if path.is_file():
            found = [path]
        elif path.is_dir():
            found = []
            for root, dirs, files in os.walk(path):
                dirs[:] = sorted(d for d in dirs if not d.startswith("."))
                found += [Path(root, f) for f in sorted(files) if f.lower().endswith(TEXT_SUFFIXES)]
        else:
            raise FileNotFoundError(f"no such file or folder: {arg}")
        for f in found:
            key = f.resolve()
            if key not in seen:
                seen.add(key)
                yield f


def read_documents(files: Sequence[Path], progress: ProgressBar,
                   warn: Callable[[str], None] = lambda message: None) -> list[Document]:
    """One document per non-empty file: identifier the path as given, timestamp its mtime,
    metadata its path, extension, modification time, size and Markdown front matter (what is
    left out of the front matter is passed to `warn`)."""
    docs = []
    for i, f in enumerate(files, 1):
        text = f.read_text(encoding="utf-8", errors="replace")
        if text.strip():
            stat = f.stat()
            metadata, warnings = file_metadata(f, text, stat)
            for warning in warnings:
                warn(f"{f.as_posix()}: {warning}")
            docs.append(Document(f.as_posix(), text, stat.st_mtime, metadata))
        progress("reading", i, len(files))
    return docs


def _make_embedder(args: argparse.Namespace) -> Embedder:
    if args.embedder == "sentence-transformers":
        return SentenceTransformerEmbedder(args.model)
    return LsaEmbedder(args.dims)


def cmd_index(args: argparse.Namespace) -> int:
    bar = ProgressBar(enabled=not args.quiet and sys.stderr.isatty())
    files = list(text_files(args.paths))
    started = time.perf_counter()
    warnings: list[str] = []
    try:
        docs = read_documents(files, bar, warnings.append)
        folder = Path(args.collection)
        if (folder / DB_NAME).exists():
            if args.embedder is not None:
                raise ValueError(f"{folder} already exists with its embedder; --embedder applies "
                                 "only to a new collection")
            collection = Collection.open(folder)
            changes = collection.add(docs, progress=bar)
            if args.refit:
                collection.refit(progress=bar)
        else:
            if args.embedder is None:
                args.embedder = "lsa"
            collection = Collection.create(folder, embedder=_make_embedder(args))
            changes = collection.add(docs, progress=bar)
    finally:
        bar.close()
        for warning in warnings:
            print(f"quorvel: warning: {warning}", file=sys.stderr)
    with collection:
        dim = collection.matrix.shape[1]
        print(f"indexed {len(files)} files into {folder} in {time.perf_counter() - started:.1f} s: "
              f"{changes.added} added, {changes.updated} updated; {len(collection)} documents, "
              f"{collection.embedder.kind} x {dim}")
    return 0


def _date(ts: float | None) -> str:
    return datetime.fromtimestamp(ts).strftime("%Y-%m-%d") if ts else ""


def format_table(hits: Sequence[Result], width: int) -> str:
    """Rank, score, identifier, date and as much of the snippet as fits in `width` columns."""
    if not hits:
        return "no results"
    id_width = min(max(len("id"), *(len(h.id) for h in hits)), max(20, width // 3))
    head = f"{'#':>3}  {'score':>7}  {'id':<{id_width}}  {'date':<10}  text"
    lines = [head]
    for rank, h in enumerate(hits, 1):
        doc_id = h.id if len(h.id) <= id_width else "…" + h.id[-(id_width - 1):]
        line = f"{rank:>3}  {h.score:>7.4f}  {doc_id:<{id_width}}  {_date(h.timestamp):<10}  {h.snippet}"
        lines.append(line if len(line) <= width else line[: width - 1] + "…")
    return "\n".join(lines)


def _where(conditions: Sequence[str]) -> dict[str, Any] | None:
    """The filter of the --where conditions, all of which must hold."""
    filters = [parse_condition(c) for c in conditions]
    return None if not filters else filters[0] if len(filters) == 1 else {"$and": filters}


def cmd_search(args: argparse.Namespace) -> int:
    overrides = {} if args.limit is None else {"limit": args.limit}
    where = _where(args.where)
    if not (Path(args.collection) / DB_NAME).exists():
        raise FileNotFoundError(f"no collection in {args.collection}; run 'quorvel index PATH' first")
    with Collection.open(args.collection) as collection:
        hits = collection.search(args.text, args.modifiers, where=where, **overrides)
    if args.json:
        print(json.dumps([dataclasses.asdict(h) for h in hits], ensure_ascii=False, indent=2))
    else:
        print(format_table(hits, shutil.get_terminal_size((100, 24)).columns))
    return 0


def cmd_demo(args: argparse.Namespace) -> int:
    from .demo import main as demo_main

    demo_main()
    return 0


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="quorvel", description="Semantic search over text files.")
    sub = parser.add_subparsers(dest="command", required=True)
    where = dict(default=DEFAULT_COLLECTION, metavar="DIR",
                 help=f"collection folder (default: {DEFAULT_COLLECTION})")

    p = sub.add_parser("index", help="add or update .txt/.md files (folders are searched recursively)")
    p.add_argument("paths", nargs="+", metavar="PATH")
    p.add_argument("--collection", "-c", **where)
    p.add_argument("--embedder", choices=["lsa", "sentence-transformers"], default=None,
                   help="for a new collection: lsa (default, offline) or sentence-transformers")
    p.add_argument("--model", default="all-MiniLM-L6-v2",
                   help="sentence-transformers model name or path")
    p.add_argument("--dims", type=int, default=256, help="lsa: most dimensions (default 256)")
    p.add_argument("--refit", action="store_true",
                   help="fit the default embedder again on every text (it is refitted by itself "
                        "once a tenth of the texts changed since its last fit)")
    p.add_argument("--quiet", "-q", action="store_true", help="no progress bar")
    p.set_defaults(run=cmd_index)

    p = sub.add_parser("search", help="search a collection")
    p.add_argument("text")
    p.add_argument("--modifiers", "-m", default=None, metavar="MODS",
                   help="modifier string, e.g. 'recent:30 diverse limit:5 like:ID unlike:word'")
    p.add_argument("--collection", "-c", **where)
    p.add_argument("--limit", "-n", type=int, default=None, help="most results (wins over limit:)")
    p.add_argument("--where", "-w", action="append", default=[], metavar="COND",
                   help="only documents whose metadata meets COND: KEY=VALUE, KEY!=VALUE, KEY>VALUE, "
                        "KEY>=VALUE, KEY<VALUE, KEY<=VALUE (VALUE read as JSON when it is a number, "
                        "true, false, a quoted str or a list, else as text) or a JSON filter; "
                        "repeated, all must hold")
    p.add_argument("--json", action="store_true", help="print the results as JSON")
    p.set_defaults(run=cmd_search)

    p = sub.add_parser("demo", help="search the standard library's docstrings")
    p.set_defaults(run=cmd_demo)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        return args.run(args)
    except (FileNotFoundError, FileExistsError, ValueError, ImportError) as e:
        print(f"quorvel: {e}", file=sys.stderr)
        return 1
    except BrokenPipeError:  # output piped into head and friends
        return 0


if __name__ == "__main__":
    sys.exit(main())
