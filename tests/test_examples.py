"""Every script in examples/ runs headless and writes its picture.

Each script is run in a subprocess, as a user would run it, with the Agg
backend and ``--output`` pointing into a temporary directory; the file must be
a PNG of a plausible size. A script whose optional dependency is missing is
skipped with the reason.
"""

import importlib.util
import os
import pathlib
import struct
import subprocess
import sys

import pytest

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"
SCRIPTS = sorted(p.name for p in EXAMPLES.glob("*.py")) if EXAMPLES.is_dir() else []

# What each script needs beyond NumPy and torvelin (matplotlib: all of them).
NEEDS = {
    "xarray_dataset.py": ["xarray"],
    "dask_scaleout.py": ["distributed"],
}

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"

if os.environ.get("TORVELIN_SANITIZED"):
    # The example processes inherit the preloaded sanitizer runtime, and the leak
    # checker reports the one-time allocations of matplotlib's own extension
    # modules (_image, contourpy) at their exit.
    pytest.skip("under the sanitizers the leak checker reports allocations of matplotlib's "
                "extension modules in the example processes", allow_module_level=True)


def test_examples_found():
    if not EXAMPLES.is_dir():
        pytest.skip(f"{EXAMPLES} is not there (tests run outside the source tree)")
    assert {"quickstart.py", "line_currents.py", "magnetic_islands.py",
            "streamplot_comparison.py", "xarray_dataset.py", "dask_scaleout.py"} <= set(SCRIPTS)


@pytest.mark.parametrize("script", SCRIPTS)
def test_example_writes_png(script, tmp_path):
    for module in ["matplotlib", *NEEDS.get(script, [])]:
        if importlib.util.find_spec(module) is None:
            pytest.skip(f"{script} needs {module}, which is not installed "
                        "(python -m pip install '.[examples]')")
    output = tmp_path / "picture.png"
    env = dict(os.environ, MPLBACKEND="Agg")
    proc = subprocess.run([sys.executable, str(EXAMPLES / script), "--output", str(output)],
                          cwd=tmp_path, env=env, capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0, f"exit {proc.returncode}\n{proc.stdout}\n{proc.stderr}"
    assert f"wrote {output}" in proc.stdout
    data = output.read_bytes()
    assert data[:8] == PNG_SIGNATURE
    assert data[12:16] == b"IHDR"
    width, height = struct.unpack(">II", data[16:24])
    assert 300 <= width <= 3000 and 200 <= height <= 3000, (width, height)
    assert len(data) > 10_000  # more than an empty canvas
    # Nothing else written beside it: the scripts write where they are told.
    assert sorted(p.name for p in tmp_path.iterdir()) == ["picture.png"]
