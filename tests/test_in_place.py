"""Field arrays read where they lie give the bits of copied ones, are never
copied where they qualify, and Python code that frees them mid-call cannot
make the module read freed memory."""
import gc
import mmap
import os
import signal
import subprocess
import sys
import textwrap
import types

import numpy as np
import pytest

import torvelin

from conftest import PanicException


class Foreign:
    """Lends an array's memory through the array interface alone: an array
    made from it has a base that neither is an array nor exports a buffer, so
    the module cannot watch that memory and copies it."""

    def __init__(self, array):
        self.array = array
        self.__array_interface__ = array.__array_interface__


class Subclass(np.ndarray):
    pass


def rotation(nx, ny, rng, indexing="xy"):
    xs, ys = np.linspace(-1.0, 1.0, nx), np.linspace(-1.5, 1.5, ny)
    X, Y = np.meshgrid(xs, ys, indexing=indexing)
    return xs, ys, -Y + 0.3 * rng.normal(size=X.shape), X + 0.3 * rng.normal(size=X.shape)


def trace_forms(flat, keep):
    """The same flat component in every form trace_fieldlines takes."""
    buffer = mmap.mmap(-1, flat.nbytes)
    keep.append(buffer)
    in_mmap = np.frombuffer(buffer, dtype=np.float64)
    in_mmap[:] = flat
    return {
        "owns its memory": flat.copy(),
        "view of a bigger array": np.concatenate([flat, flat])[: flat.size],
        "subclass": flat.copy().view(Subclass),
        "in an mmap": in_mmap,
        "in bytes": np.frombuffer(flat.tobytes(), dtype=np.float64),
        "foreign memory": np.asarray(Foreign(flat.copy())),
    }


TRACE_FORMS = list(trace_forms(np.zeros(2), []))


@pytest.mark.parametrize("form", TRACE_FORMS)
def test_trace_reads_every_form_like_a_copy(form):
    rng = np.random.default_rng(abs(hash(form)) % 2**32)
    nx, ny = 1100, 1000  # more points than a copy could pay for: read in place
    _, _, bx, by = rotation(nx, ny, rng)
    keep = []
    seeds = [tuple(p) for p in rng.uniform(-1.1, 1.1, size=(40, 2))]
    args = (-1.0, 1.0, -1.5, 1.5, nx, ny)
    got = torvelin.trace_fieldlines(*args, trace_forms(bx.ravel(), keep)[form],
                                    trace_forms(by.ravel(), keep)[form], seeds, 0.002, 300)
    copied = torvelin.trace_fieldlines(*args, np.asarray(Foreign(bx.ravel().copy())),
                                       np.asarray(Foreign(by.ravel().copy())), seeds, 0.002, 300)
    assert got.view(np.uint64).tolist() == copied.view(np.uint64).tolist()


# --- no copy where the arrays qualify -----------------------------------------

PEAK = textwrap.dedent(
    """
    import sys, types
    import numpy as np
    import torvelin

    class Foreign:
        def __init__(self, array):
            self.array = array
            self.__array_interface__ = array.__array_interface__

    call, form = sys.argv[1], sys.argv[2]
    n = 2048
    xs = np.linspace(-1.0, 1.0, n)
    X, Y = np.meshgrid(xs, xs, indexing="ij")
    # (nx, ny) arrays for find, flat ones (x fastest) for trace
    bx, by = (-Y, X) if call == "find" else ((-Y).ravel("F"), X.ravel("F"))
    if form == "foreign":
        bx, by = np.asarray(Foreign(bx)), np.asarray(Foreign(by))
    field_bytes = bx.nbytes + by.nbytes

    def status(key):
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith(key + ":"):
                    return int(line.split()[1]) * 1024

    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # the peak resident set starts again from here
    before = status("VmRSS")
    if call == "trace":
        torvelin.trace_fieldlines(-1.0, 1.0, -1.0, 1.0, n, n, bx, by, [(0.5, 0.0)], 0.01, 10)
    else:
        ds = types.SimpleNamespace(x1=xs, x2=xs, bx=bx, by=by)
        torvelin.find_fieldlines(ds, "bx", "by", x0=[0.5], y0=[0.0], numsteps=10)
    print((status("VmHWM") - before) / field_bytes)
    """
)


