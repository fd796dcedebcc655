"""Long calls stay under the caller's control: a signal ends them promptly,
its handler's exception passes through unchanged, nothing is left behind,
and running out of memory is a MemoryError."""
import contextlib
import os
import re
import signal
import subprocess
import sys
import textwrap
import time
import types

import numpy as np
import pytest

from conftest import SANITIZED, Discard, PanicException
from test_leaks import measure, needs_statm, rss
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
    import signal, sys, time, types
    import numpy as np
    import torvelin

    # As an interactive interpreter has it, also where this process was
    # started with SIGINT ignored (a background job of a shell, say).
    signal.signal(signal.SIGINT, signal.default_int_handler)
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


class Midway:
    """A 2 kHz timer whose handler raises Stop the first time `progress()`
    has grown, since the call began, by more than `low` but less than
    `high`, and is still growing: the handler ran in the middle of the work
    that moves it. If the work ran with no signal check inside, every look
    would find it either not begun or done, and the call would not be
    stopped."""

    def __init__(self, progress, low, high):
        self.progress, self.low, self.high = progress, low, high
        self.seen = []
        self.busy = self.stopped = False

    def __enter__(self):
        base = self.progress()

        def handler(signum, frame):
            # Neither while a tick is being handled (the handler's own Python
            # code can take the next one) nor after the stop: a later tick
            # could land in whatever handles the exception on its way out,
            # pytest's hooks say, where it could only be reported as ignored.
            if self.busy or self.stopped:
                return
            self.busy = True
            try:
                grown = self.progress() - base
            finally:
                self.busy = False
            rising = bool(self.seen) and grown > self.seen[-1]
            self.seen.append(grown)
            if rising and self.low < grown < self.high:
                self.stopped = True
                signal.setitimer(signal.ITIMER_REAL, 0)
                raise Stop(grown)
        self.previous = signal.signal(signal.SIGALRM, handler)
        signal.setitimer(signal.ITIMER_REAL, 0.0005, 0.0005)
        return self

    def __exit__(self, *exc):
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, self.previous)


MB = 1 << 20
ZERO_2X2 = (0.0, 1.0, 0.0, 1.0, 2, 2, np.zeros(4), np.zeros(4))


def nan_padding():
    # 60 rows of seeds outside the grid, 16 MB each, padded before the last
    # seed's line is traced.
    seeds = [(5.0, 5.0)] * 60 + [(0.5, 0.5)]
    return lambda: trace_fieldlines(*ZERO_2X2, seeds, 0.1, 1_000_000), rss, 64 * MB, 900 * MB


def field_copy():
    # 4096**2 points, traced long enough for the copy into the interleaved
    # layout to pay: 256 MB of copy.
    n = 4096
    bx = np.zeros(n * n)
    seeds = [(0.5, 0.5)] * 9
    return (lambda: trace_fieldlines(0.0, 1.0, 0.0, 1.0, n, n, bx, bx, seeds, 0.1, 1_000_000),
            rss, 32 * MB, 224 * MB)


def footpoint_conversion(values):
    # 128 MB of converted footpoints; y0 of another length makes the call
    # fail right after.
    def make():
        xs, bx, by = rotation(8)
        ds = types.SimpleNamespace(x1=xs, x2=xs, bx=bx, by=by)
        x0 = values()
        high = (x0.size * 8) * 7 // 8
        return lambda: find_fieldlines(ds, "bx", "by", x0=x0, y0=[0.0]), rss, high // 8, high
    return make


def result_entries():
    # 200,000 short lines: their entries, a list and two arrays each.
    xs, bx, by = rotation(64)
    ds = types.SimpleNamespace(x1=xs, x2=xs, bx=bx, by=by)
    radii = np.linspace(0.1, 0.9, 200_000)
    return (lambda: find_fieldlines(ds, "bx", "by", x0=radii, y0=np.zeros(radii.size),
                                    numsteps=2),
            sys.getallocatedblocks, 20_000, 500_000)


N = 16_000_000


@pytest.mark.measures_process_memory
@needs_statm
@pytest.mark.parametrize("make_call", [
    nan_padding,
    field_copy,
    footpoint_conversion(lambda: np.full(N, 5.0)),
    footpoint_conversion(lambda: np.full((4000, 4000), 5.0, np.float32, order="F")[::-1]),
    footpoint_conversion(lambda: np.full((250, 250, 256), 5, np.int64).transpose(2, 0, 1)),
    footpoint_conversion(lambda: np.full(N, 5.0).astype(">f8")),
    footpoint_conversion(lambda: np.full(N, 5.0, np.longdouble)),
    result_entries,
], ids=["nan-padding", "field-copy", "float64", "float32-2d-reversed-rows", "int64-3d-transposed",
        "big-endian", "longdouble", "result-entries"])
