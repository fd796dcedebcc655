"""trace_fieldlines: result array, grid checks and internal faults."""

import gc
import re
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest

from conftest import PanicException, Raising
import torvelin
from torvelin import trace_fieldlines

NAN_BITS = 0x7FF8000000000000


def trace(xmin=0.0, xmax=1.0, ymin=0.0, ymax=1.0, nx=2, ny=2, bx=None, by=None,
          seeds=((0.5, 0.5),), step=0.1, max_steps=1):
    if bx is None:
        bx = np.zeros(nx * ny)
    if by is None:
        by = np.zeros(nx * ny)
    return trace_fieldlines(xmin, xmax, ymin, ymax, nx, ny, bx, by, list(seeds), step, max_steps)


def uniform_x(nx=2, ny=2):
    return np.ones(nx * ny), np.zeros(nx * ny)


# --- the result array -------------------------------------------------------

def test_result_array_properties():
    bx, by = uniform_x()
    out = trace(xmax=4.0, bx=bx, by=by, seeds=[(0.5, 0.5), (1.0, 0.25), (9.0, 0.5)], step=0.5, max_steps=3)
    assert type(out) is np.ndarray
    assert out.dtype == np.float64
    assert out.dtype.isnative
    assert out.shape == (3, 4, 2)
    assert out.strides == (4 * 2 * 8, 2 * 8, 8)
    assert out.flags.c_contiguous
    assert out.flags.writeable
    assert out.flags.aligned
    assert not out.flags.owndata
    assert out.base is not None
    assert type(out.base).__name__ == "PySliceContainer"
    assert not hasattr(torvelin, "PySliceContainer")
    # writing into it works and sticks
    out[2, 0, 0] = 7.0
    assert out[2, 0, 0] == 7.0


def test_result_values_and_nan_fill():
    # Field (1, 0): x advances by `step` per step; the line stops before leaving [0, 1].
    bx, by = uniform_x()
    out = trace(bx=bx, by=by, seeds=[(0.0, 0.5), (2.0, 0.5)], step=0.25, max_steps=6)
    assert out[0, :5].tolist() == [[0.0, 0.5], [0.25, 0.5], [0.5, 0.5], [0.75, 0.5], [1.0, 0.5]]
    unused = np.concatenate([out[0, 5:].ravel(), out[1].ravel()])
    assert unused.size == 2 * 2 + 7 * 2
    assert (unused.view(np.uint64) == NAN_BITS).all()


def test_each_call_returns_a_new_buffer():
    first = trace()
    second = trace()
    assert not np.shares_memory(first, second)
    first[0, 0, 0] = 42.0
    assert second[0, 0, 0] == 0.5


def test_memory_of_a_released_result_never_shows_through():
    # Large blocks are recycled between calls, so an 8 MiB result full of
    # points, once released, comes back for the next result of that size:
    # every slot its lines leave unused must still read NaN.
    inside = [(0.5, 0.5)] * 31
    shape = dict(nx=3, ny=3, step=0.1, max_steps=8191,
                 seeds=[(5.0, 5.0)] + inside + [(-1.0, 0.5)] + inside + [(0.5, 7.0)])
    crawling = trace(bx=np.full(9, 1e-6), **shape)
    assert np.isfinite(crawling).sum() == 62 * 8192 * 2
    crawling[~np.isfinite(crawling)] = 1.0
    del crawling
    gc.collect()
    leaving = trace(bx=np.ones(9), **shape)
    points = np.isfinite(leaving[:, :, 0]).sum(axis=1)
    assert points[[0, 32, 64]].tolist() == [0, 0, 0]
    assert np.delete(points, [0, 32, 64]).min() > 1 and points.max() < 10
    for row, count in zip(leaving, points):
        assert (row[count:].view(np.uint64) == NAN_BITS).all()


def test_max_steps_zero():
    out = trace(seeds=[(0.25, 0.75), (1.5, 0.5), (1.0, 1.0)], max_steps=0)
    assert out.shape == (3, 1, 2)
    assert out[0, 0].tolist() == [0.25, 0.75]
    assert np.isnan(out[1]).all()
    assert out[2, 0].tolist() == [1.0, 1.0]