def peak_growth(call, form):
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "PYTHONHOME")}
    proc = subprocess.run([sys.executable, "-c", PEAK, call, form], capture_output=True,
                          text=True, timeout=120, env=env)
    assert proc.returncode == 0, proc.stderr[-2000:]
    return float(proc.stdout)


@pytest.mark.measures_process_memory
@pytest.mark.skipif(not os.path.exists("/proc/self/clear_refs"), reason="needs Linux's clear_refs")
@pytest.mark.parametrize("call", ["trace", "find"])
def test_fields_that_qualify_are_not_copied(call):
    # The measurement sees a copy where there is one (foreign memory).
    assert peak_growth(call, "foreign") > 0.9
    assert peak_growth(call, "plain") < 0.05


# --- Python code that frees the arrays mid-call --------------------------------


def free(*arrays):
    """Frees the arrays' memory under the module: a resize without the
    reference check reallocates the buffer and releases the old one."""
    for array in arrays:
        array.resize(array.size // 2 + 1, refcheck=False)


class Rotation:
    """A data object whose attributes are an (nx, ny) rotation field, read
    in place; `on_by` runs when `by` is looked up."""

    def __init__(self, n=64, on_by=None):
        rng = np.random.default_rng(n)
        self.x1, self.x2, bx, by = rotation(n, n, rng, indexing="ij")
        self.bx, self._by = bx.copy(), by.copy()
        self.on_by = on_by

    @property
    def by(self):
        if self.on_by is not None:
            self.on_by(self)
        return self._by


def find(ds, **options):
    # Few steps on the grid's 4096 points: read in place, not copied.
    options.setdefault("numsteps", 10)
    return torvelin.find_fieldlines(ds, "bx", "by", x0=[0.3, 0.5, -0.4], y0=[0.0, 0.1, 0.2],
                                    **options)


def same_lines(got, want):
    return len(got) == len(want) and all(
        gx.tobytes() == wx.tobytes() and gy.tobytes() == wy.tobytes()
        for (gx, gy), (wx, wy) in zip(got, want))


@pytest.fixture
def gc_hook():
    """Installs a garbage-collector callback and makes collections frequent."""
    installed = []
    threshold = gc.get_threshold()

    def install(callback):
        installed.append(callback)
        gc.callbacks.append(callback)
        # A second threshold of 0 makes a free-threaded build collect once
        # the young count passes 1, not only once it passes a quarter of
        # all live objects.
        gc.set_threshold(1, 0)

    yield install
    gc.set_threshold(*threshold)
    for callback in installed:
        gc.callbacks.remove(callback)


def test_gc_callback_freeing_the_held_field_before_tracing_is_reported(gc_hook):
    # bx is held when by is looked up; a collection during that lookup frees
    # bx before the first point is traced.
    def on_by(ds):
        def callback(phase, info):
            if phase == "start" and ds.bx.size > 1:
                free(ds.bx)
        gc_hook(callback)
        gc.collect()

    with pytest.raises(RuntimeError, match="field array was resized"):
        find(Rotation(on_by=on_by))


def test_gc_callback_freeing_the_field_at_any_collection_of_a_call(gc_hook):
    """Whichever collection of the call frees the arrays, the call gives the
    points it gives undisturbed, or reports the change."""
    # Fewer steps than the grid has points: read in place, not copied. The
    # lookup of by collects once on every interpreter; more collections come
    # where the interpreter runs them by itself: at allocations (3.11), or
    # where pending work runs, as in the module's looks at signals while it
    # builds the entries of over a thousand lines (a free-threaded build).
    count = 1100
    footpoints = dict(x0=np.linspace(-0.8, 0.8, count), y0=np.zeros(count), numsteps=12)
    want = torvelin.find_fieldlines(Rotation(), "bx", "by", **footpoints)
    state = {"collections": 0, "free_at": None, "ds": None}

    def callback(phase, info):
        if phase != "start" or state["ds"] is None:
            return
        state["collections"] += 1
        if state["collections"] == state["free_at"]:
            free(state["ds"].bx, state["ds"]._by)

    gc_hook(callback)

    def run(free_at):
        state.update(collections=0, free_at=free_at, ds=Rotation(on_by=lambda ds: gc.collect()))
        try:
            return torvelin.find_fieldlines(state["ds"], "bx", "by", **footpoints)
        finally:
            state["ds"] = None

    assert same_lines(run(None), want)
    collections = state["collections"]
    assert collections > 1
    for free_at in range(1, min(collections, 25) + 1):
        try:
            got = run(free_at)
        except RuntimeError as exc:  # bx shrank while held
            assert "field array was resized" in str(exc)
        except ValueError as exc:  # by shrank before it was read
            assert "Field arrays must have length nx * ny" in str(exc)
        else:
            assert same_lines(got, want), f"freed at collection {free_at}"


ALARM = textwrap.dedent(
    """
    import signal, sys, types
    import numpy as np
    import torvelin

    call = sys.argv[1]
    # Fewer steps than half the grid's points: the field is read in place.
    n = 2048
    xs = np.linspace(-1.0, 1.0, n)
    X, Y = np.meshgrid(xs, xs, indexing="ij")
    bx, by = np.ascontiguousarray(-Y), np.ascontiguousarray(X)
    flat_bx, flat_by = (-Y).ravel("F"), X.ravel("F")
    count = 16 if call == "trace" else 8
    seeds = [(0.2 + 0.6 * k / (count - 1), 0.0) for k in range(count)]
    fired = []
    calling = False

    def handler(signum, frame):
        if not calling:  # held up between the alarm and the call: wait for the call
            signal.setitimer(signal.ITIMER_REAL, 0.005)
            return
        fired.append(True)
        for array in (bx, by, flat_bx, flat_by):
            array.resize(array.size // 2 + 1, refcheck=False)
            array[:] = np.nan

    ds = types.SimpleNamespace(x1=xs, x2=xs, bx=bx, by=by)
    x0, y0 = np.array(seeds).T.copy()
    # Everything is ready before the alarm is set, and nothing between setting
    # `calling` and the call looks for signals: the handler frees the arrays
    # only inside the call, where it looks for signals.
    signal.signal(signal.SIGALRM, handler)
    signal.setitimer(signal.ITIMER_REAL, 0.005)
    try:
        if call == "trace":
            calling = True
            torvelin.trace_fieldlines(-1.0, 1.0, -1.0, 1.0, n, n, flat_bx, flat_by, seeds,
                                      0.001, 100000)
        else:
            calling = True
            torvelin.find_fieldlines(ds, "bx", "by", x0=x0, y0=y0, numsteps=100000,
                                     close=False, step=0.001)
    except RuntimeError as exc:
        print("RuntimeError:", exc)
    else:
        print("finished" if fired else "finished before the alarm")
    """
)


@pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs setitimer")
@pytest.mark.parametrize("call", ["trace", "find"])
def test_signal_handler_freeing_the_field_mid_call_is_reported(call):
    """The handler runs while the call traces (the call takes far longer
    than the alarm's 5 ms) and frees both arrays: the call must notice
    before it reads them again (the sanitizer stage would see a read of
    freed memory), and report it."""
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "PYTHONHOME")}
    proc = subprocess.run([sys.executable, "-c", ALARM, call], capture_output=True, text=True,
                          timeout=120, env=env)
    assert proc.returncode == 0, proc.stderr[-3000:]
    assert proc.stdout.startswith("RuntimeError: a field array was resized"), proc.stdout
