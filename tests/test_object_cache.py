"""The build's object cache gives back an object only for the same compile:
same command, same compiler, same source, same headers."""

import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

LAUNCHER = Path(__file__).resolve().parent.parent / "cmake" / "object_cache.py"
pytestmark = pytest.mark.skipif(not LAUNCHER.exists(), reason="runs from a source tree")

# Stands in for the compiler: the object is the source and its header side
# by side, and every run is counted.
COMPILER = textwrap.dedent("""\
    #!{python}
    import sys
    from pathlib import Path
    args = sys.argv[1:]
    obj, dep, src = (args[args.index(o) + 1] for o in ("-o", "-MF", "-c"))
    header = Path(src).with_name("lanes.hpp")
    Path(obj).write_text(Path(src).read_text() + "|" + header.read_text() + "|" + " ".join(args))
    Path(dep).write_text(f"{{obj}}: {{src}} \\\\\\n  {{header}}\\n")
    with open(Path(src).with_name("runs"), "a") as runs:
        runs.write("x")
    """)


@pytest.fixture
def project(tmp_path):
    compiler = tmp_path / "cc"
    compiler.write_text(COMPILER.format(python=sys.executable))
    compiler.chmod(0o755)
    (tmp_path / "kernel.cpp").write_text("kernel")
    (tmp_path / "lanes.hpp").write_text("lanes")
    return tmp_path


def compile_once(project, *flags):
    subprocess.run([sys.executable, LAUNCHER, project / "cache", project / "cc", *flags,
                    "-o", project / "kernel.o", "-MF", project / "kernel.d",
                    "-c", project / "kernel.cpp"], check=True)
    runs = (project / "runs").read_text().count("x")
    return (project / "kernel.o").read_text(), runs


@pytest.mark.parametrize("change, compiles", [
    (lambda p: None, False),
    (lambda p: (p / "kernel.cpp").write_text("kernel, changed"), True),
    (lambda p: (p / "lanes.hpp").write_text("lanes, changed"), True),
    ("-O3", True),
], ids=["nothing", "source", "header", "flags"])
def test_an_object_is_reused_only_for_the_same_compile(project, change, compiles):
    first, _ = compile_once(project, "-O2")
    (project / "kernel.o").unlink()
    flags = ["-O2"]
    if isinstance(change, str):
        flags = [change]
    else:
        change(project)
    second, runs = compile_once(project, *flags)
    assert runs == (2 if compiles else 1)
    # Whatever was reused is what the compiler would have made now.
    (project / "cache").rename(project / "gone")
    assert compile_once(project, *flags)[0] == second
    assert (second == first) == (not compiles)