ON_BOUNDS = [(0.0, 0.5), (1.0, 0.5), (0.5, 0.0), (0.5, 1.0), (0.0, 0.0), (1.0, 1.0), (0.0, 1.0), (1.0, 0.0)]
JUST_OUTSIDE = [
    (np.nextafter(0.0, -1.0), 0.5),
    (np.nextafter(1.0, 2.0), 0.5),
    (0.5, np.nextafter(0.0, -1.0)),
    (0.5, np.nextafter(1.0, 2.0)),
    (-5.0, -5.0),
    (float("inf"), 0.5),
    (0.5, float("-inf")),
]


@pytest.mark.parametrize("seed", ON_BOUNDS)
def test_seed_on_bound_is_inside(seed):
    # zero field: every step repeats the seed
    out = trace(seeds=[seed], max_steps=2)
    assert out[0].tolist() == [list(seed)] * 3


@pytest.mark.parametrize("seed", JUST_OUTSIDE)
def test_seed_outside_gives_nan_row(seed):
    out = trace(seeds=[(0.5, 0.5), seed], max_steps=2)
    assert out.shape == (2, 3, 2)
    assert (out[1].view(np.uint64) == NAN_BITS).all()
    assert out[0].tolist() == [[0.5, 0.5]] * 3


def test_field_values_are_read_in_index_order():
    # x varies fastest: rows of nx values, bx = 0 on the bottom row, 1 on the top row.
    # Along y = 0.25 the field is (0.25, 0), so each unit step moves x by 0.25.
    bx = np.array([0.0, 0.0, 0.0, 1.0, 1.0, 1.0])
    out = trace(xmax=2.0, nx=3, ny=2, bx=bx, by=np.zeros(6), seeds=[(0.0, 0.25)], step=1.0, max_steps=2)
    assert out[0, :, 0].tolist() == pytest.approx([0.0, 0.25, 0.5], abs=1e-15)
    assert out[0, :, 1].tolist() == [0.25, 0.25, 0.25]


# --- grid construction faults -----------------------------------------------

@pytest.mark.parametrize(
    "kwargs, message",
    [
        (dict(nx=2, ny=3, bx=np.zeros(5), by=np.zeros(6)),
         "assertion `left == right` failed: bx length must be nx * ny\n  left: 5\n right: 6"),
        (dict(nx=2, ny=3, bx=np.zeros(7), by=np.zeros(6)),
         "assertion `left == right` failed: bx length must be nx * ny\n  left: 7\n right: 6"),
        (dict(nx=2, ny=3, bx=np.zeros(6), by=np.zeros(5)),
         "assertion `left == right` failed: by length must be nx * ny\n  left: 5\n right: 6"),
        (dict(nx=3, ny=3, bx=np.zeros(9), by=np.zeros(100)),
         "assertion `left == right` failed: by length must be nx * ny\n  left: 100\n right: 9"),
        # both wrong: bx is the one reported
        (dict(nx=2, ny=3, bx=np.zeros(5), by=np.zeros(4)),
         "assertion `left == right` failed: bx length must be nx * ny\n  left: 5\n right: 6"),
        # a 2-D field flattened the wrong way round is fine, but one of the wrong size is not
        (dict(nx=3, ny=2, bx=np.zeros((3, 3)).ravel(), by=np.zeros(6)),
         "assertion `left == right` failed: bx length must be nx * ny\n  left: 9\n right: 6"),
        (dict(nx=1, ny=4, bx=np.zeros(4), by=np.zeros(4)), "nx must be at least 2"),
        (dict(nx=0, ny=4, bx=np.zeros(0), by=np.zeros(0)), "nx must be at least 2"),
        (dict(nx=4, ny=1, bx=np.zeros(4), by=np.zeros(4)), "ny must be at least 2"),
        (dict(nx=4, ny=0, bx=np.zeros(4), by=np.zeros(4)), "ny must be at least 2"),
        # nx before ny, and both before the lengths
        (dict(nx=1, ny=1, bx=np.zeros(3), by=np.zeros(3)), "nx must be at least 2"),
        (dict(nx=2, ny=1, bx=np.zeros(7), by=np.zeros(7)), "ny must be at least 2"),
        (dict(nx=2**32, ny=2**32, bx=np.zeros(4), by=np.zeros(4)), "attempt to multiply with overflow"),
        (dict(nx=2, ny=2**63, bx=np.zeros(4), by=np.zeros(4)), "attempt to multiply with overflow"),
        (dict(nx=2**64 - 1, ny=2**64 - 1, bx=np.zeros(4), by=np.zeros(4)), "attempt to multiply with overflow"),
    ],
    ids=["bx-short", "bx-long", "by-short", "by-long", "both-wrong", "wrong-size", "nx-1", "nx-0", "ny-1",
         "ny-0", "nx-and-ny", "ny-before-length", "product-2**64", "product-2**64-b", "product-huge"],
)
def test_grid_faults(kwargs, message):
    with pytest.raises(PanicException) as excinfo:
        trace(**kwargs)
    assert excinfo.value.args == (message,)
    assert str(excinfo.value) == message


