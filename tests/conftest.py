import contextlib
import ctypes
import io
import os

import numpy as np
import pytest

import torvelin

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


# The interpreter's own float conversion, the one the module calls.
as_double = ctypes.pythonapi.PyFloat_AsDouble
as_double.restype = ctypes.c_double
as_double.argtypes = [ctypes.py_object]


def interpreter_error(convert, value):
    """What the interpreter's own conversion raises for `value`."""
    try:
        convert(value)
    except BaseException as exc:  # noqa: BLE001
        return exc
    raise AssertionError(f"{value!r} converted without an error")


class Raising:
    """A number whose __float__ and __index__ raise the stored exception."""

    def __init__(self, exc):
        self.exc = exc

    def __float__(self):
        raise self.exc

    def __index__(self):
        raise self.exc


class NoRavel(np.ndarray):
    """An ndarray whose `ravel` cannot be found, so that the module reads it as
    an array (row-major where it has more than one axis)."""

    def __getattribute__(self, attr):
        if attr == "ravel":
            raise AttributeError(attr)
        return super().__getattribute__(attr)

