"""Repeated calls leave nothing behind, and returned buffers live exactly as long as their views.

Every way into the module and out of it again (a result, a binding error, a
conversion error with and without the argument prefix, a coercion error, a
size error, an internal fault, exhausted memory) is taken 10,000 times.  The
interpreter's block count, the memory traced by tracemalloc and the process's
resident set must stay flat, and no argument object may gain or lose a
reference.
"""

import contextlib
import ctypes
import gc
import os
import sys
import tracemalloc
import types

import numpy as np
import pytest

from conftest import SANITIZED, Discard, NoRavel, PanicException
from torvelin import find_fieldlines, trace_fieldlines

CALLS = 10_000
WARMUP = 500
MAX_BLOCK_GROWTH = 1000          # interpreter memory blocks
MAX_TRACED_GROWTH = 1 << 20      # bytes traced by tracemalloc
MAX_RSS_GROWTH = 8 << 20         # bytes of resident set

STATM = "/proc/self/statm"
PAGE_SIZE = os.sysconf("SC_PAGE_SIZE") if hasattr(os, "sysconf") else 4096

needs_statm = pytest.mark.skipif(not os.path.exists(STATM), reason="needs /proc/self/statm")


def rss():
    with open(STATM) as f:
        return int(f.read().split()[1]) * PAGE_SIZE


def release_free_memory():
    """Gives the C library's freed memory back to the system, so that memory
    freed by earlier tests cannot hide the growth of this one."""
    try:
        ctypes.CDLL(None).malloc_trim(0)
    except (OSError, AttributeError):  # not glibc
        pass




# Fresh objects only, so that their reference counts belong to this test alone
# (small ints and interned strings are shared with the whole interpreter).
class Size(int):
    pass


def num(text):
    return float(text)


def name(text):
    return "".join(list(text))


# The callbacks raise a new exception each time: raising one instance again
# and again would chain its tracebacks, a growth of the test's own making.
class RavelFails:
    def __init__(self, exc_type, message):
        self.exc_type, self.message = exc_type, message

    def ravel(self, order):
        raise self.exc_type(self.message)


class RaisesPanic:
    def __init__(self, exc_type, message):
        self.exc_type, self.message = exc_type, message

    def __float__(self):
        raise self.exc_type(self.message)


NX, NY = 5, 4


def trace_inputs(**overrides):
    """Argument objects of a trace_fieldlines call whose lines run 100 steps."""
    args = dict(
        xmin=num("0.0"), xmax=num("1.0"), ymin=num("0.0"), ymax=num("1.0"),
        nx=Size(NX), ny=Size(NY),
        bx=np.ones(NX * NY), by=np.full(NX * NY, 0.25),
        seeds=[(num("0.1"), num("0.2")), (num("0.3"), num("0.5"))],
        step=num("0.005"), max_steps=Size(100),
    )
    args.update(overrides)
    return args


def find_inputs(**overrides):
    """data, var1, var2 and keywords of a find_fieldlines call giving one long line."""
    data = types.SimpleNamespace(
        x1=np.linspace(0.0, 1.0, NX), x2=np.linspace(0.0, 1.0, NY),
        bx=np.ones((NX, NY)), by=np.full((NX, NY), 0.25))
    kwargs = dict(x0=[num("0.5")], y0=[num("0.5")], step=num("0.005"), numsteps=Size(150))
    kwargs.update(overrides)
    return data, name("bx"), name("by"), kwargs


def tracked(obj):
    """The object and every object it holds that the module gets to see."""
    out = [obj]
    if isinstance(obj, (list, tuple)):
        for item in obj:
            out.extend(tracked(item))
    elif isinstance(obj, types.SimpleNamespace):
        for item in vars(obj).values():
            out.extend(tracked(item))
    elif isinstance(obj, dict):
        for item in obj.values():
            out.extend(tracked(item))
    return out


def call_trace(args, *extra, **more):
    a = args
    return lambda: trace_fieldlines(
        a["xmin"], a["xmax"], a["ymin"], a["ymax"], a["nx"], a["ny"], a["bx"], a["by"],
        a["seeds"], a["step"], a["max_steps"], *extra, **more)


