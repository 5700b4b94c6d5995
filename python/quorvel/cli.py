"""The `quorvel` command: mirror a folder of text files into a collection and search it.

    quorvel index notes/                          # into ./.quorvel; again to bring it up to date
    quorvel index --refit                         # and fit the default embedder again
    quorvel search "backup strategy" -m "recent:30 diverse limit:5"
    quorvel search "backup strategy" --json
    quorvel search "backup strategy" --where lang=en --where 'year>=2020'
    quorvel list | info | remove ID... | demo

Exit status: 0 when the command did its work (a search that finds nothing included: it prints
"no results", or [] with --json); 1 on an error (no collection, an unreadable folder, a disk
error...); 2 on a usage error (a bad option or value, a query refused by --strict); 130 when
interrupted with Ctrl-C, which leaves the collection as it was.

Nothing read from files or identifiers reaches the terminal raw: control characters (and the
bidirectional-text controls) are printed as escapes such as \\x1b or \\u202e.
"""

from __future__ import annotations

import argparse
import dataclasses
import json
import os
import shutil
import sqlite3
import sys
import time
import unicodedata
import warnings
from collections.abc import Sequence
from datetime import datetime
from pathlib import Path
from typing import Any

from .collection import DB_NAME, Collection, Result
from .embedders import (Embedder, LsaEmbedder, SentenceTransformerEmbedder, WordLlamaEmbedder,
                        default_embedder)
from .filters import compile_filter, parse_condition
from .folder import TEXT_SUFFIXES, sync_folder
from .query import QueryError, QueryWarning

DEFAULT_COLLECTION = ".quorvel"
EXIT_OK, EXIT_ERROR, EXIT_USAGE, EXIT_INTERRUPTED = 0, 1, 2, 130


class UsageError(Exception):
    """A mistake in how the command was called, reported with exit status 2."""


class CommandError(Exception):
    """A request the command cannot carry out, reported with exit status 1."""


# -- terminal-safe text ------------------------------------------------------------------------

_BIDI_CONTROLS = frozenset("\u061c\u200e\u200f\u202a\u202b\u202c\u202d\u202e\u2066\u2067\u2068\u2069")


def _escape_char(ch: str) -> str:
    code = ord(ch)
    if 0xDC80 <= code <= 0xDCFF:  # a byte of a name that is not UTF-8, kept as a surrogate
        return f"\\x{code - 0xDC00:02x}"
    if code <= 0xFF:
        return f"\\x{code:02x}"
    return f"\\u{code:04x}"


def _unsafe(ch: str) -> bool:
    return ch in _BIDI_CONTROLS or unicodedata.category(ch) in ("Cc", "Cs")


def printable(text: str) -> str:
    """`text` with every control character, bidirectional control and lone surrogate written
    as an escape, so that printing it cannot move the cursor, recolour or reorder the terminal;
    a backslash is written as itself."""
    if text.isprintable():
        return text
    return "".join(_escape_char(ch) if _unsafe(ch) else ch for ch in text)


def _json(value: object) -> str:
    # JSON escapes C0 controls itself; C1 controls, bidi controls and surrogates are escaped too.
    out = json.dumps(value, ensure_ascii=False, indent=2)
    return "".join(f"\\u{ord(ch):04x}" if _unsafe(ch) and ord(ch) > 0x7F else ch for ch in out)


def say(message: str) -> None:
    """One line on stderr, prefixed with the command's name."""
    print(f"quorvel: {message}", file=sys.stderr)


# -- progress ---------------------------------------------------------------------------------

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


# -- commands ---------------------------------------------------------------------------------

def _make_embedder(args: argparse.Namespace) -> Embedder:
    if args.embedder == "sentence-transformers":
        return SentenceTransformerEmbedder(args.model)
    if args.embedder == "wordllama":
        return WordLlamaEmbedder()
    if args.embedder == "lsa":
        return LsaEmbedder(args.dims)
    return default_embedder()


def _exists(folder: Path) -> bool:
    return (folder / DB_NAME).exists()


def _open(args: argparse.Namespace) -> Collection:
    folder = Path(args.collection)
    if not _exists(folder):
        raise FileNotFoundError(f"no collection in {folder}; run 'quorvel index FOLDER' first")
    return Collection.open(folder)


