"""A folder of text files as documents: what `quorvel index DIR` reads, and how a collection is
brought in line with it.

Which files: regular files whose name ends in one of `TEXT_SUFFIXES` (any case), under the root,
hidden files and folders (a name starting with '.') left out. A file is read as UTF-8 (a byte
order mark is kept as U+FEFF, so a stored text is exactly the file's bytes); an empty or
whitespace-only file is not a document.

What is skipped, each with one `Skipped` entry and the rest of the scan carrying on: names that
are not UTF-8, entries that cannot be listed or read, dangling symlinks, symlink loops, files that
are not regular (a FIFO would block the read), and binary files (a NUL byte, bytes that are not
UTF-8, or mostly control characters).

Symlinks are followed, to files and to folders alike, so a tree assembled from links is indexed as
it appears. Every folder is entered at most once, keyed by its (st_dev, st_ino), so every file is
read once and the walk ends: a link back to a folder being walked is a loop, skipped with a
reason; a folder met again under another name (Debian's documentation links many package folders
to one) is indexed under the first name met, in sorted order, and the other names are listed in
`Scan.aliases` without a warning.

Identifiers are the POSIX paths of the files relative to the root, taken from the names under
the root (not from where links point), and the root itself is resolved first: `notes`,
`./notes/`, `/abs/notes` and a symlink to it give the same identifiers.

`plan_sync` is pure: from the files found and the fingerprints a collection holds it says what
to add, re-read and remove. A renamed file is one removal and one addition.
"""

from __future__ import annotations

import errno
import os
import stat
from collections.abc import Iterator, Mapping
from dataclasses import dataclass, field
from pathlib import Path
from typing import NamedTuple

from .collection import Collection, Document, Progress, Update
from .files import file_metadata

#: Suffixes of the files indexed, compared case-insensitively.
TEXT_SUFFIXES = (".txt", ".text", ".md", ".markdown", ".rst")
#: Bytes read to decide whether a file is binary by its share of control characters.
_CONTROL_SHARE = 0.3
_TEXT_CONTROLS = frozenset(b"\t\n\r\f\v\x1b")


class Fingerprint(NamedTuple):
    """What decides, without reading a file, whether it may have changed: its size in bytes and
    its modification time in seconds since the epoch."""

    size: int
    mtime: float


@dataclass(frozen=True, slots=True)
class FoundFile:
    """A text file under the root: its identifier, the path to read and its fingerprint."""

    id: str
    path: Path
    fingerprint: Fingerprint


@dataclass(frozen=True, slots=True)
class Skipped:
    """An entry left out of a scan: its path relative to the root (possibly with undecodable
    bytes kept as surrogates; escape it before printing) and why."""

    path: str
    reason: str


@dataclass(slots=True)
class Scan:
    """The text files under a root, by identifier, the entries skipped, and the folders met again
    under another name (alias: the name they were indexed under)."""

    root: Path
    files: dict[str, FoundFile] = field(default_factory=dict)
    skipped: list[Skipped] = field(default_factory=list)
    aliases: dict[str, str] = field(default_factory=dict)


def resolve_root(folder: str | os.PathLike[str]) -> Path:
    """The absolute, symlink-free path of the folder `folder`; raises FileNotFoundError or
    NotADirectoryError with a message that names it."""
    path = Path(folder)
    try:
        root = path.resolve(strict=True)
    except (FileNotFoundError, RuntimeError):  # RuntimeError: a symlink loop on older Pythons
        raise FileNotFoundError(f"no such folder: {os.fsdecode(folder)}") from None
    except OSError as e:
        if e.errno == errno.ELOOP:
            raise FileNotFoundError(f"no such folder (symlink loop): {os.fsdecode(folder)}") from None
        raise
    if not root.is_dir():
        raise NotADirectoryError(f"not a folder: {os.fsdecode(folder)}")
    return root


def is_text_name(name: str) -> bool:
    return not name.startswith(".") and name.lower().endswith(TEXT_SUFFIXES)


def _utf8_name(name: str) -> bool:
    try:
        name.encode("utf-8")
    except UnicodeEncodeError:  # undecodable bytes kept as lone surrogates
        return False
    return True


def _stat_failure(e: OSError) -> str:
    if e.errno == errno.ELOOP:
        return "symlink loop"
    if e.errno == errno.ENOENT:
        return "dangling symlink"
    if e.errno in (errno.EACCES, errno.EPERM):
        return "permission denied"
    return f"cannot be read ({e.strerror or e})"


def scan(folder: str | os.PathLike[str]) -> Scan:
    """The text files under `folder` (see the module's description), in a stable order."""
    root = resolve_root(folder)
    result = Scan(root)
    root_stat = root.stat()
    entered = {(root_stat.st_dev, root_stat.st_ino): ""}
    _walk(root, "", entered, result)
    return result


