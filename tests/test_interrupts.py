"""Long calls stay under the caller's control: a signal ends them promptly,
its handler's exception passes through unchanged, nothing is left behind,
and running out of memory is a MemoryError."""
import contextlib
import os
import signal
import subprocess
import sys
import textwrap
import time
import types

import numpy as np
import pytest

from conftest import SANITIZED, Discard, PanicException
from test_leaks import measure, needs_statm
from torvelin import find_fieldlines, trace_fieldlines

pytestmark = pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs setitimer")


def rotation(n):
    xs = np.linspace(-1.0, 1.0, n)
    X, Y = np.meshgrid(xs, xs, indexing="ij")
    return xs, -Y, X


def clean_env():
    return {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "PYTHONHOME")}


CTRL_C = textwrap.dedent(
    """
    import sys, time, types
    import numpy as np
    import torvelin

    call = sys.argv[1]
    xs = np.linspace(-1.0, 1.0, 64)
    X, Y = np.meshgrid(xs, xs, indexing="ij")
    ds = types.SimpleNamespace(x1=xs, x2=xs, bx=-Y, by=X)
    radii = np.linspace(0.1, 0.9, 64)

    def run(steps):
        # Closed orbits that never end: the call runs until its step limit.
        if call == "trace":
            seeds = [(float(r), 0.0) for r in radii]
            return torvelin.trace_fieldlines(-1.0, 1.0, -1.0, 1.0, 64, 64, (-Y).ravel("F"),
                                             X.ravel("F"), seeds, 0.01, steps)
        return torvelin.find_fieldlines(ds, "bx", "by", x0=radii, y0=np.zeros(64),
                                        close=False, numsteps=steps)

    def same(a, b):
        if call == "trace":
            return a.tobytes() == b.tobytes()
        return len(a) == len(b) and all(
            x.tobytes() == u.tobytes() and y.tobytes() == v.tobytes()
            for (x, y), (u, v) in zip(a, b))

    expected = run(1000)
    print("ready", flush=True)
    try:
        run(4_000_000 if call == "find" else 3_000_000)
    except KeyboardInterrupt:
        print("interrupted", time.monotonic(), flush=True)
    else:
        print("finished", time.monotonic(), flush=True)
    print("same" if same(run(1000), expected) else "different", flush=True)
    """
)


@pytest.mark.parametrize("call", ["trace", "find"])
def test_ctrl_c_ends_a_long_call_promptly_and_the_next_call_is_right(call):
    """SIGINT, as a terminal sends it, half a second into a call that would
    take a minute (and tens of gigabytes)."""
    with subprocess.Popen([sys.executable, "-c", CTRL_C, call], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, text=True, env=clean_env()) as proc:
        try:
            assert proc.stdout.readline() == "ready\n", proc.stderr.read()[-3000:]
            time.sleep(0.5)
            sent = time.monotonic()
            proc.send_signal(signal.SIGINT)
            outcome, when = proc.stdout.readline().split()
            next_call = proc.stdout.readline().strip()
            assert proc.wait(timeout=60) == 0, proc.stderr.read()[-3000:]
        finally:
            proc.kill()
    assert outcome == "interrupted"
    # CLOCK_MONOTONIC is the same clock in both processes.
    assert float(when) - sent < (1.0 if SANITIZED else 0.1)
    assert next_call == "same"


class Alarm:
    """SIGALRM after `seconds`, its handler raising `exception`."""

    def __init__(self, seconds, exception):
        self.seconds, self.exception = seconds, exception

    def __enter__(self):
        def handler(signum, frame):
            raise self.exception
        self.previous = signal.signal(signal.SIGALRM, handler)
        signal.setitimer(signal.ITIMER_REAL, self.seconds)
        return self

    def __exit__(self, *exc):
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, self.previous)


def long_trace():
    xs, bx, by = rotation(64)
    flat_bx, flat_by = bx.ravel("F"), by.ravel("F")
    seeds = [(float(r), 0.0) for r in np.linspace(0.1, 0.9, 16)]
    return lambda: trace_fieldlines(-1.0, 1.0, -1.0, 1.0, 64, 64, flat_bx, flat_by, seeds, 0.01,
                                    100_000)


def long_find():
    xs, bx, by = rotation(64)
    ds = types.SimpleNamespace(x1=xs, x2=xs, bx=bx, by=by)
    radii = np.linspace(0.1, 0.9, 16)
    return lambda: find_fieldlines(ds, "bx", "by", x0=radii, y0=np.zeros(16), close=False,
                                   numsteps=100_000)


