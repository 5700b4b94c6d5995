"""Small pieces of the on-disk machinery of a collection, usable on their own (a shard is a
collection, and a folder of shards reuses them):

- `CollectionError`, the one exception for a collection that cannot be opened;
- `folder_file`, the only way a name read from disk becomes a path;
- `writer_lock`, the lock that serialises the writers of one folder;
- `MatrixFile`, a float32 ``.npy`` matrix that grows in place: rows are appended after the last
  committed row and the header's row count is rewritten, while the number of rows that count is
  kept by the caller (in SQLite), so rows beyond it are ignored.
"""

from __future__ import annotations

import ast
import os
import re
import struct
from pathlib import Path

import numpy as np
from filelock import FileLock

LOCK_NAME = "collection.lock"
#: Bytes of a matrix file's .npy header; fixed, so that rewriting the row count never moves the rows.
HEADER_BYTES = 128
_MAGIC = b"\x93NUMPY\x01\x00"
_PLAIN_NAME = re.compile(r"[A-Za-z0-9][A-Za-z0-9_.-]{0,127}")


class CollectionError(ValueError):
    """A collection that cannot be opened: missing, damaged or inconsistent files, a format this
    version does not read, or an embedder other than the one that made its vectors."""


def folder_file(folder: Path, name: object, suffix: str) -> Path:
    """`folder / name` for a plain file name ending in `suffix` (letters, digits, '.', '_', '-',
    no separator, no leading dot) that is not a symbolic link; CollectionError otherwise."""
    if not isinstance(name, str) or not _PLAIN_NAME.fullmatch(name) or not name.endswith(suffix):
        raise CollectionError(f"{folder}: refusing the file name {name!r} read from the collection "
                              f"(expected a plain name ending in {suffix!r})")
    path = folder / name
    if path.is_symlink():
        raise CollectionError(f"{path}: is a symbolic link; collection files must be plain files")
    return path


def writer_lock(folder: Path) -> FileLock:
    """The lock a writer of the collection in `folder` holds across a whole change. One lock
    object per handle: two handles of one process exclude each other as two processes do."""
    return FileLock(folder / LOCK_NAME, thread_local=False)


# -- the matrix file --------------------------------------------------------------------------

def _header(rows: int, dim: int) -> bytes:
    text = "{'descr': '<f4', 'fortran_order': False, 'shape': (%d, %d), }" % (rows, dim)
    body = text.ljust(HEADER_BYTES - len(_MAGIC) - 2 - 1) + "\n"
    return _MAGIC + struct.pack("<H", len(body)) + body.encode("latin1")


def _read_header(path: Path, head: bytes) -> tuple[int, int]:
    """(rows, dim) of a matrix file's header; CollectionError unless it is ours."""
    if len(head) < HEADER_BYTES or not head.startswith(_MAGIC):
        raise CollectionError(f"{path}: not a matrix file (missing or short .npy header)")
    (length,) = struct.unpack("<H", head[len(_MAGIC):len(_MAGIC) + 2])
    if len(_MAGIC) + 2 + length != HEADER_BYTES:
        raise CollectionError(f"{path}: header of {len(_MAGIC) + 2 + length} bytes, expected {HEADER_BYTES}")
    try:
        fields = ast.literal_eval(head[len(_MAGIC) + 2:HEADER_BYTES].decode("latin1"))
        descr, fortran, shape = fields["descr"], fields["fortran_order"], fields["shape"]
    except (ValueError, SyntaxError, TypeError, KeyError, MemoryError, RecursionError):
        raise CollectionError(f"{path}: malformed .npy header") from None
    if descr != "<f4" or fortran is not False:
        raise CollectionError(f"{path}: matrix of dtype {descr!r} (fortran_order={fortran!r}); "
                              "expected little-endian float32 in C order")
    if (not isinstance(shape, tuple) or len(shape) != 2
            or not all(type(s) is int and s >= 0 for s in shape)):
        raise CollectionError(f"{path}: matrix shape {shape!r} is not two non-negative sizes")
    return shape


class MatrixFile:
    """A float32 C-order .npy file of `dim` columns whose first rows are committed elsewhere."""

    def __init__(self, path: Path, dim: int):
        self.path, self.dim = path, dim
        self.row_bytes = 4 * dim

    @classmethod
    def create(cls, path: Path, rows: np.ndarray) -> "MatrixFile":
        """Writes `rows` (n, dim) float32 as a new file, flushed to disk; it must not exist."""
        matrix = cls(path, int(rows.shape[1]))
        with open(path, "xb") as f:
            f.write(_header(rows.shape[0], matrix.dim))
            f.write(np.ascontiguousarray(rows, dtype="<f4").tobytes())
            f.flush()
            os.fdatasync(f.fileno())
        return matrix

    @classmethod
    def check(cls, path: Path, rows: int, dim: int) -> "MatrixFile":
        """The file, after checking that it holds at least `rows` rows of `dim` float32 columns;
        CollectionError naming the file and the fault otherwise."""
        try:
            with open(path, "rb") as f:
                head = f.read(HEADER_BYTES)
                size = os.fstat(f.fileno()).st_size
        except FileNotFoundError:
            raise CollectionError(f"{path}: matrix file missing") from None
        except OSError as e:
            raise CollectionError(f"{path}: cannot read the matrix file: {e}") from None
        header_rows, header_dim = _read_header(path, head)
        if header_dim != dim:
            raise CollectionError(f"{path}: matrix of {header_dim} columns, the collection says {dim}")
        if header_rows < rows:
            raise CollectionError(f"{path}: header counts {header_rows} rows, the collection {rows}")
        if size < HEADER_BYTES + rows * 4 * dim:
            raise CollectionError(f"{path}: truncated: {size} bytes cannot hold {rows} rows x {dim}")
        return cls(path, dim)

    def rows(self, count: int) -> np.ndarray:
        """The first `count` rows, memory-mapped read-only (a small read-only array when empty)."""
        if count == 0:
            empty = np.zeros((0, self.dim), dtype=np.float32)
            empty.flags.writeable = False
            return empty
        try:
            return np.memmap(self.path, dtype="<f4", mode="r", offset=HEADER_BYTES, shape=(count, self.dim))
        except FileNotFoundError:  # removed by a compaction since `check`: the caller reloads
            raise CollectionError(f"{self.path}: matrix file missing") from None

    def append(self, committed: int, rows: np.ndarray) -> "Undo":
        """Writes `rows` after the first `committed` rows (over whatever an interrupted change
        left there), sets the header's count and flushes; returns how to put the file back."""
        with open(self.path, "r+b") as f:
            size = os.fstat(f.fileno()).st_size
            old_head = os.pread(f.fileno(), HEADER_BYTES, 0)
            undo = Undo(self.path, size, old_head)
            try:
                os.pwrite(f.fileno(), np.ascontiguousarray(rows, dtype="<f4").tobytes(),
                          HEADER_BYTES + committed * self.row_bytes)
                os.pwrite(f.fileno(), _header(committed + rows.shape[0], self.dim), 0)
                os.fdatasync(f.fileno())
            except BaseException:
                undo()
                raise
        return undo


class Undo:
    """Puts a matrix file back to the size and header it had before an append."""

    def __init__(self, path: Path, size: int, head: bytes):
        self.path, self.size, self.head = path, size, head

    def __call__(self) -> None:
        with open(self.path, "r+b") as f:
            os.pwrite(f.fileno(), self.head, 0)
            os.ftruncate(f.fileno(), self.size)