def trace_path(extra=(), more=None, **overrides):
    args = trace_inputs(**overrides)
    more = more or {}
    return call_trace(args, *extra, **more), tracked(args) + tracked(list(extra)) + tracked(more)


def find_path(positional=None, keywords=None, **overrides):
    data, var1, var2, kwargs = find_inputs(**overrides)
    pos = (data, var1, var2) if positional is None else positional(data, var1, var2)
    if keywords is not None:
        kwargs = {**keywords(data, var1, var2), **kwargs}
    return (lambda: find_fieldlines(*pos, **kwargs)), tracked(list(pos)) + tracked(kwargs)


def _paths():
    """name -> (builder, expected exception type or None, expected message or check)."""
    huge_view = np.broadcast_to(np.float64(1.0), (1 << 30, 1 << 29)).view(NoRavel)
    return {
        "trace-result": (
            lambda: trace_path(), None,
            lambda out: out.shape == (2, 101, 2) and not np.isnan(out).any()),
        "find-result": (
            lambda: find_path(), None,
            lambda out: len(out) == 1 and len(out[0][0]) > 150),
        "trace-too-many-positional": (
            lambda: trace_path(extra=(num("1.0"),)), TypeError,
            "trace_fieldlines() takes 11 positional arguments but 12 were given"),
        "trace-unexpected-keyword": (
            lambda: trace_path(more={"steps": num("1.0")}), TypeError,
            "trace_fieldlines() got an unexpected keyword argument 'steps'"),
        "find-multiple-values": (
            lambda: find_path(keywords=lambda d, v1, v2: {"data": d}), TypeError,
            "find_fieldlines() got multiple values for argument 'data'"),
        "find-missing-positional": (
            lambda: find_path(positional=lambda d, v1, v2: (d, v1)), TypeError,
            "find_fieldlines() missing 1 required positional argument: 'var2'"),
        "trace-conversion-prefixed": (
            lambda: trace_path(seeds=[(num("0.1"), num("0.2")), [num("0.3"), num("0.5")]]),
            TypeError, "argument 'seeds': 'list' object is not an instance of 'tuple'"),
        "find-conversion-prefixed": (
            lambda: find_path(numsteps=num("1.5")), TypeError,
            "argument 'numsteps': 'float' object cannot be interpreted as an integer"),
        "trace-conversion-unprefixed": (
            lambda: trace_path(max_steps=Size(-1)), OverflowError,
            "can't convert negative int to unsigned"),
        "trace-seed-length": (
            lambda: trace_path(seeds=[(num("0.1"), num("0.2")), (num("0.3"),)]), ValueError,
            "expected tuple of length 2, but got tuple of length 1"),
        "find-conversion-unprefixed": (
            lambda: find_path(numsteps=Size(-1)), OverflowError,
            "can't convert negative int to unsigned"),
        "find-coercion-generic": (
            lambda: find_path(y0=[num("0.5"), name("a")]), TypeError,
            "Expected a 1D sequence or NumPy array of numeric values"),
        "find-coercion-from-ravel": (
            lambda: find_path(x0=RavelFails(LookupError, name("no values"))), LookupError,
            "no values"),
        "find-size": (
            lambda: find_path(x1=np.linspace(0.0, 1.0, NX + 1)), ValueError,
            "Field arrays must have length nx * ny (got bx=20, by=20, nx*ny=24)"),
        "trace-size-fault": (
            lambda: trace_path(by=np.zeros(NX * NY - 1)), PanicException,
            lambda exc: "by length must be nx * ny" in str(exc)),
        "trace-step-limit-fault": (
            lambda: trace_path(max_steps=Size(2**64 - 1)), PanicException,
            "attempt to add with overflow"),
        "find-step-limit-fault": (
            lambda: find_path(numsteps=Size(2**64 - 1)), PanicException,
            "attempt to add with overflow"),
        "panic-from-callback": (
            lambda: trace_path(seeds=[
                (num("0.1"), RaisesPanic(PanicException, name("raised by a coordinate")))]),
            PanicException, "raised by a coordinate"),
        "trace-out-of-memory": (
            lambda: trace_path(seeds=[(num("0.5"), num("0.5"))] * 16, max_steps=Size(2**40)),
            MemoryError, None),
        "find-out-of-memory": (
            lambda: find_path(x0=huge_view, y0=huge_view), MemoryError, None),
        "find-out-of-memory-plain-array": (
            lambda: find_path(x0=huge_view.view(np.ndarray)), MemoryError, None),
    }


