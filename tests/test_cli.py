"""The quorvel command: index mirrors a folder, search, list, info, remove; exit codes; no
traceback for a user's mistake; Ctrl-C leaves the collection as it was; nothing from a file
reaches the terminal raw."""

import json
import os
import subprocess
import sys

import pytest

import quorvel.cli
import quorvel.collection
import quorvel.folder
from quorvel import Collection, LsaEmbedder
from quorvel.cli import main, printable

T0 = 1_700_000_000


@pytest.fixture
def notes(tmp_path):
    root = tmp_path / "notes"
    (root / "sub").mkdir(parents=True)
    (root / ".hidden").mkdir()
    files = {"backup.md": "Nightly backups of the database go to tape.",
             "garden.txt": "Water the tomatoes and the roses in summer.",
             "sub/restore.md": "Restore the database from last night's backup.",
             "skip.html": "<p>Backups of the database, in a format that is not indexed.</p>",
             ".hidden/secret.md": "database backup secrets"}
    for i, (name, text) in enumerate(files.items()):
        (root / name).write_text(text)
        os.utime(root / name, (T0 + i, T0 + i))
    return root


@pytest.fixture(autouse=True)
def small_embedder(monkeypatch):
    """New collections get the embedder fitted on their own texts: quick to load, and a word it
    has not seen is unknown to it. The default one is run by the README's command block."""
    monkeypatch.setattr(quorvel.cli, "default_embedder", LsaEmbedder)


@pytest.fixture
def col(tmp_path):
    return str(tmp_path / "col")


def run(capsys, *argv):
    code = main(list(argv))
    out, err = capsys.readouterr()
    return code, out, err


def documents(col):
    with Collection.open(col) as c:
        return {d.id: (d.text, d.timestamp) for d in c.documents()}


def test_index_search_and_reindex(notes, col, capsys, monkeypatch):
    monkeypatch.chdir(notes.parent)
    code, out, err = run(capsys, "index", "notes", "--collection", col, "-q")
    assert code == 0 and err == ""
    assert "3 added, 0 updated, 0 removed, 0 unchanged; 3 documents" in out
    code, out, _ = run(capsys, "search", "database backup", "-m", "limit:2", "--json", "-c", col)
    hits = json.loads(out)
    assert code == 0 and [h["id"] for h in hits] == ["backup.md", "sub/restore.md"]
    assert set(hits[0]) == {"id", "score", "snippet", "timestamp", "line", "metadata"}
    assert hits[0]["line"] == 1 and hits[0]["metadata"]["path"] == "backup.md"
    assert hits[0]["timestamp"] == T0 and hits[0]["snippet"].startswith("Nightly backups")
    code, out, _ = run(capsys, "search", "tomatoes", "-m", "limit:5", "-n", "1", "-c", col)
    table = out.splitlines()
    assert table[0].split() == ["#", "score", "id", "date", "text"] and len(table) == 2
    assert "garden.txt:1" in table[1]

    (notes / "garden.txt").write_text("Water the tomatoes every evening.")
    (notes / "backup.md").rename(notes / "sub" / "backup.md")
    code, out, _ = run(capsys, "index", "-c", col, "-q")          # the folder it mirrors
    assert code == 0 and "1 added, 1 updated, 1 removed, 1 unchanged; 3 documents" in out
    code, out, _ = run(capsys, "index", str(notes / "sub" / ".."), "-c", col, "-q")
    assert code == 0 and "0 added, 0 updated, 0 removed, 3 unchanged" in out
    assert sorted(documents(col)) == ["garden.txt", "sub/backup.md", "sub/restore.md"]


def test_passages_on_request(tmp_path, col, capsys):
    root = tmp_path / "guide"
    root.mkdir()
    (root / "guide.md").write_text("# Backups\n\n" + "Dump the database to tape every night. " * 8
                                   + "\n\n# Restores\n\n" + "Restore the database dump on a test server. " * 8)
    assert main(["index", str(root), "-c", col, "-q"]) == 0
    capsys.readouterr()
    code, out, _ = run(capsys, "search", "database", "--json", "-c", col)
    assert code == 0 and [h["id"] for h in json.loads(out)] == ["guide.md"]
    code, out, _ = run(capsys, "search", "database", "--json", "--passages", "-c", col)
    hits = json.loads(out)
    # the lead sentence (line 3) is a passage of its own before the two sections
    assert code == 0 and sorted(h["line"] for h in hits) == [1, 3, 5] and {h["id"] for h in hits} == {"guide.md"}
    code, out, _ = run(capsys, "search", "restore a dump", "-c", col)
    assert out.splitlines()[1].split()[2] == "guide.md:5"


def test_refit_on_request(notes, col, capsys, monkeypatch):
    refits = []
    monkeypatch.setattr(Collection, "refit", lambda self, **kw: refits.append(len(self)))
    assert main(["index", str(notes), "-c", col, "-q"]) == 0 and refits == []
    assert main(["index", "-c", col, "-q", "--refit"]) == 0 and refits == [3]


