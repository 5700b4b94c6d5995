"""Folders as documents: the scan (which files, what is skipped and why, identifiers), the sync
plan, and a collection kept in line with a folder."""

import os
from pathlib import Path

import pytest

from quorvel import Collection, Document
from quorvel.folder import Fingerprint, plan_sync, read_text, scan, sync_folder, Unreadable

T0 = 1_700_000_000


def write(root: Path, files: dict[str, str | bytes], mtime: int = T0) -> None:
    for name, content in files.items():
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        if isinstance(content, str):
            content = content.encode()
        path.write_bytes(content)
        os.utime(path, (mtime, mtime))


@pytest.fixture
def notes(tmp_path):
    root = tmp_path / "notes"
    write(root, {"backup.md": "Nightly backups of the database go to tape.",
                 "garden.txt": "Water the tomatoes and the roses in summer.",
                 "sub/restore.md": "Restore the database from last night's backup.",
                 "sub/deeper/Plan.RST": "Plan the restore drill for spring.",
                 "page.html": "<p>not a text kind that is indexed</p>",
                 ".hidden/secret.md": "hidden folders are left out",
                 ".dotfile.md": "hidden files too",
                 "empty.txt": "  \n"})
    return root


def test_scan_finds_the_text_files_by_relative_posix_path(notes):
    found = scan(notes)
    assert sorted(found.files) == ["backup.md", "empty.txt", "garden.txt", "sub/deeper/Plan.RST",
                                   "sub/restore.md"]
    assert found.skipped == []
    f = found.files["sub/restore.md"]
    assert f.path == notes / "sub" / "restore.md"
    assert f.fingerprint == Fingerprint(len("Restore the database from last night's backup."), T0)


def test_the_same_folder_named_any_way_gives_the_same_identifiers(notes, tmp_path, monkeypatch):
    (tmp_path / "link").symlink_to(notes)
    monkeypatch.chdir(notes / "sub")
    names = [notes, str(notes) + "/", "..", "../../notes/sub/..", tmp_path / "link", "../../link/."]
    scans = [scan(name) for name in names]
    assert {s.root for s in scans} == {notes.resolve()}
    assert all(s.files.keys() == scans[0].files.keys() for s in scans)


@pytest.mark.parametrize("name, content, reason", [
    ("nul.txt", b"text\0with a NUL", "binary (NUL bytes)"),
    ("latin1.md", "caf\xe9 au lait".encode("latin-1"), "binary or not UTF-8 (byte 0xe9 at offset 3)"),
    ("controls.txt", bytes(range(1, 9)) * 100, "binary (mostly control characters)"),
])
def test_binary_and_undecodable_files_are_unreadable(tmp_path, name, content, reason):
    write(tmp_path, {name: content})
    with pytest.raises(Unreadable) as e:
        read_text(tmp_path / name)
    assert str(e.value) == reason


def test_text_keeps_its_bytes_and_its_escape_sequences(tmp_path):
    write(tmp_path, {"a.txt": "\ufeffcolour: \x1b[31mred\x1b[0m\r\n"})
    assert read_text(tmp_path / "a.txt") == "\ufeffcolour: \x1b[31mred\x1b[0m\r\n"


def test_bad_entries_are_skipped_one_by_one(notes):
    bad_name = os.fsencode(notes) + b"/caf\xe9.txt"
    with open(bad_name, "wb") as f:
        f.write(b"a file whose name is not UTF-8")
    (notes / "dangling.md").symlink_to(notes / "nowhere.md")
    (notes / "self.txt").symlink_to(notes / "self.txt")
    (notes / "sub" / "up").symlink_to(notes)                 # a loop back to the root
    (notes / "again").symlink_to(notes / "sub" / "deeper")   # a folder already walked
    (notes / "linked.md").symlink_to(notes / "backup.md")    # a file link: read, own identifier
    os.mkfifo(notes / "pipe.txt")
    found = scan(notes)
    assert {(s.path, s.reason) for s in found.skipped} == {
        ("caf\udce9.txt", "name is not UTF-8"),
        ("dangling.md", "dangling symlink"),
        ("self.txt", "symlink loop"),
        ("sub/up", "symlink loop back to ."),
        ("pipe.txt", "not a regular file"),
    }
    assert found.aliases == {"sub/deeper": "again"}   # indexed once, under the first name met
    assert "linked.md" in found.files and "again/Plan.RST" in found.files
    assert not any(k.startswith(("sub/up", "sub/deeper")) for k in found.files)


def test_unreadable_folder_and_file_are_skipped(notes, monkeypatch):
    # Permissions do not stop root, so the refusals are made by hand.
    real_scandir, real_read = os.scandir, Path.read_bytes

    def scandir(path):
        if Path(path).name == "sub":
            raise PermissionError(13, "Permission denied")
        return real_scandir(path)

    def read_bytes(path):
        if path.name == "garden.txt":
            raise PermissionError(13, "Permission denied")
        return real_read(path)

    monkeypatch.setattr(os, "scandir", scandir)
    monkeypatch.setattr(Path, "read_bytes", read_bytes)
    found = scan(notes)
    assert [(s.path, s.reason) for s in found.skipped] == [("sub", "permission denied")]
    with pytest.raises(Unreadable, match="^permission denied$"):
        read_text(found.files["garden.txt"].path)