class Stop(Exception):
    pass


@pytest.mark.parametrize("make_call", [long_trace, long_find])
def test_a_handler_exception_passes_through_unchanged(make_call):
    call = make_call()
    stop = Stop("from the handler")
    with Alarm(0.002, stop), pytest.raises(Stop) as caught:
        call()
    assert caught.value is stop


@pytest.mark.parametrize("make_call", [long_trace, long_find])
def test_a_panic_raised_by_a_handler_stays_a_fault(make_call):
    call = make_call()
    with contextlib.redirect_stderr(Discard()), Alarm(0.002, PanicException("handler fault")):
        with pytest.raises(BaseException) as caught:
            call()
    assert type(caught.value) is PanicException
    assert caught.value.args == ("handler fault",)


@needs_statm
@pytest.mark.parametrize("make_call", [long_trace, long_find])
def test_interrupted_calls_leave_nothing_behind(make_call):
    """1000 calls, each ended by a signal a millisecond in, with the leak
    tests' bounds."""
    call = make_call()

    def interrupted():
        with Alarm(0.001, KeyboardInterrupt()):
            call()

    blocks, traced, rss_growth, changed = measure(interrupted, KeyboardInterrupt, [], 1000)
    assert blocks < 1000
    assert traced < 1 << 20
    if not SANITIZED:
        assert rss_growth < 8 << 20


LIMITED = textwrap.dedent(
    """
    import resource, sys, time, types
    import numpy as np
    import torvelin

    def status(key):
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith(key + ":"):
                    return int(line.split()[1]) * 1024

    case, budget = sys.argv[1], float(sys.argv[2])
    xs = np.linspace(-1.0, 1.0, 64)
    X, Y = np.meshgrid(xs, xs, indexing="ij")
    ds = types.SimpleNamespace(x1=xs, x2=xs, bx=-Y, by=X)

    def run(footpoints, numsteps, close=False):
        # Closed orbits, and no distance close enough to close on (a negative
        # ctol): no line ends before its step limit.
        radii = np.linspace(0.2, 0.8, footpoints)
        return torvelin.find_fieldlines(ds, "bx", "by", x0=radii, y0=np.zeros(footpoints),
                                        close=close, ctol=-1.0, numsteps=numsteps)

    expected = run(4, 1000)
    if case == "runaway":
        limit = budget
        footpoints, numsteps = 64, 2 ** 40
    else:
        footpoints, numsteps = 16, 1_000_000
        stored = footpoints * (2 * numsteps + 1) * 16
        limit = status("VmSize") + budget * stored
    resource.setrlimit(resource.RLIMIT_AS, (int(limit), resource.RLIM_INFINITY))
    start = time.perf_counter()
    try:
        lines = run(footpoints, numsteps, close=case == "kept with closure")
        print("kept", sum(len(x) for x, _ in lines) == footpoints * (2 * numsteps + 1))
        del lines
    except MemoryError:
        print("MemoryError", time.perf_counter() - start)
    again = run(4, 1000)
    print("same" if all(a.tobytes() == b.tobytes() for u, v in zip(again, expected)
                        for a, b in zip(u, v)) and len(again) == len(expected) else "different")
    """
)


def limited(case, budget):
    proc = subprocess.run([sys.executable, "-c", LIMITED, case, str(budget)],
                          capture_output=True, text=True, timeout=180, env=clean_env())
    assert proc.returncode == 0, proc.stderr[-3000:]
    return proc.stdout.split()


@pytest.mark.exhausts_memory
def test_a_runaway_call_under_an_address_space_limit_raises_memory_error():
    outcome, seconds, after = limited("runaway", 3 << 30)
    assert outcome == "MemoryError"
    assert float(seconds) < 60
    assert after == "same"


@pytest.mark.exhausts_memory
@pytest.mark.parametrize("case, budget, expected", [
    # Room for a tenth more than the points kept: the call succeeds (a
    # quarter where the closure test makes the backward half move)...
    ("kept", 1.1, ["kept", "True"]),
    ("kept with closure", 1.25, ["kept", "True"]),
    # ... and with less room than the points need, it fails cleanly.
    ("kept", 0.9, ["MemoryError"]),
])
def test_memory_stays_close_to_the_points_kept(case, budget, expected):
    # 16 lines of 2,000,001 points: half a gigabyte of coordinates.
    outcome = limited(case, budget)
    assert outcome[: len(expected)] == expected
    assert outcome[-1] == "same"
