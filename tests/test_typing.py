"""The type stubs shipped in the torvelin-stubs package, checked with mypy.

Every snippet below becomes a module of its own; one mypy run checks them all
against the installed package (its stubs are found in site-packages, as a user's
type checker finds them). Correct calls must pass `--strict`; each wrong call
must be reported on its marked line with the expected error code. stubtest then
compares the stubs with the runtime signatures of the compiled module.
"""

import importlib.util
import os
import re
import subprocess
import sys
import textwrap

import pytest

# Looked up, not imported: the checker runs in subprocesses only.
if importlib.util.find_spec("mypy") is None:
    pytest.skip("mypy is not installed (it comes with the 'test' extra)", allow_module_level=True)

PRELUDE = """\
import types
from typing import Any
import numpy as np
from numpy.typing import NDArray
import torvelin
bx: NDArray[np.float64] = np.zeros(16)
ds = types.SimpleNamespace(x1=np.linspace(0.0, 1.0, 4), x2=[0, 1, 2, 3],
                           bx=bx.reshape(4, 4), by=bx)
"""

# Calls that must type-check.
GOOD = {
    "trace_plain": """
        out: NDArray[np.float64] = torvelin.trace_fieldlines(
            0.0, 1.0, 0.0, 1.0, 4, 4, bx, bx, [(0.5, 0.5)], 0.1, 10)
    """,
    "trace_loose_numbers": """
        # ints, NumPy scalars for bounds, sizes and seed coordinates; a tuple of seeds
        out = torvelin.trace_fieldlines(
            0, np.float32(1), np.int64(0), 1, np.int64(4), 4, bx, bx,
            ((1, np.float32(0.5)),), 1, np.uint8(3))
    """,
    "trace_keywords": """
        out = torvelin.trace_fieldlines(
            xmin=0, xmax=1, ymin=0, ymax=1, nx=4, ny=4, bx=bx, by=bx,
            seeds=[(0.5, 0.5)], step=0.1, max_steps=10)
    """,
    "find_names": """
        lines: list[list[NDArray[np.float64]]] = torvelin.find_fieldlines(
            ds, "bx", "by", x0=[0.5], y0=np.array([0.5]))
        x, y = lines[0]
        first: float = float(x[0])
    """,
    "find_all_options": """
        lines = torvelin.find_fieldlines(
            ds, bx.reshape(4, 4), range(16), x1=(0, 1, 2, 3), x2=np.arange(4),
            x0=np.float64(0.5), y0=b"\\x01", maxstep=1, numsteps=np.int64(100),
            step=0.1, rtol=None, atol=1e-9, order="rk4", dense=True,
            close=np.True_, ctol=1e-3, text=False, transpose=np.bool_(False))
    """,
    "find_keywords": """
        lines = torvelin.find_fieldlines(data=None, var1=[0.0] * 16, var2=bx,
                                         x1=[0.0, 1.0], x2=[0.0, 1.0], x0=[], y0=[])
    """,
    "module_all": """
        names: list[str] = torvelin.__all__
    """,
}

# Wrong calls: (snippet, error code or codes that mypy's versions give). The
# error must be on the line marked `# E`.
BAD = {
    "trace_step_str": ("""
        torvelin.trace_fieldlines(0, 1, 0, 1, 4, 4, bx, bx, [(0.5, 0.5)], "0.1", 10)  # E
    """, "arg-type"),
    "trace_bx_list": ("""
        torvelin.trace_fieldlines(0, 1, 0, 1, 4, 4, [0.0] * 16, bx, [(0.5, 0.5)], 0.1, 10)  # E
    """, "arg-type"),
    "trace_by_float32": ("""
        by32: NDArray[np.float32] = np.zeros(16, dtype=np.float32)
        torvelin.trace_fieldlines(0, 1, 0, 1, 4, 4, bx, by32, [(0.5, 0.5)], 0.1, 10)  # E
    """, "arg-type"),
    "trace_nx_float": ("""
        torvelin.trace_fieldlines(0, 1, 0, 1, 4.0, 4, bx, bx, [(0.5, 0.5)], 0.1, 10)  # E
    """, "arg-type"),
    "trace_max_steps_float": ("""
        torvelin.trace_fieldlines(0, 1, 0, 1, 4, 4, bx, bx, [(0.5, 0.5)], 0.1, 10.0)  # E
    """, "arg-type"),
    "trace_seed_list": ("""
        torvelin.trace_fieldlines(0, 1, 0, 1, 4, 4, bx, bx, [[0.5, 0.5]], 0.1, 10)  # E
    """, "list-item"),
    "trace_seed_triple": ("""
        seeds = [(0.5, 0.5, 0.5)]
        torvelin.trace_fieldlines(0, 1, 0, 1, 4, 4, bx, bx, seeds, 0.1, 10)  # E
    """, "arg-type"),
    "trace_missing_argument": ("""
        torvelin.trace_fieldlines(0, 1, 0, 1, 4, 4, bx, bx, [(0.5, 0.5)], 0.1)  # E
    """, "call-arg"),
    "trace_result_not_int": ("""
        out: NDArray[np.int64] = torvelin.trace_fieldlines(  # E
            0, 1, 0, 1, 4, 4, bx, bx, [(0.5, 0.5)], 0.1, 10)
    """, "assignment"),
    "find_bare_float_footpoint": ("""
        torvelin.find_fieldlines(ds, "bx", "by", x0=0.5, y0=[0.5])  # E
    """, "arg-type"),
    "find_nested_list": ("""
        torvelin.find_fieldlines(ds, "bx", [[0.0] * 4] * 4, x0=[0.5], y0=[0.5])  # E
    """, "list-item"),
    "find_fourth_positional": ("""
        torvelin.find_fieldlines(ds, "bx", "by", [0.0, 1.0], x0=[0.5], y0=[0.5])  # E
    """, ("call-arg", "misc")),  # "Too many positional arguments": [misc] before mypy 2
    "find_unknown_keyword": ("""
        torvelin.find_fieldlines(ds, "bx", "by", x0=[0.5], y0=[0.5], tol=1e-3)  # E
    """, "call-arg"),
    "find_step_str": ("""
        torvelin.find_fieldlines(ds, "bx", "by", x0=[0.5], y0=[0.5], step="0.1")  # E
    """, "arg-type"),
    "find_numsteps_float": ("""
        torvelin.find_fieldlines(ds, "bx", "by", x0=[0.5], y0=[0.5], numsteps=100.0)  # E
    """, "arg-type"),
    "find_close_int": ("""
        torvelin.find_fieldlines(ds, "bx", "by", x0=[0.5], y0=[0.5], close=1)  # E
    """, "arg-type"),
    "find_text_none": ("""
        torvelin.find_fieldlines(ds, "bx", "by", x0=[0.5], y0=[0.5], text=None)  # E
    """, "arg-type"),
    "find_order_int": ("""
        torvelin.find_fieldlines(ds, "bx", "by", x0=[0.5], y0=[0.5], order=4)  # E
    """, "arg-type"),
    "find_result_not_array": ("""
        lines = torvelin.find_fieldlines(ds, "bx", "by", x0=[0.5], y0=[0.5])
        x: list[float] = lines[0][0]  # E
    """, "assignment"),
    "unknown_attribute": ("""
        torvelin.trace_fieldline  # E
    """, "attr-defined"),
}

