"""The module object, its functions' metadata, and the internal-failure exception type."""

import inspect
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import _quorvel

from conftest import internal_failure


def test_module_attributes():
    assert _quorvel.__all__ == ["parse_modifiers", "score_candidates", "mmr_select_py"]
    assert _quorvel.__doc__ == ""
    for name in _quorvel.__all__:
        fn = getattr(_quorvel, name)
        assert fn.__module__ == "_quorvel"
        assert fn.__self__ is _quorvel
        assert fn.__name__ == name


def test_signatures():
    sig = inspect.signature(_quorvel.score_candidates)
    assert list(sig.parameters) == [
        "matrix", "ids", "id_to_idx", "query_vec", "timestamps", "pre_filter_ids", "not_like_vec",
        "diverse", "limit", "oversample", "threshold", "mmr_lambda", "recent", "recent_days",
        "like_ids", "traj_from_vec", "traj_to_vec", "mask"]
    defaults = {k: p.default for k, p in sig.parameters.items() if p.default is not p.empty}
    assert defaults == {"timestamps": None, "pre_filter_ids": None, "not_like_vec": None,
                        "diverse": False, "limit": 10, "oversample": 200, "threshold": 0.0,
                        "mmr_lambda": 0.7, "recent": False, "recent_days": None, "like_ids": None,
                        "traj_from_vec": None, "traj_to_vec": None, "mask": None}
    assert _quorvel.parse_modifiers.__text_signature__ == "(modifier_str=None)"
    assert _quorvel.mmr_select_py.__text_signature__ == "(candidates, similarities, matrix, k, lambda_)"


def test_docstrings():
    assert _quorvel.mmr_select_py.__doc__ == (
        "MMR: iteratively select for relevance minus redundancy.\n"
        "Returns list of (index, mmr_score) tuples.")
    assert _quorvel.parse_modifiers.__doc__ == (
        "Parse a modifier string into modulation parameters.\n\n"
        "Returns a dict with keys: recent, recent_days, unlike, diverse, limit,\n"
        "like, trajectory_from, trajectory_to, local_communities.")
    doc = _quorvel.score_candidates.__doc__.split("\n")
    # The signature line and "--" are consumed as the text signature.
    assert len(doc) == 25
    assert doc[0] == "Score and select candidates with composable landscape modulations."
    assert doc[2] == "All text\u2192vector conversions must be done in Python before calling."
    assert doc[6] == "    matrix: Normalized embedding matrix (n, dims), float32."
    assert doc[22] == "    traj_to_vec: Optional trajectory end vector."
    assert doc[24] == "Returns list of dicts with 'id' and 'score' keys."
    assert all(line.startswith("    ") for line in doc[6:23])
    assert [doc[i] for i in (1, 4, 23)] == ["", "", ""]


def test_reimport_returns_same_module():
    first = _quorvel
    del sys.modules["_quorvel"]
    import _quorvel as again
    assert again is first
    assert again.__all__ == ["parse_modifiers", "score_candidates", "mmr_select_py"]


def test_internal_failure_is_base_exception():
    m = np.eye(2, dtype=np.float32)
    with pytest.raises(BaseException) as info:
        _quorvel.mmr_select_py([5], np.ones(2, np.float32), m, 1, 0.5)
    assert internal_failure(info.value)
    assert not isinstance(info.value, Exception)
    assert type(info.value).__bases__ == (BaseException,)
    assert info.value.args == ("assertion failed: index < dim",)
    assert not hasattr(_quorvel, "InternalFailure")


def test_internal_failure_reports_on_stderr(capfd):
    m = np.eye(2, dtype=np.float32)
    with pytest.raises(BaseException):
        _quorvel.mmr_select_py([5], np.ones(2, np.float32), m, 1, 0.5)
    err = capfd.readouterr().err
    assert "assertion failed: index < dim" in err
    assert ".cpp:" in err  # the source location of the failure


def run_python(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=120)


def test_second_interpreter_is_refused():
    # A "legacy" interpreter lets single-phase modules load, so the module's own check answers.
    proc = run_python("""
        import _quorvel
        import _interpreters
        for config in ("legacy", "isolated"):
            interp = _interpreters.create(_interpreters.new_config(config))
            err = _interpreters.run_string(interp, "import _quorvel")
            print(err.type.__name__, err.msg)
            _interpreters.destroy(interp)
    """)
    assert proc.returncode == 0, proc.stderr
    legacy, isolated = proc.stdout.splitlines()
    assert legacy.startswith("ImportError _quorvel does not yet support sub-interpreters")
    assert isolated.startswith("ImportError")


def test_numpy_missing_is_internal_failure():
    proc = run_python("""
        import sys
        sys.modules["numpy"] = None
        import _quorvel
        try:
            _quorvel.mmr_select_py([], object(), None, 1, 0.5)
        except BaseException as e:
            print(type(e).__module__, type(e).__name__, isinstance(e, Exception))
            print(e.args[0].splitlines()[0])
        try:
            _quorvel.score_candidates(None, [], {}, None)
        except BaseException as e:
            print(type(e).__name__)
    """)
    lines = proc.stdout.splitlines()
    assert lines[0] == "native_runtime InternalFailure False", proc.stdout + proc.stderr
    assert lines[1].startswith("Failed to access NumPy array API capsule: ")
    assert lines[2] == "InternalFailure"  # not cached: tried again, failing again


def test_import_imports_nothing():
    proc = run_python("""
        import sys
        before = set(sys.modules)
        import _quorvel
        print(sorted(set(sys.modules) - before - {"_quorvel"}))
    """)
    assert proc.stdout.strip() == "[]", proc.stdout + proc.stderr
