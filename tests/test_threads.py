"""Calls from many threads at once: same inputs, same results, no crash, no deadlock.

The stress checks run in this process on every interpreter. On a free-threaded
build they also run in a fresh process of their own, where the GIL must stay
off from start-up to the end: the module declares that it does not need it.
"""

import contextlib
import math
import os
import subprocess
import sys
import sysconfig
import textwrap
import threading
import time
import types

import numpy as np
import pytest

from torvelin import find_fieldlines, trace_fieldlines

THREADS = 12
ROUNDS = 40
JOIN_TIMEOUT = 60.0
TESTS_DIR = os.path.dirname(os.path.abspath(__file__))

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
needs_free_threading = pytest.mark.skipif(
    not FREE_THREADED,
    reason="needs a free-threaded CPython build (Py_GIL_DISABLED); this one always has a GIL")
# Collected after this module's imports (NumPy, torvelin), which could have turned it on.
needs_gil = pytest.mark.skipif(not getattr(sys, "_is_gil_enabled", lambda: True)(),
                               reason="the GIL is off in this interpreter")


def child_environment():
    """The environment for a fresh interpreter: nothing that moves imports or sets the GIL."""
    return {k: v for k, v in os.environ.items()
            if k not in ("PYTHONPATH", "PYTHONHOME", "PYTHON_GIL")}


def vortex(nx, ny):
    """A rotating field with some shear on [-1, 1] x [-1, 1], flat (x fastest)."""
    xs = np.linspace(-1.0, 1.0, nx)
    ys = np.linspace(-1.0, 1.0, ny)
    x, y = np.meshgrid(xs, ys)                    # shape (ny, nx): x varies along axis 1
    bx = -y + 0.25 * np.sin(3.0 * x)
    by = x + 0.125 * np.cos(2.0 * y) * x
    return xs, ys, bx.ravel(), by.ravel()


NX, NY = 9, 7
XS, YS, BX, BY = vortex(NX, NY)


class Coordinate:
    """A footpoint coordinate given through Python code (a point where threads switch)."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


def shared_inputs():
    seeds = [(0.1 * k - 0.5, 0.05 * k - 0.25) for k in range(10)] + [(2.0, 0.0), (math.nan, 0.0)]
    data = types.SimpleNamespace(x1=XS, x2=YS, bx=BX.reshape(NY, NX).T, by=BY.reshape(NY, NX).T)
    footpoints = [Coordinate(0.1 * k - 0.4) for k in range(8)], [0.3] * 8
    return dict(bx=np.array(BX), by=np.array(BY), seeds=seeds, data=data, footpoints=footpoints)


def workload(inputs):
    """The calls each thread makes, as (label, zero-argument call)."""
    bx, by, seeds, data = inputs["bx"], inputs["by"], inputs["seeds"], inputs["data"]
    x0, y0 = inputs["footpoints"]
    return [
        ("trace", lambda: trace_fieldlines(-1.0, 1.0, -1.0, 1.0, NX, NY, bx, by, seeds, 0.02, 150)),
        ("trace-backward", lambda: trace_fieldlines(-1.0, 1.0, -1.0, 1.0, NX, NY, bx, by,
                                                    seeds[::-1], -0.05, 40)),
        ("find", lambda: find_fieldlines(data, "bx", "by", x0=x0, y0=y0, numsteps=300,
                                         step=0.02)),
        ("find-closing", lambda: find_fieldlines(data, "bx", "by", x0=x0[2:5], y0=y0[2:5],
                                                 step=0.05, maxstep=0.05, ctol=0.05,
                                                 numsteps=2000)),
        ("find-values", lambda: find_fieldlines(None, data.bx, data.by, x1=data.x1, x2=data.x2,
                                                x0=[0.25], y0=[0.5], numsteps=100)),
        ("binding-error", lambda: trace_fieldlines(1.0, 2.0, x9=3)),
        ("conversion-error", lambda: find_fieldlines(data, "bx", "by", x0=x0, y0=y0,
                                                     numsteps=1.5)),
        ("size-error", lambda: find_fieldlines(data, "bx", "by", x1=XS[:-1], x0=x0, y0=y0)),
        ("fault", lambda: trace_fieldlines(-1.0, 1.0, -1.0, 1.0, NX, NY, bx, by[:-1], seeds,
                                           0.02, 10)),
    ]


def fingerprint(call):
    """A comparable record of a call's outcome: every bit of a result, or the exception."""
    try:
        out = call()
    except BaseException as exc:  # noqa: BLE001
        return ("raised", type(exc).__name__, exc.args)
    if isinstance(out, np.ndarray):
        return ("array", out.shape, out.view(np.uint64).tobytes())
    return ("lines", tuple(tuple((e.shape, e.view(np.uint64).tobytes()) for e in entry)
                           for entry in out))


