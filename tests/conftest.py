import contextlib
import io
import math
import operator
import os
import re
import types

import numpy as np
import pytest

import torvelin
from reference import Grid, trace_line

# Set by the sanitizer stage of CI. The address sanitizer's allocator aborts
# the process where an allocation fails (it cannot make operator new throw),
# and its quarantine of freed memory makes the process's size meaningless.
SANITIZED = bool(os.environ.get("TORVELIN_SANITIZED"))


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "exhausts_memory: the test makes an allocation fail on purpose")
    config.addinivalue_line(
        "markers", "measures_process_memory: the test reads the process's memory use")


def pytest_collection_modifyitems(config, items):
    if not SANITIZED:
        return
    reasons = {
        "exhausts_memory": "the address sanitizer aborts on a failed allocation",
        "measures_process_memory": "the address sanitizer holds freed memory back",
    }
    for item in items:
        for marker, reason in reasons.items():
            if marker in item.keywords:
                item.add_marker(pytest.mark.skip(reason=reason))


class Discard(io.TextIOBase):
    """A stream that forgets what it is given (fault diagnostics are noise in
    tests that provoke faults on purpose)."""

    def write(self, text):
        return len(text)


def _panic_exception_type():
    # The type is not a module attribute: provoke a fault (nx = 1) to get it.
    with contextlib.redirect_stderr(Discard()):
        try:
            torvelin.trace_fieldlines(0, 1, 0, 1, 1, 2, np.zeros(2), np.zeros(2), [], 0.1, 1)
        except BaseException as exc:  # noqa: BLE001
            return type(exc)
    raise AssertionError("nx = 1 did not fault")


PanicException = _panic_exception_type()


# --- the two signatures --------------------------------------------------------

TRACE_PARAMS = ["xmin", "xmax", "ymin", "ymax", "nx", "ny", "bx", "by", "seeds", "step",
                "max_steps"]
FIND_POSITIONAL = ["data", "var1", "var2"]
FIND_KEYWORD_ONLY = ["x1", "x2", "x0", "y0", "maxstep", "numsteps", "step", "rtol", "atol",
                     "order", "dense", "close", "ctol", "text", "transpose"]

# Plain Python functions of the same signatures: CPython's own binding of a
# call to them is the oracle for the module's binding messages, which name
# the function by its qualified name.
def _plain_trace(xmin, xmax, ymin, ymax, nx, ny, bx, by, seeds, step, max_steps):
    pass


def _plain_find(data, var1, var2, *, x1=None, x2=None, x0=None, y0=None, maxstep=None,
                numsteps=None, step=None, rtol=None, atol=None, order=None, dense=None,
                close=None, ctol=None, text=False, transpose=False):
    pass


_plain_trace.__qualname__ = "trace_fieldlines"
_plain_find.__qualname__ = "find_fieldlines"
_PLAIN = {"trace_fieldlines": _plain_trace, "find_fieldlines": _plain_find}


def binding_error(function, args, kwargs):
    """The TypeError message of binding this call, or None when it binds.

    The message is CPython's for the plain function of the same signature,
    with two differences written down: the module reports too many
    positional arguments before it looks at any keyword, and it suggests no
    other name for an unknown keyword (CPython 3.13 and newer add "Did you
    mean ...?").
    """
    plain = _PLAIN[function]
    count = plain.__code__.co_argcount
    try:
        if len(args) > count:
            plain(*args)
        else:
            plain(*args, **kwargs)
    except TypeError as exc:
        return re.sub(r"\. Did you mean '.*'\?$", "", str(exc))
    return None


# --- the interpreter's own conversions, as oracles -----------------------------

def raised_by(convert, value):
    """The exception that `convert(value)` raises."""
    try:
        convert(value)
    except BaseException as exc:  # noqa: BLE001
        return exc
    raise AssertionError(f"{value!r} converted without an error")


def float_error(value):
    """What the interpreter's float conversion raises for `value` (math.fabs
    converts its argument as every C function taking a double does)."""
    return raised_by(math.fabs, value)


def size_error(value):
    """What converting `value` to an unsigned 64-bit size raises: the
    interpreter's index conversion, then its range check."""
    try:
        index = operator.index(value)
    except BaseException as exc:  # noqa: BLE001
        return exc
    if index < 0:
        return OverflowError("can't convert negative int to unsigned")
    if index >= 2**64:
        return OverflowError("int too big to convert")
    raise AssertionError(f"{value!r} converted without an error")


def mismatch(value, expected):
    """The type-mismatch message for `value` where an `expected` was needed."""
    if value is None:
        return f"'None' is not an instance of '{expected}'"
    return f"'{type(value).__qualname__}' object is not an instance of '{expected}'"


