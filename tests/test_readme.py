"""The README's examples stay true: its Python blocks run in order, its commands parse."""

import re
import shlex
from pathlib import Path

import pytest

from quorvel.cli import build_parser

README = Path(__file__).resolve().parent.parent / "README.md"


def blocks(language):
    return re.findall(rf"^```{language}\n(.*?)^```", README.read_text(encoding="utf-8"), re.S | re.M)


def test_python_blocks_run_in_order(tmp_path, monkeypatch, capsys):
    code = blocks("python")
    assert len(code) >= 4
    monkeypatch.chdir(tmp_path)
    namespace = {"__name__": "readme"}
    for number, block in enumerate(code, 1):
        try:
            exec(compile(block, f"README.md python block {number}", "exec"), namespace)
        except Exception as e:
            pytest.fail(f"README python block {number} failed: {e!r}\n{block}")


def test_documented_commands_parse():
    commands = [shlex.split(line) for block in blocks("sh") for line in block.splitlines()
                if line.startswith("quorvel ")]
    assert len(commands) >= 3
    parser = build_parser()
    for argv in commands:
        args = parser.parse_args(argv[1:])
        assert args.command == argv[1]