def test_grid_fault_product_just_fits():
    # 2**32 * (2**32 - 1) fits in 64 bits, so the length check is what fails.
    n = 2**32 * (2**32 - 1)
    with pytest.raises(PanicException) as excinfo:
        trace(nx=2**32, ny=2**32 - 1, bx=np.zeros(4), by=np.zeros(4))
    assert excinfo.value.args == (
        f"assertion `left == right` failed: bx length must be nx * ny\n  left: 4\n right: {n}",
    )


@pytest.mark.parametrize("max_steps, outcome", [(2**58, None), (2**59, ValueError),
                                               (2**61, ValueError)])
def test_no_seeds_with_rows_beyond_the_index_range(max_steps, outcome):
    # An empty result whose rows would span more bytes than an index holds:
    # below that, an empty array; beyond, NumPy's refusal of the shape.
    if outcome is None:
        assert trace(seeds=[], max_steps=max_steps).shape == (0, max_steps + 1, 2)
        return
    with pytest.raises(outcome):
        trace(seeds=[], max_steps=max_steps)


@pytest.mark.parametrize(
    "num_seeds, max_steps",
    [(1, 2**62), (3, 2**61), (0, 2**62), (0, 2**64 - 2), (2**20, 2**42)],
    ids=["one-seed", "three-seeds", "no-seed", "no-seed-max", "many-seeds"],
)
def test_shape_too_large(num_seeds, max_steps):
    # Zero-length axes are not counted, so even an empty seed list can be too large.
    with pytest.raises(PanicException) as excinfo:
        trace(seeds=[(0.5, 0.5)] * num_seeds, max_steps=max_steps)
    message = str(excinfo.value)
    assert excinfo.value.args == (message,)
    assert "too large" in message
    assert "shape" in message


@pytest.mark.exhausts_memory
def test_largest_shape_that_fits_is_not_a_shape_fault():
    # 1 * (2**61 + 1) * 2 < 2**63: no shape fault, the allocation itself fails.
    started = time.monotonic()
    with pytest.raises(MemoryError):
        trace(seeds=[(0.5, 0.5)], max_steps=2**61)
    assert time.monotonic() - started < 5


@pytest.mark.exhausts_memory
@pytest.mark.parametrize(
    "num_seeds, max_steps",
    [(2, 2**40), (2, 2**44), (1, 2**45)],
)
def test_memory_error_for_unallocatable_result(num_seeds, max_steps):
    # Far beyond RAM and even beyond the address space: must raise, not crash.
    started = time.monotonic()
    with pytest.raises(MemoryError):
        trace(seeds=[(0.5, 0.5)] * num_seeds, max_steps=max_steps)
    assert time.monotonic() - started < 5
    # the module keeps working
    out = trace(seeds=[(0.5, 0.5)], max_steps=2)
    assert out.tolist() == [[[0.5, 0.5]] * 3]


