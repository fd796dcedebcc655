"""NumPy is located at run time, on first need, and a failure is not remembered."""

import os
import subprocess
import sys
import textwrap

import torvelin

# Runs in a fresh interpreter. argv[1] is a directory that holds only a link to
# the extension, so that torvelin stays importable while NumPy's directory is
# taken off sys.path.
HIDDEN_NUMPY = textwrap.dedent(
    r"""
    import importlib
    import importlib.util
    import os
    import sys
    import types

    link_dir = sys.argv[1]
    numpy_dir = os.path.dirname(os.path.dirname(importlib.util.find_spec("numpy").origin))
    saved = list(sys.path)
    sys.path[:] = [link_dir] + [
        p for p in saved if os.path.realpath(p or os.getcwd()) != os.path.realpath(numpy_dir)
    ]
    importlib.invalidate_caches()

    try:
        import numpy
    except ModuleNotFoundError as exc:
        assert str(exc) == "No module named 'numpy'", str(exc)
    else:
        raise AssertionError("numpy is still importable")

    import torvelin
    assert os.path.dirname(torvelin.__file__) == link_dir, torvelin.__file__
    assert "numpy" not in sys.modules

    PREFIX = "Failed to access NumPy array API capsule: "
    field = [0.0, 0.0, 0.0, 0.0]
    args = (0.0, 1.0, 0.0, 1.0, 2, 2, field, field, [(0.5, 0.5)], 0.1, 1)
    data = types.SimpleNamespace(x1=[0.0, 1.0, 2.0], x2=[0.0, 1.0], bx=[0.0] * 6, by=[0.0] * 6)

    def expect_panic(call):
        try:
            call()
        except Exception as exc:
            raise AssertionError(f"ordinary exception instead of a fault: {exc!r}")
        except BaseException as exc:
            assert type(exc).__name__ == "PanicException", repr(exc)
            assert exc.args == (str(exc),)
            message = str(exc)
            assert message.startswith(PREFIX), message
            assert "ModuleNotFoundError" in message, message
            assert "No module named 'numpy'" in message, message
            return
        raise AssertionError("the call succeeded without numpy")

    # twice: the failure is not remembered, the second call tries again and fails again
    expect_panic(lambda: torvelin.trace_fieldlines(*args))
    expect_panic(lambda: torvelin.trace_fieldlines(*args))
    expect_panic(lambda: torvelin.find_fieldlines(data, "bx", "by", x0=[], y0=[]))

    # binding errors do not need numpy
    try:
        torvelin.trace_fieldlines(*args, 0)
    except TypeError as exc:
        assert str(exc) == "trace_fieldlines() takes 11 positional arguments but 12 were given", str(exc)
    else:
        raise AssertionError("12 positional arguments were accepted")

    # NumPy becomes importable: the very same calls now get past the array checks
    sys.path[:] = saved
    importlib.invalidate_caches()
    try:
        torvelin.trace_fieldlines(*args)
    except TypeError as exc:
        assert str(exc) == "argument 'bx': 'list' object is not an instance of 'ndarray'", str(exc)
    else:
        raise AssertionError("a list was accepted as an array")
    assert torvelin.find_fieldlines(data, "bx", "by", x0=[], y0=[]) == []

    import numpy as np
    out = torvelin.trace_fieldlines(*args[:6], np.zeros(4), np.zeros(4), *args[8:])
    assert out.shape == (1, 2, 2)
    assert out.tolist() == [[[0.5, 0.5], [0.5, 0.5]]]
    print("OK")
    """
)


def run(code, *argv):
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "PYTHONHOME")}
    return subprocess.run(
        [sys.executable, "-c", code, *argv], capture_output=True, text=True, timeout=60, env=env
    )


def test_hidden_numpy_faults_then_recovers(tmp_path):
    link = tmp_path / os.path.basename(torvelin.__file__)
    link.symlink_to(torvelin.__file__)
    proc = run(HIDDEN_NUMPY, str(tmp_path))
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert proc.stdout.strip() == "OK"
    # each fault leaves its diagnostic on stderr
    assert proc.stderr.count("Failed to access NumPy array API capsule: ") >= 3


def test_import_does_not_import_numpy():
    proc = run(
        "import sys, torvelin; print('numpy' in sys.modules)"
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["False"]