PATHS = _paths()


def _outcome(call, exc_type):
    if exc_type is None:
        return call()
    try:
        call()
    except exc_type as exc:
        if type(exc) is not exc_type:
            raise
        return exc
    raise AssertionError(f"expected {exc_type.__name__}, the call succeeded")


def _check_first(outcome, expected):
    if expected is None:
        return
    if callable(expected):
        assert expected(outcome), outcome
    else:
        assert str(outcome) == expected
        assert outcome.args == (expected,)


def measure(call, exc_type, arguments, calls=CALLS):
    """Growth of (blocks, traced bytes, RSS bytes) over `calls` calls after a
    warm-up, and the argument objects whose reference counts changed."""
    for _ in range(WARMUP):
        _outcome(call, exc_type)
    gc.collect()
    refcounts = [sys.getrefcount(obj) for obj in arguments]
    blocks_before = sys.getallocatedblocks()
    release_free_memory()
    rss_before = rss()
    tracemalloc.start()
    try:
        for _ in range(calls):
            outcome = _outcome(call, exc_type)
        del outcome
        gc.collect()
        traced, _peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    release_free_memory()
    rss_growth = rss() - rss_before
    block_growth = sys.getallocatedblocks() - blocks_before
    after = [sys.getrefcount(obj) for obj in arguments]
    changed = [(type(obj).__name__, b, a)
               for obj, b, a in zip(arguments, refcounts, after) if a != b]
    return block_growth, traced, rss_growth, changed


@needs_statm
@pytest.mark.parametrize("path", [
    pytest.param(path, marks=pytest.mark.exhausts_memory) if "out-of-memory" in path else path
    for path in sorted(PATHS)])
def test_repeated_calls_do_not_leak(path):
    build, exc_type, expected = PATHS[path]
    call, arguments = build()
    with contextlib.redirect_stderr(Discard()):
        first = _outcome(call, exc_type)
        _check_first(first, expected)
        del first
        blocks, traced, rss_growth, changed = measure(call, exc_type, arguments)
    print(f"\n{path}: {CALLS} calls, blocks {blocks:+d}, traced {traced} B, "
          f"RSS {rss_growth:+d} B")
    assert blocks < MAX_BLOCK_GROWTH
    assert traced < MAX_TRACED_GROWTH
    if not SANITIZED:  # the sanitizer's quarantine keeps freed memory resident
        assert rss_growth < MAX_RSS_GROWTH
    assert changed == []


@needs_statm
@pytest.mark.measures_process_memory
def test_measurement_sees_results_and_references_that_are_kept():
    """Control: a caller that keeps every result and one more reference to
    an argument per call breaks every bound above."""
    call, arguments = trace_path()
    kept = []
    field = next(obj for obj in arguments if isinstance(obj, np.ndarray))

    def keeping():
        out = call()
        kept.append((out, field))

    blocks, traced, rss_growth, changed = measure(keeping, None, arguments)
    assert blocks >= MAX_BLOCK_GROWTH
    assert traced >= MAX_TRACED_GROWTH
    assert rss_growth >= MAX_RSS_GROWTH  # 10,000 buffers of 3.2 KiB live outside the traced heap
    assert [c[0] for c in changed] == ["ndarray"]
    del kept


def test_leak_paths_cover_every_outcome():
    """The table above really reaches each kind of exit."""
    kinds = {exc for _, exc, _ in PATHS.values()}
    assert kinds == {None, TypeError, OverflowError, ValueError, LookupError,
                     PanicException, MemoryError}
    assert {name.split("-")[0] for name in PATHS} == {"trace", "find", "panic"}


# --- lifetime of returned buffers ------------------------------------------