def test_module_works_after_faults():
    for kwargs in (dict(nx=1), dict(max_steps=2**64 - 1), dict(max_steps=2**62)):
        with pytest.raises(PanicException):
            trace(**kwargs)
    bx, by = uniform_x()
    out = trace(bx=bx, by=by, seeds=[(0.0, 0.0)], step=0.5, max_steps=2)
    assert out[0].tolist() == [[0.0, 0.0], [0.5, 0.0], [1.0, 0.0]]


# --- PanicException ---------------------------------------------------------

def test_panic_exception_type():
    assert issubclass(PanicException, BaseException)
    assert not issubclass(PanicException, Exception)
    assert PanicException.__bases__ == (BaseException,)
    assert PanicException.__name__ == "PanicException"
    assert PanicException.__module__ != "torvelin"
    assert getattr(torvelin, "PanicException", None) is not PanicException
    doc = PanicException.__doc__
    assert doc.startswith("\n") and doc.endswith("\n")
    lines = doc.split("\n")
    assert len(lines) == 7
    assert lines[0] == "" and lines[1] != "" and lines[2] == "" and lines[6] == ""
    assert lines[3:6] == [
        "Like SystemExit, this exception is derived from BaseException so that",
        "it will typically propagate all the way through the stack and cause the",
        "Python interpreter to exit.",
    ]


def test_panic_exception_is_one_type():
    with pytest.raises(BaseException) as first:
        trace(nx=1)
    with pytest.raises(BaseException) as second:
        trace(max_steps=2**64 - 1)
    assert type(first.value) is type(second.value) is PanicException


def test_except_exception_does_not_catch_panic():
    caught_by = None
    try:
        try:
            trace(nx=1)
        except Exception:  # noqa: BLE001 - this must not catch it
            caught_by = "Exception"
    except BaseException as exc:  # noqa: BLE001
        caught_by = "BaseException"
        assert str(exc) == "nx must be at least 2"
        assert exc.args == ("nx must be at least 2",)
    assert caught_by == "BaseException"


def test_panic_diagnostic_on_stderr(capfd):
    capfd.readouterr()
    with pytest.raises(PanicException):
        trace(nx=2, ny=3, bx=np.zeros(5))
    out, err = capfd.readouterr()
    assert out == ""
    assert "bx length must be nx * ny" in err
    assert "left: 5" in err
    # names a source location as file:line
    assert re.search(r"[\w./\\-]+\.\w+:\d+", err)


def test_first_fault_adds_hint_once():
    code = textwrap.dedent(
        """
        import sys
        import numpy as np
        import torvelin
        z = np.zeros(4)
        for _ in range(2):
            try:
                torvelin.trace_fieldlines(0.0, 1.0, 0.0, 1.0, 1, 4, z, z, [], 0.1, 1)
            except BaseException:
                pass
            sys.stderr.flush()
            sys.stderr.write("@@MARK@@\\n")
            sys.stderr.flush()
        """
    )
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    first, second, rest = proc.stderr.split("@@MARK@@\n")
    assert rest == ""
    for part in (first, second):
        assert "nx must be at least 2" in part
        assert re.search(r"[\w./\\-]+\.\w+:\d+", part)
    first_lines = set(first.splitlines())
    second_lines = set(second.splitlines())
    # the first report carries an extra line that the second one lacks
    assert len(first.splitlines()) > len(second.splitlines())
    assert first_lines - second_lines


@pytest.mark.parametrize("where", ["seed", "xmin", "step", "nx"])
def test_panic_from_python_code_stays_a_panic(where, capfd):
    original = PanicException("raised by a callback")
    value = Raising(original)
    kwargs = {"seeds": [(0.5, value)]} if where == "seed" else {where: value}
    kwargs.update(bx=np.zeros(4), by=np.zeros(4))
    capfd.readouterr()
    with pytest.raises(BaseException) as excinfo:
        trace(**kwargs)
    exc = excinfo.value
    assert type(exc) is PanicException
    assert exc is not original
    assert exc.args == ("raised by a callback",)
    assert str(exc) == "raised by a callback"
    _, err = capfd.readouterr()
    # the returning exception is reported with its traceback
    assert "Traceback" in err
    assert "__index__" in err if where == "nx" else "__float__" in err
    assert err.count("raised by a callback") >= 2
