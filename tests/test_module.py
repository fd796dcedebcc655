"""Module object, function objects, documentation and signatures."""

import ast
import importlib.util
import inspect
import os
import subprocess
import sys
import textwrap
import types
from pathlib import Path

import pytest

import torvelin
from conftest import FIND_KEYWORD_ONLY, FIND_POSITIONAL, TRACE_PARAMS

TRACE_SIGNATURE = "(xmin, xmax, ymin, ymax, nx, ny, bx, by, seeds, step, max_steps)"
FIND_SIGNATURE = (
    "(data, var1, var2, *, x1=None, x2=None, x0=None, y0=None, maxstep=None, "
    "numsteps=None, step=None, rtol=None, atol=None, order=None, dense=None, "
    "close=None, ctol=None, text=False, transpose=False)"
)

TRACE_DOC_LINES = [
    "Trace field lines on a 2D vector grid.",
    "",
    "Parameters:",
    "- `py`: Python interpreter token (provided automatically).",
    "- `xmin`, `xmax`, `ymin`, `ymax`: domain bounds.",
    "- `nx`, `ny`: number of grid points in each direction.",
    "- `bx`, `by`: flattened Bx and By components of shape (nx * ny).",
    "- `seeds`: list of (x, y) seed points.",
    "- `step`: integration step size.",
    "- `max_steps`: maximum number of RK4 steps per seed.",
    "",
    "Returns a 3\u2011D NumPy array of shape (num_seeds, max_steps + 1, 2) containing the",
    "traced points. Unused entries are filled with NaN.",
]

FUNCTIONS = ["trace_fieldlines", "find_fieldlines"]


def test_module_doc_and_all():
    assert torvelin.__doc__ == "Python module definition."
    assert type(torvelin.__all__) is list
    assert torvelin.__all__ == FUNCTIONS


def test_exactly_the_public_attributes():
    # Everything that is not a dunder set by the import system must be one of the
    # two functions, added in this order.
    own = [name for name in vars(torvelin) if not (name.startswith("__") and name.endswith("__"))]
    assert own == FUNCTIONS
    dunders = {name for name in vars(torvelin) if name.startswith("__")}
    assert dunders <= {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__", "__all__"}


def test_no_panic_exception_attribute():
    assert not hasattr(torvelin, "PanicException")
    assert "PanicException" not in dir(torvelin)


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_object(name):
    func = getattr(torvelin, name)
    assert isinstance(func, types.BuiltinFunctionType)
    assert func.__name__ == name
    assert func.__qualname__ == name
    assert func.__self__ is torvelin
    assert func.__module__ == "torvelin"


def test_trace_doc_is_exact():
    doc = torvelin.trace_fieldlines.__doc__
    assert doc == "\n".join(TRACE_DOC_LINES)
    assert not doc.endswith("\n")
    assert len(doc.split("\n")) == 13
    assert "3\u2011D" in doc
    assert "3-D" not in doc


def test_find_doc_is_none():
    assert torvelin.find_fieldlines.__doc__ is None


@pytest.mark.parametrize(
    "name, expected",
    [("trace_fieldlines", TRACE_SIGNATURE), ("find_fieldlines", FIND_SIGNATURE)],
)
def test_text_signature(name, expected):
    func = getattr(torvelin, name)
    assert func.__text_signature__ == expected
    assert str(inspect.signature(func)) == expected


def stub_signature(name):
    """The signature the type stubs declare for `name`, without annotations."""
    # The stubs as installed beside the module (or in the source tree when
    # the tests run from there): where type checkers find them.
    stubs = next((Path(entry) / "torvelin-stubs" / "__init__.pyi" for entry in sys.path
                  if (Path(entry) / "torvelin-stubs" / "__init__.pyi").is_file()), None)
    assert stubs is not None, "the torvelin-stubs package is not installed"
    tree = ast.parse(stubs.read_text(encoding="utf-8"))
    func = next(n for n in tree.body if isinstance(n, ast.FunctionDef) and n.name == name)
    args = func.args
    kind = inspect.Parameter
    positional = args.posonlyargs + args.args
    defaults = [kind.empty] * (len(positional) - len(args.defaults)) + args.defaults
    params = [kind(a.arg,
                   kind.POSITIONAL_ONLY if a in args.posonlyargs else kind.POSITIONAL_OR_KEYWORD,
                   default=d if d is kind.empty else ast.literal_eval(d))
              for a, d in zip(positional, defaults)]
    params += [kind(a.arg, kind.KEYWORD_ONLY,
                    default=kind.empty if d is None else ast.literal_eval(d))
               for a, d in zip(args.kwonlyargs, args.kw_defaults)]
    return inspect.Signature(params)


@pytest.mark.parametrize("name", ["trace_fieldlines", "find_fieldlines"])
def test_stubs_declare_the_signature_the_module_has(name):
    assert stub_signature(name) == inspect.signature(getattr(torvelin, name))


def test_trace_inspect_signature():
    params = list(inspect.signature(torvelin.trace_fieldlines).parameters.values())
    assert [p.name for p in params] == TRACE_PARAMS
    for p in params:
        assert p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
        assert p.default is inspect.Parameter.empty


def test_find_inspect_signature():
    params = list(inspect.signature(torvelin.find_fieldlines).parameters.values())
    assert [p.name for p in params] == FIND_POSITIONAL + FIND_KEYWORD_ONLY
    for p in params[:3]:
        assert p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
        assert p.default is inspect.Parameter.empty
    for p in params[3:]:
        assert p.kind is inspect.Parameter.KEYWORD_ONLY
        expected = False if p.name in ("text", "transpose") else None
        assert p.default is expected, p.name


# Runs in a fresh interpreter, so that nothing this process has done counts.
SUBINTERPRETER = textwrap.dedent(
    """
    import textwrap
    import numpy as np
    import torvelin
    try:
        import _interpreters as interpreters          # 3.13 and newer
    except ImportError:
        import _xxsubinterpreters as interpreters     # 3.11 and 3.12

    def trace():
        out = torvelin.trace_fieldlines(0.0, 1.0, 0.0, 1.0, 2, 2, np.ones(4), np.zeros(4),
                                        [(0.25, 0.5)], 0.25, 2)
        return out.tolist()

    print(trace(), flush=True)
    run = getattr(interpreters, "exec", None) or interpreters.run_string
    sub = interpreters.create()
    run(sub, textwrap.dedent('''
        try:
            import torvelin
        except ImportError as exc:
            print("ImportError", flush=True)
            print(exc, flush=True)
        else:
            print("imported", flush=True)
    '''))
    interpreters.destroy(sub)
    print(trace(), flush=True)
    """
)


@pytest.mark.skipif(not any(importlib.util.find_spec(name)
                            for name in ("_interpreters", "_xxsubinterpreters")),
                    reason="this interpreter offers no subinterpreters")
def test_a_subinterpreter_cannot_import_the_module():
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "PYTHONHOME")}
    proc = subprocess.run([sys.executable, "-c", SUBINTERPRETER], capture_output=True, text=True,
                          timeout=60, env=env)
    assert proc.returncode == 0, proc.stderr
    before, refused, message, after = proc.stdout.splitlines()
    assert before == after == str([[[0.25, 0.5], [0.5, 0.5], [0.75, 0.5]]])
    assert refused == "ImportError"
    assert "torvelin" in message and "interpreter" in message
