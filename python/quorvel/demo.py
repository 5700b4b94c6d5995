"""A demo corpus that needs nothing from outside the machine: the docstrings of the Python
standard library (modules, classes, functions and methods), gathered on first use into a
collection in the user's cache folder, and a short tour of searches over it.

    python -m quorvel.demo        (or: quorvel demo)
"""

from __future__ import annotations

import importlib
import inspect
import os
import shutil
import sys
import tempfile
import time
import warnings
from pathlib import Path

from .collection import Collection, Document

# Pure, side-effect-free standard modules with good docstrings, in a fixed order.
STDLIB_MODULES = """
abc argparse array ast asyncio base64 binascii bisect bz2 calendar cmath codecs collections
colorsys concurrent.futures configparser contextlib contextvars copy csv dataclasses datetime
decimal difflib dis doctest email email.message email.utils enum filecmp fnmatch fractions
ftplib functools gc getopt gettext glob graphlib gzip hashlib heapq hmac html html.parser
http.client http.cookies http.server imaplib inspect io ipaddress itertools json json.decoder
json.encoder keyword linecache locale logging logging.handlers lzma mailbox math mimetypes
mmap multiprocessing netrc numbers operator os os.path pathlib pickle pickletools pkgutil
platform plistlib poplib pprint profile pstats queue quopri random re reprlib sched secrets
selectors shelve shlex shutil signal smtplib socket socketserver sqlite3 ssl stat statistics
string struct subprocess symtable sys sysconfig tabnanny tarfile tempfile textwrap threading
time timeit token tokenize tomllib trace traceback tracemalloc types typing unicodedata
unittest unittest.mock urllib.parse urllib.request uuid warnings wave weakref xml.dom.minidom
xml.etree.ElementTree xml.sax zipfile zipimport zlib zoneinfo
""".split()

MAX_DOCUMENTS = 4000
MAX_METHODS_PER_CLASS = 25
MIN_DOC_CHARS = 40
MAX_DOC_CHARS = 1500
CACHE_VERSION = "2"  # bump when the corpus or the default embedder changes


def _doc(obj: object) -> str | None:
    doc = obj.__doc__ if isinstance(getattr(obj, "__doc__", None), str) else None
    if not doc:
        return None
    doc = inspect.cleandoc(doc)
    return doc if len(doc) >= MIN_DOC_CHARS else None


def _defined_in(obj: object, module: str) -> bool:
    return getattr(obj, "__module__", None) in (module, "_" + module.rsplit(".", 1)[-1])


def stdlib_documents(limit: int = MAX_DOCUMENTS) -> list[Document]:
    """Docstrings of the modules in STDLIB_MODULES and of their public classes, functions and
    methods, as documents whose identifier is the qualified name ('json.dumps') and whose
    timestamp is the source file's modification time (None for built-in modules)."""
    docs: list[Document] = []
    seen: set[str] = set()

    def put(name: str, doc: str | None, ts: float | None) -> None:
        if doc and name not in seen and len(docs) < limit:
            seen.add(name)
            docs.append(Document(name, f"{name}\n\n{doc[:MAX_DOC_CHARS]}", ts))

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for modname in STDLIB_MODULES:
            try:
                module = importlib.import_module(modname)
            except Exception:  # an optional module missing from this build
                continue
            file = getattr(module, "__file__", None)
            ts = os.path.getmtime(file) if file and os.path.exists(file) else None
            put(modname, _doc(module), ts)
            for attr in sorted(vars(module)):
                if attr.startswith("_"):
                    continue
                obj = vars(module)[attr]
                if not (inspect.isclass(obj) or inspect.isroutine(obj)) or not _defined_in(obj, modname):
                    continue
                put(f"{modname}.{attr}", _doc(obj), ts)
                if inspect.isclass(obj):
                    methods = [m for m in sorted(vars(obj)) if not m.startswith("_")]
                    for m in methods[:MAX_METHODS_PER_CLASS]:
                        member = vars(obj)[m]
                        if inspect.isroutine(member) or isinstance(member, (property, classmethod, staticmethod)):
                            put(f"{modname}.{attr}.{m}", _doc(member), ts)
    return docs


def cache_folder() -> Path:
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    folder = Path(base) / "quorvel"
    try:
        folder.mkdir(parents=True, exist_ok=True)
        probe = folder / ".probe"
        probe.touch()
        probe.unlink()
    except OSError:
        folder = Path(tempfile.gettempdir()) / f"quorvel-{os.getuid() if hasattr(os, 'getuid') else 'user'}"
        folder.mkdir(parents=True, exist_ok=True)
    return folder


def demo_collection(folder: Path | None = None, *, quiet: bool = False) -> Collection:
    """The standard-library collection, built on first use (a few seconds) and reopened after.

    It is built in a scratch folder and renamed into place, so an interrupted or concurrent
    build never leaves a half-made collection behind."""
    py = f"{sys.version_info.major}.{sys.version_info.minor}"
    path = (folder or cache_folder()) / f"stdlib-py{py}-v{CACHE_VERSION}"
    if path.exists():
        try:
            collection = Collection.open(path)
            if len(collection):
                return collection
            collection.close()
        except (ValueError, KeyError, OSError):
            pass
        shutil.rmtree(path, ignore_errors=True)  # unreadable: build it again
    t0 = time.perf_counter()
    scratch = Path(tempfile.mkdtemp(prefix=path.name + ".", dir=path.parent))
    try:
        docs = stdlib_documents()
        Collection.create(scratch / "c", docs).close()
        try:
            (scratch / "c").rename(path)
        except OSError:  # another process finished first: use its collection
            pass
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    if not quiet:
        print(f"built {path} from {len(docs)} standard-library docstrings "
              f"in {time.perf_counter() - t0:.1f} s", file=sys.stderr)
    return Collection.open(path)


TOUR = [
    ("plain", "compress files into an archive", "limit:3"),
    ("diverse: relevance traded for variety", "compress files into an archive", "diverse limit:3"),
    ("like: pulled towards a liked document", "parse text", "like:json.loads limit:3"),
    ("unlike: pushed away from a topic", "read a file", "unlike:zip limit:3"),
    ("from: ... to: ...: moved along a direction", "send data", "from: sockets to: http requests limit:3"),
]


def tour(collection: Collection, width: int = 100) -> None:
    """Run the searches of TOUR and print their hits, one line each; a modulated search also
    shows the identifiers that the plain search returns, for comparison."""
    for title, text, mods in TOUR:
        print(f"\n{title}: search({text!r}, {mods!r})")
        hits = collection.search(text, mods)
        name_width = max((len(h.id) for h in hits), default=0)
        for hit in hits:
            about = hit.snippet[len(hit.id):].strip()  # the text starts with the name
            line = f"  {hit.score:+.3f}  {hit.id:<{name_width}}  {about}"
            print(line if len(line) <= width else line[: width - 1] + "…")
        if mods != "limit:3" and "diverse" not in mods:  # the plain run is just above
            plain = ", ".join(h.id for h in collection.search(text, "limit:3"))
            print(f"  (plain: {plain})")


def main() -> None:
    with demo_collection() as collection:
        print(f"\ntext search over {len(collection)} standard-library docstrings "
              f"({collection.embedder.kind}, {collection.matrix.shape[1]} dimensions, offline)")
        tour(collection)


if __name__ == "__main__":
    main()
