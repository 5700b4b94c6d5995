"""The installed package's type information, as mypy and pyright find it from site-packages."""

import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

HERE = Path(__file__).parent / "typing"
MARKED = {i for i, line in enumerate((HERE / "ill_typed.py").read_text().splitlines(), 1)
          if line.endswith("# error")}


def mypy(path: Path) -> list[str]:
    return [sys.executable, "-m", "mypy", "--no-incremental", "--strict", str(path)]


def pyright(path: Path) -> list[str]:
    return [sys.executable, "-m", "pyright", "--pythonpath", sys.executable, str(path)]


def error_lines(command, name: str, cwd: Path) -> tuple[int, set[int], str]:
    # Without the sanitizer runtime that a sanitized test run preloads: the checkers are not ours.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    run = subprocess.run(command(cwd / name), cwd=cwd, env=env, capture_output=True, text=True, timeout=300)
    out = run.stdout + run.stderr
    lines = {int(m) for m in re.findall(rf"{re.escape(name)}:(\d+):[\d: -]*error", out)}
    return run.returncode, lines, out


@pytest.mark.parametrize("checker", [mypy, pyright], ids=["mypy", "pyright"])
def test_checkers_find_the_stubs_of_the_installed_package(checker, tmp_path):
    pytest.importorskip(checker.__name__)
    # Copied out of the source tree so that only what is installed can be found.
    for name in ("well_typed.py", "ill_typed.py"):
        shutil.copy(HERE / name, tmp_path / name)
    code, lines, out = error_lines(checker, "well_typed.py", tmp_path)
    assert code == 0 and not lines, out
    code, lines, out = error_lines(checker, "ill_typed.py", tmp_path)
    assert code != 0 and lines == MARKED, out