def _keeper_type():
    out = trace_fieldlines(0.0, 1.0, 0.0, 1.0, 2, 2, np.zeros(4), np.zeros(4), [], 0.1, 0)
    return type(out.base)


KEEPER = _keeper_type()


def live_keepers():
    """Number of keeper objects alive, up to a constant.

    Every keeper holds a reference to its (heap) type, so the type's reference
    count moves by one with each keeper made or freed.
    """
    return sys.getrefcount(KEEPER)


def _leaving_field(n):
    """Uniform field along x on the unit square with n x n points."""
    return np.full(n * n, 1.0), np.full(n * n, 0.5)


def test_buffer_outlives_array_while_views_remain():
    bx, by = _leaving_field(3)
    seeds = [(0.0, 0.0), (0.5, 0.25)]
    out = trace_fieldlines(0.0, 1.0, 0.0, 1.0, 3, 3, bx, by, seeds, 0.25, 8)
    expected = out.copy()
    gc.collect()
    start = live_keepers()
    row = out[1]
    column = out[:, :, 0][:, ::-2]
    element_view = out[0, 3:5].view(np.uint64)
    del out
    gc.collect()
    # nothing freed yet: the keeper is still there, one per returned array
    assert live_keepers() == start
    # reuse of freed memory would show up here: make many arrays of the same size
    junk = [trace_fieldlines(0.0, 1.0, 0.0, 1.0, 3, 3, -bx, -by, seeds[::-1], 0.125, 8)
            for _ in range(50)]
    del junk
    assert np.array_equal(row, expected[1], equal_nan=True)
    assert np.array_equal(column, expected[:, :, 0][:, ::-2], equal_nan=True)
    assert np.array_equal(element_view, expected[0, 3:5].view(np.uint64))
    del row, column
    assert live_keepers() == start
    del element_view
    gc.collect()
    # the last view went, and with it the keeper
    assert live_keepers() == start - 1


def test_find_entries_each_keep_their_own_buffer():
    data = types.SimpleNamespace(x1=[0.0, 0.5, 1.0], x2=[0.0, 1.0],
                                 bx=[1.0] * 6, by=[0.5] * 6)
    lines = find_fieldlines(data, "bx", "by", x0=[0.5, 0.25], y0=[0.5, 0.25], step=0.01,
                            numsteps=500)
    assert len(lines) == 2
    expected = [[a.copy() for a in entry] for entry in lines]
    gc.collect()
    start = live_keepers()
    xs_tail = lines[0][0][-10:]
    ys_every_other = lines[1][1][::2]
    del lines
    gc.collect()
    assert live_keepers() == start - 2
    junk = [find_fieldlines(data, "bx", "by", x0=[0.5, 0.25], y0=[0.25, 0.5], step=0.01,
                            numsteps=500) for _ in range(20)]
    del junk
    assert np.array_equal(xs_tail, expected[0][0][-10:])
    assert np.array_equal(ys_every_other, expected[1][1][::2])
    del xs_tail
    gc.collect()
    assert live_keepers() == start - 3
    # modifying a line changes nothing else (no buffer is shared)
    ys_every_other[:] = -1.0
    assert not np.any(expected[1][1][::2] == -1.0)


@needs_statm
@pytest.mark.measures_process_memory
def test_large_buffer_is_returned_to_the_system_only_with_its_last_view():
    steps = (1 << 22) - 1              # 4 Mi points per line: 64 MiB
    size = (steps + 1) * 2 * 8
    bx, by = _leaving_field(2)
    gc.collect()
    before = rss()
    out = trace_fieldlines(0.0, 1.0, 0.0, 1.0, 2, 2, bx, by, [(0.0, 0.25)], 0.125, steps)
    assert rss() - before > size * 3 // 4
    head = out[0, :10]
    expected = head.copy()
    del out
    gc.collect()
    assert rss() - before > size * 3 // 4
    assert np.array_equal(head, expected, equal_nan=True)
    assert head[0].tolist() == [0.0, 0.25]
    assert np.isnan(head[-1]).all()
    del head
    gc.collect()
    assert rss() - before < size // 4