def test_a_signal_ends_each_long_stretch_before_it_completes(make_call):
    call, progress, low, high = make_call()
    with Midway(progress, low, high) as midway, pytest.raises(Stop):
        call()
    assert midway.seen, "the timer never fired"


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


SIZES = textwrap.dedent(
    """
    import resource, sys, types
    import numpy as np
    import torvelin

    zero = (0.0, 1.0, 0.0, 1.0, 2, 2, np.zeros(4), np.zeros(4))
    xs = np.linspace(0.0, 1.0, 2)
    ds = types.SimpleNamespace(x1=xs, x2=xs, bx=np.zeros(4), by=np.zeros(4))
    if sys.argv[1] == "limited":
        with open("/proc/self/status") as status:
            size = next(int(line.split()[1]) << 10 for line in status if line.startswith("VmSize:"))
        resource.setrlimit(resource.RLIMIT_AS, (size + (1 << 30), resource.RLIM_INFINITY))
    for case in sys.argv[2:]:
        kind, count, length = case.split(":")
        count, length = int(count), int(length)
        print(case, end=" ", flush=True)  # a crash shows which case it was
        try:
            if kind == "trace":
                torvelin.trace_fieldlines(*zero, [(0.5, 0.5)] * count, 0.1, length - 1)
            elif kind == "footpoints":
                x0 = np.broadcast_to(np.True_, (count,))  # a byte a value, and no memory
                torvelin.find_fieldlines(ds, "bx", "by", x0=x0, y0=x0)
            else:  # a line that never ends, from a closed orbit
                X, Y = np.meshgrid(xs, xs, indexing="ij")
                ring = types.SimpleNamespace(x1=xs, x2=xs, bx=0.5 - Y, by=X - 0.5)
                torvelin.find_fieldlines(ring, "bx", "by", x0=[0.75], y0=[0.5], close=False,
                                         numsteps=length)
        except MemoryError as e:
            print(type(e).__name__, e, flush=True)
        else:
            print("returned", flush=True)
    """
)


def sized_calls(limit, cases):
    proc = subprocess.run([sys.executable, "-c", SIZES, limit, *cases], capture_output=True,
                          text=True, timeout=300, env=clean_env())
    assert proc.returncode == 0, proc.stdout[-1000:] + proc.stderr[-3000:]
    return dict(line.split(" ", 1) for line in proc.stdout.splitlines())


def size_text(size):
    for unit in ("kB", "MB", "GB", "TB", "PB", "EB"):
        size /= 1000
        if round(size, 1) < 1000:
            return f"{size:.1f} {unit}"


def test_every_impossible_size_is_a_memory_error():
    # A result of `count` lines of `length` points is count * length * 16
    # bytes: the window just below 2**64 bytes, its edges, and sizes that no
    # address space holds; footpoints are 8 bytes a value once converted.
    results = [(1, 2**60 - 2**17), (1, 2**60 - 2**17 + 1), (1, 2**60 - 1), (2, 2**59 - 1),
               (4, 2**58 - 1), (1, 2**60), (1, 2**57), (1, 2**59), (3, 2**60 // 3)]
    footpoints = [2**58, 2**60, 2**61 - 1, 2**61, 2**62]
    cases = [f"trace:{c}:{n}" for c, n in results] + [f"footpoints:{n}:0" for n in footpoints]
    outcome = sized_calls("unlimited", cases)
    for count, length in results:
        assert outcome[f"trace:{count}:{length}"] == (
            f"MemoryError cannot allocate {size_text(count * length * 16)} "
            f"for a result of {count} \u00d7 {length} points")
    for count in footpoints:
        assert outcome[f"footpoints:{count}:0"] == (
            f"MemoryError cannot allocate {size_text(count * 8)}")


@pytest.mark.exhausts_memory
def test_memory_errors_say_what_could_not_be_had():
    outcome = sized_calls("limited", ["trace:1:1000000001", "line:1:1000000000"])
    assert outcome["trace:1:1000000001"] == (
        "MemoryError cannot allocate 16.0 GB for a result of 1 \u00d7 1000000001 points")
    assert re.fullmatch(r"MemoryError cannot allocate \d+\.\d [MG]B for a line of \d+ points",
                        outcome["line:1:1000000000"])