ERROR_LINE = re.compile(r"^(?P<file>[\w.]+\.py):(?P<line>\d+): error: .*\[(?P<code>[\w-]+)\]$")


def _module_text(snippet):
    return PRELUDE + textwrap.dedent(snippet).lstrip("\n")


@pytest.fixture(scope="module")
def mypy_report(tmp_path_factory):
    """Run mypy once over every snippet; map file name -> list of (line, code)."""
    root = tmp_path_factory.mktemp("typing")
    files = []
    for name, snippet in GOOD.items():
        (root / f"good_{name}.py").write_text(_module_text(snippet))
        files.append(f"good_{name}.py")
    for name, (snippet, _) in BAD.items():
        (root / f"bad_{name}.py").write_text(_module_text(snippet))
        files.append(f"bad_{name}.py")
    cmd = [sys.executable, "-m", "mypy", "--strict", "--no-error-summary",
           "--show-error-codes", "--no-pretty", "--no-color-output",
           "--cache-dir", str(root / ".mypy_cache"), "--config-file", os.devnull, *files]
    # A clean environment for the checker: it reads the stubs only, never the
    # compiled module, so nothing preloaded for the module under test applies.
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "MYPYPATH")}
    proc = subprocess.run(cmd, cwd=root, capture_output=True, text=True, env=env, timeout=600)
    errors = {}
    for line in proc.stdout.splitlines():
        m = ERROR_LINE.match(line.strip())
        if m:
            errors.setdefault(m["file"], []).append((int(m["line"]), m["code"]))
    if proc.returncode not in (0, 1) or (proc.returncode == 1 and not errors):
        pytest.fail(f"mypy did not run (exit {proc.returncode}):\n{proc.stdout}\n{proc.stderr}")
    return root, errors, proc.stdout


@pytest.mark.parametrize("name", GOOD)
def test_correct_call_passes_strict(mypy_report, name):
    root, errors, output = mypy_report
    mine = [ln for ln in output.splitlines() if ln.startswith(f"good_{name}.py:")]
    assert mine == [], "\n".join(mine)
    assert f"good_{name}.py" not in errors


@pytest.mark.parametrize("name", BAD)
def test_wrong_call_is_reported(mypy_report, name):
    root, errors, output = mypy_report
    snippet, codes = BAD[name]
    codes = (codes,) if isinstance(codes, str) else codes
    text = (root / f"bad_{name}.py").read_text().splitlines()
    marked = [i + 1 for i, ln in enumerate(text) if ln.endswith("# E")]
    assert len(marked) == 1
    found = errors.get(f"bad_{name}.py", [])
    assert any((marked[0], code) in found for code in codes), (
        f"expected [{' or '.join(codes)}] on line {marked[0]}, mypy said:\n"
        + "\n".join(ln for ln in output.splitlines() if ln.startswith(f"bad_{name}.py:")))
    # Nothing else in the snippet is flagged: the error is the call's own.
    assert {line for line, _ in found} == {marked[0]}


@pytest.mark.skipif(bool(os.environ.get("TORVELIN_SANITIZED")),
                    reason="stubtest would load the checker's own extension modules under the "
                           "leak checker, which the sanitized module needs preloaded")
def test_stubs_match_runtime_signatures(tmp_path):
    """stubtest imports the compiled module and compares every parameter's
    name, kind and default, and the module's public names, with the stubs."""
    env = {k: v for k, v in os.environ.items() if k != "MYPYPATH"}
    proc = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "torvelin",
         "--mypy-config-file", os.devnull],
        cwd=tmp_path, capture_output=True, text=True, env=env, timeout=600)
    assert proc.returncode == 0, proc.stdout + proc.stderr