def cmd_index(args: argparse.Namespace) -> int:
    folder = Path(args.collection)
    started = time.perf_counter()
    made = None
    if _exists(folder):
        if args.embedder is not None:
            raise UsageError(f"{folder} already exists with its embedder; --embedder applies only "
                             "to a new collection")
    elif args.folder is None:
        raise UsageError("give the folder to index")
    else:
        made = folder if not folder.exists() else None
    bar = ProgressBar(enabled=not args.quiet and sys.stderr.isatty())
    try:
        if made is None and _exists(folder):
            collection = Collection.open(folder)
        else:
            collection = Collection.create(folder, embedder=_make_embedder(args))
        with collection:
            source = args.folder if args.folder is not None else collection.root
            if source is None:
                raise UsageError("give the folder to index")
            report = sync_folder(collection, source, progress=bar)
            made = None  # committed: from here on the collection is the new one
            try:
                if args.refit:
                    collection.refit(progress=bar)
                bar("indexing", 0, 1)
                collection.lexical_index()  # now, so that the first search need not wait for it
            except KeyboardInterrupt:
                bar.close()
                say("interrupted after the collection was updated"
                    + (" (not refitted)" if args.refit else "")
                    + "; its word index is made by the next search")
                return EXIT_INTERRUPTED
            bar.close()
            for skipped in report.skipped:
                say(f"skipped {printable(skipped.path)}: {skipped.reason}")
            for warning in report.warnings:
                say(f"warning: {printable(warning)}")
            c = report.changes
            dim = collection.matrix.shape[1] if len(collection) else 0
            print(f"indexed {printable(str(report.root))} into {printable(str(folder))} in "
                  f"{time.perf_counter() - started:.1f} s: {c.added} added, {c.updated} updated, "
                  f"{c.removed} removed, {report.unchanged} unchanged; {len(collection)} documents, "
                  f"{collection.embedder.kind} x {dim}"
                  + (f"; {len(report.skipped)} skipped" if report.skipped else ""))
    except BaseException:
        bar.close()
        if made is not None:  # a collection this run made holds nothing yet: leave no trace
            shutil.rmtree(made, ignore_errors=True)
        raise
    return EXIT_OK


def _date(ts: float | None) -> str:
    return datetime.fromtimestamp(ts).strftime("%Y-%m-%d") if ts else ""