def _walk(folder: Path, prefix: str, entered: dict[tuple[int, int], str], result: Scan) -> None:
    try:
        with os.scandir(folder) as listing:
            entries = sorted(listing, key=lambda e: e.name)
    except OSError as e:
        result.skipped.append(Skipped(prefix.rstrip("/") or ".", _stat_failure(e)))
        return
    folders: list[tuple[os.DirEntry[str], str, tuple[int, int]]] = []
    for entry in entries:
        if entry.name.startswith("."):
            continue
        rel = prefix + entry.name
        if not _utf8_name(entry.name):
            result.skipped.append(Skipped(rel, "name is not UTF-8"))
            continue
        try:
            st = entry.stat(follow_symlinks=True)
        except OSError as e:
            if entry.is_symlink() or is_text_name(entry.name):
                result.skipped.append(Skipped(rel, _stat_failure(e)))
            continue
        if stat.S_ISDIR(st.st_mode):
            key = (st.st_dev, st.st_ino)
            if key in entered:
                seen = entered[key]
                if _is_ancestor(seen, rel):
                    result.skipped.append(Skipped(rel, f"symlink loop back to {seen or '.'}"))
                else:
                    result.aliases[rel] = seen
                continue
            entered[key] = rel
            folders.append((entry, rel, key))
        elif is_text_name(entry.name):
            if not stat.S_ISREG(st.st_mode):
                result.skipped.append(Skipped(rel, "not a regular file"))
                continue
            result.files[rel] = FoundFile(rel, Path(entry.path), Fingerprint(st.st_size, st.st_mtime))
    for entry, rel, _ in folders:
        _walk(Path(entry.path), rel + "/", entered, result)


def _is_ancestor(folder: str, path: str) -> bool:
    return folder == "" or path.startswith(folder + "/")


class Unreadable(Exception):
    """A file that is not text after all, or could not be read; the message says why."""


def read_text(path: Path) -> str:
    """The text of a file found by `scan`; raises Unreadable for binary or undecodable content
    and for a file that cannot be read."""
    try:
        data = path.read_bytes()
    except OSError as e:
        raise Unreadable(_stat_failure(e)) from None
    if b"\0" in data:
        raise Unreadable("binary (NUL bytes)")
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as e:
        raise Unreadable(f"binary or not UTF-8 (byte 0x{data[e.start]:02x} at offset {e.start})") from None
    head = data[:4096]
    controls = sum(1 for b in head if b < 0x20 and b not in _TEXT_CONTROLS)
    if head and controls > _CONTROL_SHARE * len(head):
        raise Unreadable("binary (mostly control characters)")
    return text


@dataclass(frozen=True, slots=True)
class SyncPlan:
    """What bringing a collection in line with a scan takes: identifiers to add (not held),
    to read again (held, fingerprint differs), to remove (held, no longer found), and how many
    files are unchanged. Each list is sorted."""

    new: list[str]
    changed: list[str]
    deleted: list[str]
    unchanged: int

    def __bool__(self) -> bool:
        return bool(self.new or self.changed or self.deleted)


def plan_sync(found: Mapping[str, Fingerprint], held: Mapping[str, Fingerprint | None]) -> SyncPlan:
    """Compare the files found with the documents held (None: a held document whose fingerprint
    is not known, which is read again). A file whose fingerprint is unchanged is not read; one
    whose fingerprint differs is read, and the collection updates it only if its text or time
    differs."""
    new = sorted(k for k in found if k not in held)
    deleted = sorted(k for k in held if k not in found)
    changed = sorted(k for k in found if k in held and held[k] != found[k])
    unchanged = len(found) - len(new) - len(changed)
    return SyncPlan(new, changed, deleted, unchanged)


def iter_readable(scan_result: Scan, ids: list[str]) -> Iterator[tuple[FoundFile, str | Unreadable]]:
    """Each of `ids` (identifiers of `scan_result`) with its text, or the Unreadable that says
    why it has none."""
    for doc_id in ids:
        found = scan_result.files[doc_id]
        try:
            yield found, read_text(found.path)
        except Unreadable as e:
            yield found, e


@dataclass(frozen=True, slots=True)
class SyncReport:
    """What `sync_folder` did: the resolved root, the collection's `Update`, how many files
    were unchanged (not read), the entries skipped, in the order met, and warnings about files
    indexed in part (front matter left out)."""

    root: Path
    changes: Update
    unchanged: int
    skipped: list[Skipped]
    warnings: list[str] = field(default_factory=list)


def sync_folder(collection: Collection, folder: str | os.PathLike[str], *,
                progress: Progress | None = None) -> SyncReport:
    """Make `collection` mirror the text files under `folder`: add new files, update changed
    ones, remove the documents of files gone (or no longer readable text), all in one change.

    A collection mirrors one folder, recorded by the first sync; syncing another folder into it
    raises ValueError and changes nothing.
    """
    found = scan(folder)
    root = str(found.root)
    if collection.root is not None and collection.root != root:
        raise ValueError(f"{collection.path} mirrors the folder {collection.root}, not {root}; "
                         "give another collection for it")
    held = collection.document_sizes()
    plan = plan_sync({k: f.fingerprint for k, f in found.files.items()},
                     {k: None if mtime is None else Fingerprint(size, mtime)
                      for k, (size, mtime) in held.items()})
    skipped = list(found.skipped)
    warnings: list[str] = []
    documents, vanished = [], list(plan.deleted)
    to_read = plan.new + plan.changed
    for done, (file, text) in enumerate(iter_readable(found, to_read), 1):
        if isinstance(text, Unreadable):
            skipped.append(Skipped(file.id, str(text)))
        if isinstance(text, Unreadable) or not text.strip():
            if file.id in held:
                vanished.append(file.id)
        else:
            try:
                metadata, notes = file_metadata(Path(file.id), text, file.path.stat())
            except OSError as e:  # gone since it was read
                skipped.append(Skipped(file.id, _stat_failure(e)))
                continue
            warnings += [f"{file.id}: {note}" for note in notes]
            documents.append(Document(file.id, text, file.fingerprint.mtime, metadata))
        if progress:
            progress("reading", done, len(to_read))
    changes = collection.update(documents, remove=vanished, root=root, progress=progress)
    return SyncReport(found.root, changes, plan.unchanged, skipped, warnings)