def test_list_info_remove(notes, col, capsys):
    assert main(["index", str(notes), "-c", col, "-q"]) == 0
    capsys.readouterr()
    code, out, _ = run(capsys, "list", "-c", col)
    assert code == 0 and out.splitlines() == ["backup.md", "garden.txt", "sub/restore.md"]
    code, out, _ = run(capsys, "info", "-c", col, "--json")
    info = json.loads(out)
    assert code == 0 and info["documents"] == 3 and info["mirrors"] == str(notes)
    assert info["embedder"].split(" x ")[0] in ("lsa", "wordllama") and info["bytes on disk"] > 0
    assert info["passages"] == 3

    code, _, err = run(capsys, "remove", "garden.txt", "nope.md", "-c", col)
    assert code == 1 and err == "quorvel: not in the collection, nothing removed: nope.md\n"
    assert len(documents(col)) == 3
    code, out, _ = run(capsys, "remove", "garden.txt", "backup.md", "-c", col)
    assert code == 0 and out == "removed 2 documents; 1 left\n"
    assert list(documents(col)) == ["sub/restore.md"]
    (notes / "sub" / "restore.md").write_text("Restore the database. " * 80)   # several passages
    assert main(["index", "-c", col, "-q"]) == 0
    capsys.readouterr()
    code, out, _ = run(capsys, "list", "-c", col)
    assert out.splitlines() == ["backup.md", "garden.txt", "sub/restore.md"]   # each document once


@pytest.mark.parametrize("argv, code, message", [
    (["search", "hello", "-n", "-1"], 2, "argument --limit/-n: must be at least 1, got -1"),
    (["search", "hello", "-n", "0"], 2, "must be at least 1, got 0"),
    (["search", "hello", "-n", "many"], 2, "not a whole number: 'many'"),
    (["frobnicate"], 2, "invalid choice: 'frobnicate'"),
    (["search", "hello", "-m", "LIMIT:1", "--strict"], 2, "the query was refused (--strict)"),
    (["index", "--embedder", "lsa"], 2, "already exists with its embedder"),
    (["search", "hello", "-c", "{tmp}/none"], 1, "no collection in {tmp}/none; run 'quorvel index"),
    (["index", "{tmp}/nowhere", "-c", "{tmp}/new"], 1, "no such folder: {tmp}/nowhere"),
    (["index", "{notes}/garden.txt", "-c", "{tmp}/new"], 1, "not a folder: {notes}/garden.txt"),
    (["index", "{tmp}/other"], 1, "mirrors the folder {notes}, not {tmp}/other"),
    (["index", "-c", "{tmp}/new"], 2, "give the folder to index"),
])
def test_user_errors_give_a_message_and_an_exit_code(notes, col, tmp_path, capsys, argv, code, message):
    (tmp_path / "other").mkdir()
    assert main(["index", str(notes), "-c", col, "-q"]) == 0
    capsys.readouterr()
    before = documents(col)
    argv = [a.format(tmp=tmp_path, notes=notes) for a in argv]
    if "-c" not in argv and argv[0] in ("search", "index"):
        argv += ["-c", col]
    got, out, err = run(capsys, *argv)
    assert got == code and message.format(tmp=tmp_path, notes=notes) in err
    assert "Traceback" not in err and documents(col) == before
    assert not (tmp_path / "new").exists()


def test_no_traceback_from_the_installed_command(notes, tmp_path):
    col = str(tmp_path / "col")
    assert main(["index", str(notes), "-c", col, "-q"]) == 0
    cmd = [sys.executable, "-m", "quorvel", "search", "hello", "-n", "-1", "-c", col]
    run_ = subprocess.run(cmd, capture_output=True, text=True, timeout=60)
    assert run_.returncode == 2 and "Traceback" not in run_.stderr and "-n" in run_.stderr
    run_ = subprocess.run(cmd[:5] + ["--json", "-c", col], capture_output=True, text=True, timeout=60)
    assert run_.returncode == 0 and run_.stdout.strip() == "[]"
    assert run_.stderr == "quorvel: note: no word of the query 'hello' is known to the collection\n"


def test_nothing_found_is_exit_0_with_notes_on_stderr(notes, col, capsys):
    assert main(["index", str(notes), "-c", col, "-q"]) == 0
    capsys.readouterr()
    code, out, err = run(capsys, "search", "tomatoes", "-m", "like:nope.md limit: 5", "-c", col)
    assert code == 0 and "garden.txt" in out
    assert err.splitlines() == [
        "quorvel: note: 'limit:' is ignored: limit needs a whole number right after the colon (limit:5)",
        "quorvel: note: unknown word '5' is ignored",
        "quorvel: note: like: 'nope.md' is not in the collection; ignored",
    ]
    code, out, err = run(capsys, "search", "xyzzy", "-c", col)
    assert code == 0 and out == "no results\n" and "no word of the query" in err