def format_table(hits: Sequence[Result], width: int) -> str:
    """Rank, score, identifier, date and as much of the snippet as fits in `width` columns."""
    if not hits:
        return "no results"
    ids = [printable(f"{h.id}:{h.line}") for h in hits]
    id_width = min(max(len("id"), *map(len, ids)), max(20, width // 3))
    head = f"{'#':>3}  {'score':>7}  {'id':<{id_width}}  {'date':<10}  text"
    lines = [head]
    for rank, (h, doc_id) in enumerate(zip(hits, ids), 1):
        if len(doc_id) > id_width:
            doc_id = "…" + doc_id[-(id_width - 1):]
        line = (f"{rank:>3}  {h.score:>7.4f}  {doc_id:<{id_width}}  {_date(h.timestamp):<10}  "
                f"{printable(h.snippet)}")
        lines.append(line if len(line) <= width else line[: width - 1] + "…")
    return "\n".join(lines)


def _where(conditions: Sequence[str]) -> dict[str, Any] | None:
    """The filter of the --where conditions, all of which must hold."""
    try:
        filters = [parse_condition(c) for c in conditions]
        where = None if not filters else filters[0] if len(filters) == 1 else {"$and": filters}
        compile_filter(where)  # checked here, so that a bad filter is a usage error
    except ValueError as e:
        raise UsageError(f"--where: {e}") from None
    return where


def cmd_search(args: argparse.Namespace) -> int:
    overrides = {} if args.limit is None else {"limit": args.limit}
    where = _where(args.where)
    with _open(args) as collection, warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", QueryWarning)
        try:
            hits = collection.search(args.text, args.modifiers, where=where,
                                     strict=args.strict, passages=args.passages, **overrides)
        except QueryError as e:
            for note in e.notes:
                say(printable(note))
            raise UsageError("the query was refused (--strict)") from None
    for w in caught:
        if issubclass(w.category, QueryWarning):
            say(f"note: {printable(str(w.message))}")
    if args.json:
        print(_json([dataclasses.asdict(h) for h in hits]))
    else:
        print(format_table(hits, shutil.get_terminal_size((100, 24)).columns))
    return EXIT_OK


def cmd_list(args: argparse.Namespace) -> int:
    with _open(args) as collection:
        ids = sorted(collection.document_sizes())
    if args.json:
        print(_json(ids))
    else:
        for doc_id in ids:
            print(printable(doc_id))
    return EXIT_OK


def cmd_info(args: argparse.Namespace) -> int:
    with _open(args) as collection:
        folder = collection.path
        size = sum(f.stat().st_size for f in folder.rglob("*") if f.is_file())
        dim = collection.matrix.shape[1] if len(collection) else 0
        info = {
            "collection": str(folder.resolve()),
            "mirrors": collection.root,
            "documents": len(collection),
            "passages": sum(1 for label in collection.ids if label),
            "embedder": f"{collection.embedder.kind} x {dim}",
            "bytes on disk": size,
        }
    if args.json:
        print(_json(info))
    else:
        for key, value in info.items():
            print(f"{key + ':':<15} {printable(str(value)) if value is not None else '-'}")
    return EXIT_OK


def cmd_remove(args: argparse.Namespace) -> int:
    with _open(args) as collection:
        missing = [i for i in dict.fromkeys(args.ids) if i not in collection]
        if missing:
            raise CommandError("not in the collection, nothing removed: "
                              + ", ".join(printable(i) for i in missing))
        removed = collection.remove(args.ids)
        print(f"removed {removed} documents; {len(collection)} left")
    return EXIT_OK


def cmd_demo(args: argparse.Namespace) -> int:
    from .demo import main as demo_main

    demo_main()
    return EXIT_OK


def _count(text: str) -> int:
    """An argparse type: a whole number of at least 1."""
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {value}")
    return value


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="quorvel", description="Semantic search over a folder of text files.",
        epilog="exit status: 0 done (also when a search finds nothing), 1 error, 2 usage error, "
               "130 interrupted")
    sub = parser.add_subparsers(dest="command", required=True)
    where = dict(default=DEFAULT_COLLECTION, metavar="DIR",
                 help=f"collection folder (default: {DEFAULT_COLLECTION})")

    kinds = "/".join(s.lstrip(".") for s in TEXT_SUFFIXES)
    p = sub.add_parser("index", help=f"make the collection mirror the {kinds} files under FOLDER")
    p.add_argument("folder", nargs="?", metavar="FOLDER",
                   help="the folder to mirror (default: the one the collection mirrors)")
    p.add_argument("--collection", "-c", **where)
    p.add_argument("--embedder", choices=["wordllama", "lsa", "sentence-transformers"], default=None,
                   help="for a new collection: wordllama (the default when installed), lsa (the "
                        "default otherwise; both offline) or sentence-transformers")
    p.add_argument("--model", default="all-MiniLM-L6-v2",
                   help="sentence-transformers model name or path")
    p.add_argument("--dims", type=_count, default=256, help="lsa: most dimensions (default 256)")
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
    p.add_argument("--limit", "-n", type=_count, default=None, help="most results (wins over limit:)")
    p.add_argument("--where", "-w", action="append", default=[], metavar="COND",
                   help="only documents whose metadata meets COND: KEY=VALUE, KEY!=VALUE, KEY>VALUE, "
                        "KEY>=VALUE, KEY<VALUE, KEY<=VALUE (VALUE read as JSON when it is a number, "
                        "true, false, a quoted str or a list, else as text) or a JSON filter; "
                        "repeated, all must hold")
    p.add_argument("--json", action="store_true", help="print the results as JSON")
    p.add_argument("--passages", action="store_true",
                   help="every passage that ranks, not one hit per document (its best passage)")
    p.add_argument("--strict", action="store_true",
                   help="refuse a query with ignored parts instead of noting them")
    p.set_defaults(run=cmd_search)

    p = sub.add_parser("list", help="print the identifiers of the documents")
    p.add_argument("--collection", "-c", **where)
    p.add_argument("--json", action="store_true", help="print them as a JSON list")
    p.set_defaults(run=cmd_list)

    p = sub.add_parser("info", help="describe a collection")
    p.add_argument("--collection", "-c", **where)
    p.add_argument("--json", action="store_true", help="print it as a JSON object")
    p.set_defaults(run=cmd_info)

    p = sub.add_parser("remove", help="remove documents by identifier")
    p.add_argument("ids", nargs="+", metavar="ID")
    p.add_argument("--collection", "-c", **where)
    p.set_defaults(run=cmd_remove)

    p = sub.add_parser("demo", help="search the standard library's docstrings")
    p.set_defaults(run=cmd_demo)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command; returns its exit status (see the module's description)."""
    try:
        args = build_parser().parse_args(argv)
    except SystemExit as e:  # argparse has printed the usage error, or the help
        return e.code if isinstance(e.code, int) else EXIT_USAGE
    try:
        return args.run(args)
    except KeyboardInterrupt:
        say("interrupted; the collection is as it was")
        return EXIT_INTERRUPTED
    except UsageError as e:
        say(printable(str(e)))
        return EXIT_USAGE
    except BrokenPipeError:  # output piped into head and friends
        # Later writes to the closed pipe (the interpreter's own flush at exit) go nowhere.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_OK
    except (CommandError, OSError, ValueError, ImportError, sqlite3.Error) as e:
        say(printable(str(e) or type(e).__name__))
        return EXIT_ERROR


if __name__ == "__main__":
    sys.exit(main())
