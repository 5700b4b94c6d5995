"""The README's examples stay true: each Python block runs on its own, twice in the same folder;
the command-line block runs as written, twice, with every command succeeding."""

import os
import re
import shlex
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from quorvel.cli import build_parser

README = Path(__file__).resolve().parent.parent / "README.md"


def blocks(language):
    return re.findall(rf"^```{language}\n(.*?)^```", README.read_text(encoding="utf-8"), re.S | re.M)


PYTHON_BLOCKS = blocks("python")
COMMAND_BLOCKS = [b for b in blocks("sh") if re.search(r"^quorvel ", b, re.M)]


def test_the_readme_has_its_examples():
    assert len(PYTHON_BLOCKS) >= 5 and len(COMMAND_BLOCKS) >= 1


@pytest.mark.parametrize("number", range(1, len(PYTHON_BLOCKS) + 1))
def test_python_block_runs_on_its_own_twice(number, tmp_path, monkeypatch, capsys):
    block = PYTHON_BLOCKS[number - 1]
    monkeypatch.chdir(tmp_path)
    for attempt in (1, 2):
        namespace = {"__name__": "readme"}   # nothing carried over from another block or run
        try:
            exec(compile(block, f"README.md python block {number}", "exec"), namespace)
        except Exception as e:
            pytest.fail(f"README python block {number}, run {attempt}, failed: {e!r}\n{block}")
    assert os.listdir(tmp_path) == [], "a block leaves files behind"


def test_documented_commands_parse():
    commands = [shlex.split(line, comments=True) for block in COMMAND_BLOCKS
                for line in block.splitlines() if line.startswith("quorvel ")]
    assert len(commands) >= 5
    parser = build_parser()
    for argv in commands:
        args = parser.parse_args(argv[1:])
        assert args.command == argv[1]


def test_command_blocks_run_as_written_twice(tmp_path):
    command = Path(sys.executable).with_name("quorvel")
    if not command.exists():
        command = shutil.which("quorvel")
    if command is None:
        pytest.skip("the quorvel command is not installed")
    env = dict(os.environ, PATH=f"{Path(command).parent}{os.pathsep}{os.environ.get('PATH', '')}")
    script = "set -e\n" + "".join(COMMAND_BLOCKS)   # in order: the first makes the collection
    for attempt in (1, 2):
        run = subprocess.run(["bash", "-c", script], cwd=tmp_path, env=env, capture_output=True,
                             text=True, timeout=120)
        assert run.returncode == 0, f"run {attempt}:\n{run.stdout}\n{run.stderr}"
        assert "Traceback" not in run.stderr
    assert "backup.md" in run.stdout