@pytest.mark.parametrize("where", ["reading", "embedding", "committing"])
@pytest.mark.parametrize("fresh", [False, True], ids=["existing", "new"])
def test_ctrl_c_during_index_leaves_the_collection_as_it_was(notes, col, capsys, monkeypatch, fresh,
                                                             where):
    if not fresh:
        assert main(["index", str(notes), "-c", col, "-q"]) == 0
        before = documents(col)
    (notes / "garden.txt").write_text("Water the tomatoes every evening.")
    (notes / "new.md").write_text("A new note about the database.")
    (notes / "backup.md").unlink()
    calls, nth = [], 2 if where == "reading" else 1
    module, name = {"reading": (quorvel.folder, "read_text"), "embedding": (quorvel.collection, "_embed_with"),
                    "committing": (quorvel.collection, "_before_commit")}[where]
    real = getattr(module, name)

    def interrupted(*args):
        calls.append(args)
        if len(calls) == nth:
            raise KeyboardInterrupt
        return real(*args)

    monkeypatch.setattr(module, name, interrupted)
    capsys.readouterr()
    code, out, err = run(capsys, "index", str(notes), "-c", col, "-q")
    assert code == 130 and err == "quorvel: interrupted; the collection is as it was\n"
    assert len(calls) == nth
    if fresh:
        assert not os.path.exists(col)
    else:
        assert documents(col) == before


def test_ctrl_c_after_the_change_says_so(notes, col, capsys, monkeypatch):
    def interrupted(self):
        raise KeyboardInterrupt

    monkeypatch.setattr(Collection, "lexical_index", interrupted)
    code, _, err = run(capsys, "index", str(notes), "-c", col, "-q")
    assert code == 130 and err == ("quorvel: interrupted after the collection was updated; its word "
                                   "index is made by the next search\n")
    monkeypatch.undo()
    assert len(documents(col)) == 3
    assert main(["search", "tomatoes", "--json", "-c", col]) == 0
    assert json.loads(capsys.readouterr().out)[0]["id"] == "garden.txt"


def test_bad_files_are_skipped_with_one_line_each_and_counted(notes, col, capsys):
    (notes / "binary.txt").write_bytes(b"\x7fELF\x02\x01\x01\0\0\0")
    (notes / "dangling.md").symlink_to(notes / "nowhere")
    (notes / "loop").symlink_to(notes)
    with open(os.fsencode(notes) + b"/na\xefve.md", "wb") as f:
        f.write(b"name not UTF-8")
    code, out, err = run(capsys, "index", str(notes), "-c", col, "-q")
    assert code == 0 and "; 3 documents, " in out and out.rstrip().endswith("; 4 skipped")
    assert sorted(err.splitlines()) == [
        "quorvel: skipped binary.txt: binary (NUL bytes)",
        "quorvel: skipped dangling.md: dangling symlink",
        "quorvel: skipped loop: symlink loop back to .",
        "quorvel: skipped na\\xefve.md: name is not UTF-8",
    ]


def test_no_control_character_from_a_file_reaches_the_terminal(tmp_path, col, capsys):
    root = tmp_path / "evil"
    root.mkdir()
    (root / "esc\x1b[2J\u202e.txt").write_text("bells \x07 and \x1b]0;title\x07 escapes \x9b31m "
                                               "in a note about tomatoes")
    (root / "plain.txt").write_text("a plain note about tomatoes")
    assert main(["index", str(root), "-c", col, "-q"]) == 0
    capsys.readouterr()
    outputs = []
    for argv in (["search", "tomatoes"], ["search", "tomatoes", "--json"], ["list"],
                 ["list", "--json"], ["remove", "esc\x1b[2J\u202e.txt", "missing\x1b"]):
        code, out, err = run(capsys, *argv, "-c", col)
        outputs.append(out + err)
    for text in outputs:
        assert not any(printable(ch) != ch for ch in text if ch != "\n"), repr(text)
    assert "esc\\x1b[2J\\u202e.txt" in outputs[0] and "\\x07" in outputs[0]
    hits = json.loads(outputs[1])
    assert {h["id"] for h in hits} == {"esc\x1b[2J\u202e.txt", "plain.txt"}   # JSON keeps the value


@pytest.mark.parametrize("text, shown", [
    ("plain text, ünïcode 中文", "plain text, ünïcode 中文"),
    ("tab\tnew\nline\r", "tab\\x09new\\x0aline\\x0d"),
    ("\x1b[31mred\x9b", "\\x1b[31mred\\x9b"),
    ("left\u202eright\u2066", "left\\u202eright\\u2066"),
    ("caf\udce9", "caf\\xe9"),
])
def test_printable(text, shown):
    assert printable(text) == shown