@contextlib.contextmanager
def switch_interval(seconds):
    old = sys.getswitchinterval()
    sys.setswitchinterval(seconds)
    try:
        yield
    finally:
        sys.setswitchinterval(old)


def run_threads(target, count):
    barrier = threading.Barrier(count)
    errors = []

    def body(index):
        try:
            barrier.wait(timeout=JOIN_TIMEOUT)
            target(index)
        except BaseException as exc:  # noqa: BLE001
            errors.append((index, repr(exc)))

    threads = [threading.Thread(target=body, args=(k,), daemon=True) for k in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(JOIN_TIMEOUT)
    assert not any(t.is_alive() for t in threads), "threads still running: deadlock?"
    assert errors == []


def check_shared_inputs():
    """Threads sharing every input get the single-threaded results and change nothing."""
    inputs = shared_inputs()
    calls = workload(inputs)
    expected = {label: fingerprint(call) for label, call in calls}
    # the workload reaches both results and every kind of failure
    assert [expected[k][0] for k in ("trace", "find", "find-closing", "find-values")] == [
        "array", "lines", "lines", "lines"]
    assert {expected[k][1] for k in ("binding-error", "conversion-error", "size-error", "fault")} == {
        "TypeError", "ValueError", "PanicException"}
    snapshot = (inputs["bx"].copy(), inputs["by"].copy(), list(inputs["seeds"]))
    mismatches = []

    def target(index):
        for round_ in range(ROUNDS):
            # each thread walks the workload from a different starting point
            for k in range(len(calls)):
                label, call = calls[(k + index + round_) % len(calls)]
                got = fingerprint(call)
                if got != expected[label]:
                    mismatches.append((index, round_, label))

    with switch_interval(1e-5):
        run_threads(target, THREADS)
    assert mismatches == []
    assert np.array_equal(inputs["bx"], snapshot[0])
    assert np.array_equal(inputs["by"], snapshot[1])
    assert inputs["seeds"] == snapshot[2]


def check_reentrant_callbacks():
    """Callbacks that themselves call the module, while other threads do too."""
    inputs = shared_inputs()
    bx, by = inputs["bx"], inputs["by"]

    def inner():
        return trace_fieldlines(-1.0, 1.0, -1.0, 1.0, NX, NY, bx, by, [(0.0, 0.5)], 0.05, 20)

    class ReEntrant:
        def __float__(self):
            got = fingerprint(inner)
            if got != reference_inner:
                wrong.append("inner")
            return 0.25

    def outer():
        return find_fieldlines(inputs["data"], "bx", "by", x0=[ReEntrant(), 0.5],
                               y0=[0.1, ReEntrant()], numsteps=50)

    reference_inner = fingerprint(inner)
    reference_outer = fingerprint(outer)
    assert reference_outer[0] == "lines"
    wrong = []

    def target(index):
        for _ in range(ROUNDS):
            if fingerprint(outer) != reference_outer:
                wrong.append("outer")

    with switch_interval(1e-5):
        run_threads(target, THREADS)
    assert wrong == []


def check_inputs_changed_by_other_threads():
    """Seed and footpoint lists that other threads grow and shrink, and a field
    attribute that another thread keeps replacing, during the calls.

    Every seed and footpoint is the same point, so whatever length of a list a
    call sees, each of its lines is that point's line; the replaced attribute
    holds one of two fields, so each find result is one of two references.
    """
    point = (0.3, -0.2)
    bx, by = np.array(BX), np.array(BY)
    field = BX.reshape(NY, NX).T
    reversed_field = -field
    data = types.SimpleNamespace(x1=XS, x2=YS, bx=field, by=BY.reshape(NY, NX).T)
    seeds = [point] * 4
    x0, y0 = [point[0]] * 4, [point[1]] * 4

    def trace(seed_list):
        return trace_fieldlines(-1.0, 1.0, -1.0, 1.0, NX, NY, bx, by, seed_list, 0.02, 120)

    def find(xs, ys):
        return find_fieldlines(data, "bx", "by", x0=xs, y0=ys, step=0.02, numsteps=120)

    row = trace([point])[0].tobytes()
    line = fingerprint(lambda: find([point[0]], [point[1]]))[1][0]
    data.bx = reversed_field
    reversed_line = fingerprint(lambda: find([point[0]], [point[1]]))[1][0]
    data.bx = field
    assert line != reversed_line
    unequal_lengths = ("raised", "ValueError", ("x0 and y0 must have the same length",))
    stop = threading.Event()
    mutating = threading.Event()
    problems = []
    lengths = set()

    def mutate_lists():
        while not stop.is_set():
            seeds.extend([point] * 3)
            x0.extend([point[0]] * 3)
            y0.extend([point[1]] * 3)
            mutating.set()
            time.sleep(0)   # lets the callers see the longer lists under a GIL too
            del seeds[4:], x0[4:], y0[4:]
            time.sleep(0)

    def swap_field():
        while not stop.is_set():
            data.bx = reversed_field
            data.bx = field

    def call(index):
        # Without a GIL the lists change only when the mutator thread gets a
        # core: the callers start once it runs, and go on past ROUNDS until
        # some call has seen the lists at another length (or time is up).
        mutating.wait(JOIN_TIMEOUT / 4)
        deadline = time.monotonic() + JOIN_TIMEOUT / 4
        rounds = 0
        while rounds < ROUNDS or (len(lengths) < 2 and time.monotonic() < deadline):
            rounds += 1
            out = trace(seeds)
            lengths.add(len(out))
            if not (4 <= len(out) <= 7 and all(r.tobytes() == row for r in out)):
                problems.append((index, "trace", out.shape))
            got = fingerprint(lambda: find(x0, y0))
            if got == unequal_lengths:
                continue
            if got[0] != "lines" or not 4 <= len(got[1]) <= 7:
                problems.append((index, "find", got[:2]))
            elif not (set(got[1]) <= {line} or set(got[1]) <= {reversed_line}):
                problems.append((index, "find", "a line of neither field"))

    callers_left = [THREADS - 2]
    count_lock = threading.Lock()

    def body(index):
        if index == 0:
            mutate_lists()
        elif index == 1:
            swap_field()
        else:
            try:
                call(index)
            finally:
                with count_lock:   # the last caller to finish stops the mutators
                    callers_left[0] -= 1
                    if callers_left[0] == 0:
                        stop.set()

    with switch_interval(1e-5):
        run_threads(body, THREADS)
    assert problems == []
    assert len(lengths) > 1, "the calls never saw the lists change"


STRESS_CHECKS = [check_shared_inputs, check_reentrant_callbacks,
                 check_inputs_changed_by_other_threads]
STRESS_IDS = ["shared-inputs", "re-entrant-callbacks", "inputs-changed-meanwhile"]


@pytest.mark.parametrize("check", STRESS_CHECKS, ids=STRESS_IDS)
def test_threads_in_this_process(check, capfd):
    check()
    capfd.readouterr()   # fault diagnostics, expected


# A fresh free-threaded interpreter, the GIL left at its default (no PYTHON_GIL,
# no -X gil): importing an extension that does not declare itself safe without
# the GIL would turn it on, and so would NumPy if it did not.
WITHOUT_GIL = textwrap.dedent(
    r"""
    import sys

    def gil_still_off(when):
        if sys._is_gil_enabled():
            sys.exit(f"the GIL is on {when}")

    gil_still_off("at start-up")
    import torvelin
    gil_still_off("after importing torvelin")
    sys.path.insert(0, sys.argv[1])
    import test_threads
    gil_still_off("after importing the tests (NumPy, pytest)")
    getattr(test_threads, sys.argv[2])()
    gil_still_off("after the threads ran")
    print("OK")
    """
)


@needs_free_threading
@pytest.mark.parametrize("check", STRESS_CHECKS, ids=STRESS_IDS)
def test_threads_with_the_gil_off(check):
    proc = subprocess.run([sys.executable, "-c", WITHOUT_GIL, TESTS_DIR, check.__name__],
                          capture_output=True, text=True, timeout=300, env=child_environment())
    assert proc.returncode == 0, proc.stderr[-3000:]
    assert proc.stdout.split() == ["OK"]


# --- the very first call of a fresh process, from many threads at once -------------

FIRST_CALL = textwrap.dedent(
    r"""
    import sys
    import threading

    mode, count, free_threaded = sys.argv[1], int(sys.argv[2]), sys.argv[3] == "1"
    sys.setswitchinterval(1e-6)

    def gil_still_off(when):
        # a free-threaded build starts without the GIL; nothing here may turn it on
        if free_threaded and sys._is_gil_enabled():
            sys.exit(f"the GIL is on {when}")

    gil_still_off("at start-up")
    import torvelin
    gil_still_off("after importing torvelin")
    assert "numpy" not in sys.modules
    if mode != "find":
        import numpy as np        # the arrays need it; the module has not used it yet

    xs = [0.0, 0.25, 0.5, 0.75, 1.0]
    ys = [0.0, 0.5, 1.0]
    bx = [1.0, 0.5, -0.25, 0.75, 1.25, 0.5, -0.5, 0.25, 1.0, 0.0, -0.75, 0.5, 0.25, 1.0, -1.0]
    by = [0.5, -0.5, 0.25, 1.0, 0.0, -0.75, 1.0, 0.5, -0.25, 0.75, 1.25, 0.5, 1.0, 0.5, 0.25]

    class Data:
        x1, x2 = xs, ys
    Data.bx, Data.by = bx, by

    def call(index):
        if mode == "find" or (mode == "trace" and index % 2):
            return torvelin.find_fieldlines(Data, "bx", "by", x0=[0.3, 0.6], y0=[0.5, 0.2],
                                            numsteps=40, step=0.05)
        if mode == "trace":
            return torvelin.trace_fieldlines(0.0, 1.0, 0.0, 1.0, 5, 3, np.array(bx),
                                             np.array(by), [(0.3, 0.5), (0.6, 0.2)], 0.05, 40)
        # mode == "fault": the first fault creates the exception type
        return torvelin.trace_fieldlines(0.0, 1.0, 0.0, 1.0, 1, 3, np.zeros(3), np.zeros(3), [],
                                         0.1, 1)

    def describe(out):
        # bytes, not values: NaN never equals itself
        if isinstance(out, list):
            return [[(type(a.base), a.shape, a.tobytes()) for a in entry] for entry in out]
        return [[(type(out.base), out.shape, out.tobytes())]]

    barrier = threading.Barrier(count)
    results = [None] * count

    def body(index):
        barrier.wait()
        try:
            results[index] = ("result", describe(call(index)))
        except BaseException as exc:
            results[index] = ("raised", type(exc), exc.args)

    threads = [threading.Thread(target=body, args=(k,)) for k in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()

    # the same calls once more, one at a time, now that everything is initialised
    for index in range(count):
        try:
            again = ("result", describe(call(index)))
        except BaseException as exc:
            again = ("raised", type(exc), exc.args)
        assert results[index] == again, (index, results[index], again)
    kinds = {r[0] for r in results}
    if mode == "fault":
        assert kinds == {"raised"}
        assert {r[1] for r in results} == {results[0][1]}, "more than one PanicException type"
        assert results[0][1].__name__ == "PanicException"
        assert results[0][2] == ("nx must be at least 2",)
    else:
        assert kinds == {"result"}
        keepers = {pair[0] for r in results for entry in r[1] for pair in entry}
        assert len(keepers) == 1, keepers
        assert next(iter(keepers)).__name__ == "PySliceContainer"
    gil_still_off("after the calls")
    print("OK", len(results))
    """
)


@pytest.mark.parametrize("mode", ["find", "trace", "fault"])
def test_first_calls_of_a_process_from_many_threads(mode):
    proc = subprocess.run([sys.executable, "-c", FIRST_CALL, mode, "16", str(int(FREE_THREADED))],
                          capture_output=True, text=True, timeout=60, env=child_environment())
    assert proc.returncode == 0, proc.stderr[-3000:]
    assert proc.stdout.split() == ["OK", "16"]


# --- the interpreter lock is held throughout a computation -------------------------


def ran_while_inside(work):
    """Runs work(mark) on this thread while a second thread watches.

    work calls mark(True) just before the part under test and mark(False)
    just after it. With forced switching effectively off, the watcher can run
    only when this thread gives up the interpreter lock of its own accord;
    the return value says whether it ever ran between the two marks.
    """
    state = {"inside": False, "seen": False, "stop": False}
    ready = threading.Event()

    def watcher():
        ready.set()
        while not state["stop"]:
            if state["inside"]:
                state["seen"] = True
            time.sleep(0)   # gives the lock back at once

    def mark(inside):
        state["inside"] = inside

    with switch_interval(1000.0):
        thread = threading.Thread(target=watcher, daemon=True)
        thread.start()
        try:
            assert ready.wait(JOIN_TIMEOUT)
            work(mark)
        finally:
            state["stop"] = True
            thread.join(JOIN_TIMEOUT)
    assert not thread.is_alive()
    return state["seen"]


def rotation(n):
    """bx = -y, by = x on [-1, 1] x [-1, 1]: circles, exact under bilinear interpolation."""
    coords = np.linspace(-1.0, 1.0, n)
    x, y = np.meshgrid(coords, coords)
    return coords, (-y).ravel(), x.ravel()


ROT_COORDS, ROT_BX, ROT_BY = rotation(5)
ROT_RADII = [0.05 * k + 0.05 for k in range(10)]


def long_trace(mark):
    class LastArgument:
        """max_steps, the last argument converted: after it, only native work is left."""

        def __index__(self):
            mark(True)
            return 100_000

    seeds = [(r, 0.0) for r in ROT_RADII]
    out = trace_fieldlines(-1.0, 1.0, -1.0, 1.0, 5, 5, ROT_BX, ROT_BY, seeds, 0.001,
                           LastArgument())
    mark(False)
    assert not np.isnan(out).any()   # every line ran the whole way


def long_find(mark):
    class LastArgument:
        """transpose, the last argument converted, a NumPy-like boolean."""

        def __bool__(self):
            mark(True)
            return False

    LastArgument.__module__, LastArgument.__name__ = "numpy", "bool_"
    data = types.SimpleNamespace(x1=ROT_COORDS.tolist(), x2=ROT_COORDS.tolist(),
                                 bx=ROT_BX.tolist(), by=ROT_BY.tolist())
    lines = find_fieldlines(data, "bx", "by", x0=ROT_RADII, y0=[0.0] * 10, step=0.001,
                            numsteps=50_000, close=False, transpose=LastArgument())
    mark(False)
    assert len(lines) == 10 and all(len(e[0]) == 100_001 for e in lines)


@needs_gil
def test_watcher_sees_a_thread_that_gives_up_the_lock():
    def sleeping(mark):
        mark(True)
        time.sleep(0.05)
        mark(False)

    def busy(mark):
        mark(True)
        sum(range(2_000_000))
        mark(False)

    assert ran_while_inside(sleeping)
    assert not ran_while_inside(busy)


@needs_gil
@pytest.mark.parametrize("work", [long_trace, long_find], ids=["trace", "find"])
def test_computation_holds_the_interpreter_lock(work):
    assert not ran_while_inside(work)