@pytest.mark.parametrize("found, held, new, changed, deleted, unchanged", [
    ({"a": (1, 1.0), "b": (2, 2.0)}, {}, ["a", "b"], [], [], 0),
    ({"a": (1, 1.0)}, {"a": (1, 1.0)}, [], [], [], 1),
    ({"a": (1, 2.0)}, {"a": (1, 1.0)}, [], ["a"], [], 0),                 # touched
    ({"a": (5, 1.0)}, {"a": (1, 1.0)}, [], ["a"], [], 0),                 # same time, other size
    ({"a": (1, 1.0)}, {"a": None}, [], ["a"], [], 0),                     # nothing known: read
    ({}, {"a": (1, 1.0)}, [], [], ["a"], 0),
    ({"new": (1, 1.0), "keep": (3, 3.0)}, {"old": (1, 1.0), "keep": (3, 3.0)},
     ["new"], [], ["old"], 1),                                            # a rename
])
def test_plan_sync(found, held, new, changed, deleted, unchanged):
    fp = {k: Fingerprint(*v) for k, v in found.items()}
    hp = {k: v if v is None else Fingerprint(*v) for k, v in held.items()}
    plan = plan_sync(fp, hp)
    assert (plan.new, plan.changed, plan.deleted, plan.unchanged) == (new, changed, deleted, unchanged)
    assert bool(plan) == bool(new or changed or deleted)


def ids_and_texts(c: Collection) -> dict[str, str]:
    return {d.id: d.text for d in c.documents()}


def test_sync_adds_changes_renames_and_deletes(notes, tmp_path):
    with Collection.create(tmp_path / "col") as c:
        report = sync_folder(c, notes)
        assert report.changes == (4, 0, 0) and report.unchanged == 0
        assert c.root == str(notes) and sorted(c.ids) == ["backup.md", "garden.txt",
                                                         "sub/deeper/Plan.RST", "sub/restore.md"]
        assert c.get("garden.txt").timestamp == T0

        report = sync_folder(c, notes)                           # nothing moved: nothing read
        assert report.changes == (0, 0, 0) and report.unchanged == 4  # empty.txt is read again

        write(notes, {"garden.txt": "Water the tomatoes every evening."}, mtime=T0 + 5)
        (notes / "sub/restore.md").rename(notes / "sub/restore-drill.md")
        (notes / "backup.md").unlink()
        os.utime(notes / "sub/deeper/Plan.RST", (T0 + 9, T0 + 9))   # touched, same text
        report = sync_folder(c, notes)
        assert report.changes == (1, 2, 2)
        texts = ids_and_texts(c)
        assert sorted(texts) == ["garden.txt", "sub/deeper/Plan.RST", "sub/restore-drill.md"]
        assert texts["garden.txt"] == "Water the tomatoes every evening."
        assert c.get("sub/deeper/Plan.RST").timestamp == T0 + 9


def test_a_file_that_turns_binary_or_empty_leaves_the_collection(notes, tmp_path):
    with Collection.create(tmp_path / "col") as c:
        sync_folder(c, notes)
        write(notes, {"garden.txt": b"\x89PNG\r\n\x1a\n\0\0\0", "backup.md": ""}, mtime=T0 + 1)
        report = sync_folder(c, notes)
        assert report.changes.removed == 2 and "garden.txt" not in c and "backup.md" not in c
        assert [(s.path, s.reason) for s in report.skipped] == [("garden.txt", "binary (NUL bytes)")]


def test_the_same_folder_named_two_ways_is_one_set_of_documents(notes, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "alias").symlink_to(notes)
    with Collection.create(tmp_path / "col") as c:
        sync_folder(c, "notes")
        report = sync_folder(c, tmp_path / "alias" / "sub" / "..")
        assert report.changes == (0, 0, 0) and len(c) == 4


def test_another_folder_is_refused_and_changes_nothing(notes, tmp_path):
    other = tmp_path / "other"
    write(other, {"x.txt": "another folder"})
    with Collection.create(tmp_path / "col") as c:
        sync_folder(c, notes)
        before = ids_and_texts(c)
        with pytest.raises(ValueError, match="mirrors the folder"):
            sync_folder(c, other)
        assert ids_and_texts(c) == before and c.root == str(notes)


def test_documents_added_by_hand_are_removed_by_a_sync(notes, tmp_path):
    with Collection.create(tmp_path / "col", [Document("by-hand", "a note added in code")]) as c:
        assert sync_folder(c, notes).changes == (4, 0, 1) and "by-hand" not in c