def expect_raise(call, expected, name=None):
    """`call` fails as converting the argument `name` fails with `expected`:
    an exact TypeError comes back as a new TypeError naming the argument, a
    PanicException as a PanicException with its message, anything else
    unchanged."""
    with pytest.raises(BaseException) as info:
        call()
    got = info.value
    if type(expected) is TypeError and name is not None:
        assert type(got) is TypeError
        assert got.args == (f"argument '{name}': {expected}",)
        assert got is not expected
        assert got.__cause__ is expected.__cause__
        assert got.__suppress_context__ is True
    elif isinstance(expected, PanicException):
        assert type(got) is PanicException
        assert got.args == (str(expected),)
    else:
        assert type(got) is type(expected)
        assert got.args == expected.args
    return got


# --- hostile and odd values ------------------------------------------------------

class Raising:
    """A number whose __float__ and __index__ raise the stored exception."""

    def __init__(self, exc):
        self.exc = exc

    def __float__(self):
        raise self.exc

    def __index__(self):
        raise self.exc


def with_float(behaviour):
    """An object whose only conversion is __float__, doing `behaviour()`."""
    return type("Hostile", (), {"__float__": lambda self: behaviour()})()


def with_index(behaviour):
    """An object whose only conversion is __index__, doing `behaviour()`."""
    return type("Hostile", (), {"__index__": lambda self: behaviour()})()


class NoRavel(np.ndarray):
    """An ndarray whose `ravel` cannot be found, so that the module reads it as
    an array (row-major where it has more than one axis)."""

    def __getattribute__(self, attr):
        if attr == "ravel":
            raise AttributeError(attr)
        return super().__getattribute__(attr)


def misaligned(values):
    """A float64 array of `values` whose data start one byte off alignment."""
    arr = np.frombuffer(bytearray(8 * len(values) + 1), dtype=np.float64, offset=1)
    arr[:] = values
    assert not arr.flags.aligned or len(values) == 0
    return arr


# --- find_fieldlines' input and results ----------------------------------------------

GENERIC = "Expected a 1D sequence or NumPy array of numeric values"
NOT_CONTIGUOUS = "The given array is not contiguous or is misaligned."


# A data object with the given attributes.
Data = types.SimpleNamespace


def outcome(call):
    """The result's bits, or the exception's type and arguments, for comparing calls."""
    try:
        out = call()
    except BaseException as exc:  # noqa: BLE001
        return ("raised", type(exc), exc.args)
    if isinstance(out, np.ndarray):
        return ("array", out.shape, out.view(np.uint64).tobytes())
    return ("lines", [[(a.shape, a.view(np.uint64).tobytes()) for a in entry] for entry in out])


def same_lines(a, b):
    """Bit-for-bit equality of two results of find_fieldlines."""
    return len(a) == len(b) and all(
        ax.tobytes() == bx.tobytes() and ay.tobytes() == by.tobytes()
        for (ax, ay), (bx, by) in zip(a, b))


# --- comparison with the pure-Python model ---------------------------------------------

def assert_same_bits(got, want, unfilled=None):
    """Every bit equal, except that a computed NaN may be any NaN.

    Which NaN comes out of an operation on two NaN operands is the hardware's
    and the compiler's choice (IEEE 754 leaves it open), so computed NaNs are
    compared as NaN; the `unfilled` slots, which hold the one quiet NaN that
    marks "no point", must match exactly.
    """
    assert type(got) is np.ndarray and got.dtype == np.float64
    assert got.shape == want.shape
    gb, wb = got.view(np.uint64), want.view(np.uint64)
    same = (gb == wb) | (np.isnan(got) & np.isnan(want))
    if unfilled is not None:
        same &= ~unfilled | (gb == wb)
    bad = np.argwhere(~same)
    assert bad.size == 0, (
        f"first difference at {tuple(bad[0])}: got {gb[tuple(bad[0])]:#018x}, "
        f"want {wb[tuple(bad[0])]:#018x}")


def model_trace_array(xmin, xmax, ymin, ymax, nx, ny, bx, by, seeds, step, max_steps):
    """The model's result of trace_fieldlines, and the mask of the slots that
    no point reached."""
    grid = Grid(xmin, xmax, ymin, ymax, nx, ny, list(bx), list(by))
    out = np.full((len(seeds), max_steps + 1, 2), np.nan)
    unfilled = np.ones(out.shape, dtype=bool)
    for row, seed in enumerate(seeds):
        path = trace_line(grid, (float(seed[0]), float(seed[1])), float(step), max_steps)
        if path:
            out[row, :len(path)] = path
            unfilled[row, :len(path)] = False
    return out, unfilled
