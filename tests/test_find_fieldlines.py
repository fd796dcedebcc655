"""find_fieldlines: argument binding, the driver's checks and their order, and
the shape of the result (open and closed lines, footpoints outside, limits)."""

import math

import numpy as np
import pytest

import torvelin
from conftest import GENERIC, Data, NoRavel, PanicException, same_lines

ff = torvelin.find_fieldlines

MSG_COORDS = "x1 and x2 must each contain at least 2 points"
MSG_FOOT = "Footpoints not provided. Please provide x0 and y0."
MSG_LEN = "x0 and y0 must have the same length"


def rotation_data(n=21):
    """B = (-y, x) on n x n points over [-1, 1]^2, components as (nx, ny) arrays."""
    x = np.linspace(-1.0, 1.0, n)
    X, Y = np.meshgrid(x, x, indexing="ij")
    return Data(x1=x, x2=x.copy(), bx=-Y, by=X.copy())


def uniform_data(n=11):
    """B = (1, 0) on n x n points over [0, 1]^2."""
    x = np.linspace(0.0, 1.0, n)
    return Data(x1=x, x2=x.copy(), bx=np.ones(n * n), by=np.zeros(n * n))


ROT = rotation_data()
ROT_STEP = 0.1  # default step: spacing of the 21 coordinates over [-1, 1]


def points(entry):
    return list(zip(entry[0].tolist(), entry[1].tolist()))


class Boom(Exception):
    pass


class Tagged:
    """Cannot be coerced: its `ravel` raises Boom(tag)."""

    def __init__(self, tag):
        self.tag = tag

    def ravel(self, *args):
        raise Boom(self.tag)


# --- driver messages and the order of the checks ----------------------------

GRID_3x4 = dict(x1=[0.0, 1.0, 2.0], x2=[0.0, 1.0, 2.0, 3.0])


def _data_without(*names):
    d = rotation_data(5)
    for name in names:
        delattr(d, name)
    return d


DRIVER_CASES = [
    # (id, data, var1, var2, kwargs, exception type, exact args or tag)
    ("x1-one-point", ROT, "bx", "by", dict(x1=[0.0], x0=[0.0], y0=[0.0]), ValueError, MSG_COORDS),
    ("x2-one-point", ROT, "bx", "by", dict(x2=[0.0], x0=[0.0], y0=[0.0]), ValueError, MSG_COORDS),
    ("x1-empty", ROT, "bx", "by", dict(x1=[], x0=[0.0], y0=[0.0]), ValueError, MSG_COORDS),
    ("data-x1-one-point", Data(x1=[1.0], x2=[0.0, 1.0]), [0.0] * 2, [0.0] * 2,
     dict(x0=[0.0], y0=[0.0]), ValueError, MSG_COORDS),
    ("x0-missing", ROT, "bx", "by", dict(y0=[0.0]), ValueError, MSG_FOOT),
    ("y0-missing", ROT, "bx", "by", dict(x0=[0.0]), ValueError, MSG_FOOT),
    ("both-missing", ROT, "bx", "by", dict(), ValueError, MSG_FOOT),
    ("x0-none", ROT, "bx", "by", dict(x0=None, y0=[0.0]), ValueError, MSG_FOOT),
    ("lengths-differ", ROT, "bx", "by", dict(x0=[0.0, 0.1], y0=[0.0]), ValueError, MSG_LEN),
    ("lengths-differ-empty", ROT, "bx", "by", dict(x0=[], y0=[0.0]), ValueError, MSG_LEN),
    ("field-11-12", None, [0.0] * 11, [0.0] * 12, dict(GRID_3x4, x0=[0.5], y0=[0.5]),
     ValueError, "Field arrays must have length nx * ny (got bx=11, by=12, nx*ny=12)"),
    ("field-12-13", None, [0.0] * 12, [0.0] * 13, dict(GRID_3x4, x0=[0.5], y0=[0.5]),
     ValueError, "Field arrays must have length nx * ny (got bx=12, by=13, nx*ny=12)"),
    ("field-empty", None, [], [], dict(GRID_3x4, x0=[0.5], y0=[0.5]),
     ValueError, "Field arrays must have length nx * ny (got bx=0, by=0, nx*ny=12)"),
    ("field-by-name-2d", Data(bx=np.zeros((3, 3)), by=np.zeros((3, 4))), "bx", "by",
     dict(GRID_3x4, x0=[0.5], y0=[0.5]),
     ValueError, "Field arrays must have length nx * ny (got bx=9, by=12, nx*ny=12)"),
    # Order: every check against each later one.
    ("x1-conversion-before-x2-conversion", ROT, "bx", "by",
     dict(x1=Tagged("x1"), x2=Tagged("x2")), Boom, "x1"),
    ("x2-conversion-before-coordinate-count", ROT, "bx", "by",
     dict(x1=[0.0], x2=Tagged("x2")), Boom, "x2"),
    ("coordinate-count-before-missing-footpoints", ROT, "bx", "by", dict(x1=[0.0]),
     ValueError, MSG_COORDS),
    ("coordinate-count-before-x0-conversion", ROT, Tagged("var1"), "by",
     dict(x2=[1.0], x0=Tagged("x0"), y0=Tagged("y0")), ValueError, MSG_COORDS),
    ("missing-x0-before-y0-conversion", ROT, "bx", "by", dict(y0=Tagged("y0")),
     ValueError, MSG_FOOT),
    ("x0-conversion-before-missing-y0", ROT, "bx", "by", dict(x0=Tagged("x0")), Boom, "x0"),
    ("x0-generic-error-before-missing-y0", ROT, "bx", "by", dict(x0="ab"), TypeError, GENERIC),
    ("x0-conversion-before-y0-conversion", ROT, "bx", "by",
     dict(x0=Tagged("x0"), y0=Tagged("y0")), Boom, "x0"),
    ("y0-conversion-before-length-check", ROT, "bx", "by",
     dict(x0=[0.0, 1.0], y0=Tagged("y0")), Boom, "y0"),
    ("length-check-before-field-errors", ROT, Tagged("var1"), "missing",
     dict(x0=[0.0, 0.1], y0=[0.0]), ValueError, MSG_LEN),
    ("var1-before-var2", ROT, Tagged("var1"), Tagged("var2"), dict(x0=[0.0], y0=[0.0]),
     Boom, "var1"),
    ("var2-conversion-before-size-check", None, [0.0] * 5, Tagged("var2"),
     dict(GRID_3x4, x0=[0.5], y0=[0.5]), Boom, "var2"),
]


@pytest.mark.parametrize("data,var1,var2,kwargs,exc_type,expected",
                         [pytest.param(*c[1:], id=c[0]) for c in DRIVER_CASES])
def test_driver_errors_and_their_order(data, var1, var2, kwargs, exc_type, expected):
    with pytest.raises(exc_type) as info:
        ff(data, var1, var2, **kwargs)
    assert type(info.value) is exc_type
    assert info.value.args == (expected,)


@pytest.mark.parametrize("missing,kwargs", [
    ("x1", dict()),
    ("x1", dict(x2=Tagged("x2"))),
    ("x1", dict(x0=[0.0], y0=[0.0, 1.0])),
    ("x2", dict(x1=[0.0, 1.0])),
    ("x2", dict(x1=np.linspace(-1, 1, 5), x0=Tagged("x0"))),
], ids=["no-footpoints", "before-x2", "before-length-check", "x2-attribute", "before-x0"])
def test_missing_coordinate_attribute_is_raised_first(missing, kwargs):
    data = _data_without(missing)
    with pytest.raises(AttributeError) as expected:
        getattr(data, missing)
    with pytest.raises(AttributeError) as info:
        ff(data, "bx", "by", **kwargs)
    assert type(info.value) is AttributeError
    assert str(info.value) == str(expected.value)


def test_coordinate_lookup_error_is_the_objects_own():
    exc = Boom("no coordinates here")

    class Source:
        bx = [0.0] * 4
        by = [0.0] * 4

        def __getattr__(self, name):
            raise exc

    with pytest.raises(Boom) as info:
        ff(Source(), "bx", "by", x0=[0.5], y0=[0.5])
    assert info.value is exc
    # Given coordinates, the data object is only asked for the field names.
    assert len(ff(Source(), "bx", "by", x1=[0.0, 1.0], x2=[0.0, 1.0], x0=[0.5], y0=[0.5],
                  numsteps=1)) == 1


def test_given_coordinates_take_precedence_over_data():
    data = Data(x1=[5.0, 6.0], x2=[5.0, 6.0], bx=[0.1] * 4, by=[0.0] * 4)
    kw = dict(x0=[0.5], y0=[0.5], numsteps=3)
    assert ff(data, "bx", "by", **kw) == []
    lines = ff(data, "bx", "by", x1=[0.0, 1.0], x2=[0.0, 1.0], **kw)
    assert len(lines) == 1
    assert ff(data, "bx", "by", x1=[0.0, 1.0], **kw) == []


# --- options -------------------------------------------------------------------


def test_only_footpoints_given_uses_defaults():
    explicit = ff(ROT, "bx", "by", x1=ROT.x1, x2=ROT.x2, x0=[0.5], y0=[0.0], maxstep=None,
                  numsteps=None, step=None, rtol=None, atol=None, order=None, dense=None,
                  close=None, ctol=None, text=False, transpose=False)
    assert same_lines(ff(ROT, "bx", "by", x0=[0.5], y0=[0.0]), explicit)


# Both footpoints lie at radius 0.5 and close after about 126 steps.
SHORT = dict(x0=[0.5, -0.3], y0=[0.0, 0.4], numsteps=150, ctol=0.1)


def test_close_decides_between_loops_and_joined_lines():
    loops = ff(ROT, "bx", "by", **SHORT)
    for default in (dict(), dict(close=True), dict(close=None)):
        assert same_lines(ff(ROT, "bx", "by", **SHORT, **default), loops)
    joined = ff(ROT, "bx", "by", **dict(SHORT, close=False))
    assert len(loops) == len(joined) == 2
    for loop, line in zip(loops, joined):
        assert points(loop)[0] == points(loop)[-1]
        assert len(line[0]) == 2 * 150 + 1


def test_numsteps_zero_gives_no_lines():
    assert ff(ROT, "bx", "by", x0=[0.5, -0.3], y0=[0.0, 0.4], numsteps=0) == []
    assert ff(ROT, "bx", "by", x0=[0.5, -0.3], y0=[0.0, 0.4], numsteps=np.int64(0)) == []


NO_EFFECT = [
    ("rtol", 1e-12), ("rtol", -1.0), ("rtol", math.nan), ("atol", 0.0), ("atol", math.inf),
    ("order", "rk45"), ("order", ""), ("order", "\u00e9t\u00e9"), ("dense", True),
    ("dense", False), ("text", True), ("transpose", True),
]


@pytest.mark.parametrize("name,value", NO_EFFECT)
def test_options_without_effect_do_not_change_the_result(name, value):
    data = rotation_data(9)
    # Unequal column and row counts: a reordering of the field would show.
    data.x2 = np.linspace(-1.0, 1.0, 7)
    X, Y = np.meshgrid(data.x1, data.x2, indexing="ij")
    data.bx, data.by = -Y + 0.1 * X, X + 0.05
    kw = dict(x0=[0.5, -0.2, 0.1], y0=[0.0, 0.4, -0.6], numsteps=80, ctol=0.1)
    reference = ff(data, "bx", "by", **kw)
    assert len(reference) == 3
    assert same_lines(ff(data, "bx", "by", **kw, **{name: value}), reference)


@pytest.mark.parametrize("args,kwargs", [
    ((), dict(data=ROT, var1="bx", var2="by")),
    ((ROT,), dict(var2="by", var1="bx")),
    ((ROT, "bx"), dict(var2="by")),
], ids=["all-keywords", "two-keywords", "one-keyword"])
def test_positional_parameters_by_keyword(args, kwargs):
    reference = ff(ROT, "bx", "by", **SHORT)
    assert len(reference) == 2
    assert same_lines(ff(*args, **kwargs, **SHORT), reference)


def test_none_for_data_and_fields_binds():
    # None is an ordinary value for data, var1 and var2: the driver decides.
    with pytest.raises(AttributeError):
        ff(None, "bx", "by", x0=[0.0], y0=[0.0])
    with pytest.raises(TypeError) as info:
        ff(None, None, [0.0] * 4, x1=[0.0, 1.0], x2=[0.0, 1.0], x0=[0.5], y0=[0.5])
    assert info.value.args == (GENERIC,)


# --- results ----------------------------------------------------------------


@pytest.mark.parametrize("x0,y0", [([], []), ((), np.array([])), (np.zeros((0, 2)), range(0))],
                         ids=["lists", "tuple-array", "2d-range"])
def test_no_footpoints_give_an_empty_list(x0, y0):
    result = ff(ROT, "bx", "by", x0=x0, y0=y0)
    assert type(result) is list and result == []


def test_footpoint_outside_gives_no_entry_and_later_entries_move_up():
    inside = [(0.5, 0.0), (-0.3, 0.4), (0.1, -0.7)]
    outside = [(1.5, 0.0), (0.0, -1.01), (math.inf, 0.0)]
    order = [outside[0], inside[0], outside[1], inside[1], outside[2], inside[2]]
    kw = dict(numsteps=40)
    lines = ff(ROT, "bx", "by", x0=[p[0] for p in order], y0=[p[1] for p in order], **kw)
    assert len(lines) == 3
    for (x, y), entry in zip(inside, lines):
        single = ff(ROT, "bx", "by", x0=[x], y0=[y], **kw)
        assert same_lines([entry], single)
    for x, y in outside:
        assert ff(ROT, "bx", "by", x0=[x], y0=[y], **kw) == []


def test_footpoints_on_the_grid_edges_are_inside():
    lines = ff(ROT, "bx", "by", x0=[1.0, -1.0, 0.0, 0.0], y0=[0.0, 0.0, 1.0, -1.0], numsteps=5)
    assert len(lines) == 4
    for entry, fp in zip(lines, [(1.0, 0.0), (-1.0, 0.0), (0.0, 1.0), (0.0, -1.0)]):
        assert fp in points(entry)


@pytest.mark.parametrize("reverse", ["x1", "x2", "both"])
def test_descending_coordinates_give_no_lines(reverse):
    kw = dict(x1=ROT.x1, x2=ROT.x2)
    for name in (("x1", "x2") if reverse == "both" else (reverse,)):
        kw[name] = kw[name][::-1]
    fps = dict(x0=[0.5, 0.0, -0.3], y0=[0.0, 0.0, 0.4], numsteps=20)
    assert len(ff(ROT, "bx", "by", x1=ROT.x1, x2=ROT.x2, **fps)) == 3
    assert ff(ROT, "bx", "by", **kw, **fps) == []


def _trace_length(data, fp, step, max_steps):
    """Number of points of the plain RK4 trace of one footpoint."""
    nx, ny = len(data.x1), len(data.x2)
    out = torvelin.trace_fieldlines(
        float(data.x1[0]), float(data.x1[-1]), float(data.x2[0]), float(data.x2[-1]), nx, ny,
        np.ascontiguousarray(np.asarray(data.bx, dtype=float).ravel("F")),
        np.ascontiguousarray(np.asarray(data.by, dtype=float).ravel("F")),
        [fp], step, max_steps)
    return int(np.count_nonzero(~np.isnan(out[0, :, 0])))


UNI = uniform_data()


@pytest.mark.parametrize("data,fp,numsteps", [
    (ROT, (0.5, 0.0), 10),
    (ROT, (-0.2, 0.6), 37),
    (ROT, (0.95, 0.6), 200),
    (UNI, (0.05, 0.5), 100),
    (UNI, (0.45, 0.3), 100),
    (UNI, (0.95, 0.7), 100),
    (UNI, (1.0, 0.5), 100),
], ids=["rotation-10", "rotation-37", "rotation-leaves", "uniform-left", "uniform-middle",
        "uniform-right", "uniform-edge"])
def test_open_line_holds_the_footpoint_once_after_the_backward_half(data, fp, numsteps):
    step = float(data.x1[1] - data.x1[0])
    n_back = _trace_length(data, fp, -step, numsteps)
    n_fwd = _trace_length(data, fp, step, numsteps)
    lines = ff(data, "bx", "by", x0=[fp[0]], y0=[fp[1]], numsteps=numsteps, close=False)
    assert len(lines) == 1
    pts = points(lines[0])
    assert len(pts) == n_back + n_fwd - 1
    assert pts[n_back - 1] == fp
    assert pts.count(fp) == 1


def test_joined_line_length_without_leaving_the_grid():
    lines = ff(ROT, "bx", "by", x0=[0.5], y0=[0.0], numsteps=10, close=False)
    pts = points(lines[0])
    assert len(pts) == 21
    assert pts[10] == (0.5, 0.0) and pts.count((0.5, 0.0)) == 1


def test_default_step_limit_is_16384_per_direction():
    lines = ff(ROT, "bx", "by", x0=[0.5], y0=[0.0], close=False)
    assert len(lines[0][0]) == 2 * 16384 + 1


def test_uniform_field_line_runs_along_the_field():
    # B = (1, 0): the line is the row through the footpoint, from the left edge
    # to the right edge in steps of the grid spacing.
    lines = ff(UNI, "bx", "by", x0=[0.45], y0=[0.3])
    xs, ys = lines[0]
    assert np.all(ys == 0.3)
    assert np.all(np.diff(xs) > 0)
    np.testing.assert_allclose(np.diff(xs), 0.1, rtol=1e-9)
    assert xs[0] >= 0.0 and xs[0] - 0.1 < 0.0 and xs[-1] <= 1.0 and xs[-1] + 0.1 > 1.0


def _closing_ctol(radius, step=ROT_STEP):
    # one step moves a point by about step * |B|, and |B| = radius here
    return 2.0 * step * radius


@pytest.mark.parametrize("fp", [(0.5, 0.0), (0.0, -0.3), (-0.4, 0.4)])
def test_closed_loop_starts_and_ends_with_the_footpoint(fp):
    radius = math.hypot(*fp)
    lines = ff(ROT, "bx", "by", x0=[fp[0]], y0=[fp[1]], ctol=_closing_ctol(radius))
    assert len(lines) == 1
    pts = points(lines[0])
    assert pts[0] == fp and pts[-1] == fp
    assert pts.count(fp) == 2
    assert len(pts) >= 103
    # Closure is first allowed after 100 steps, so the loop closes on its
    # second return (about 126 steps), not later.
    assert len(pts) < 2 * (2 * math.pi / ROT_STEP) + 6
    assert all(abs(math.hypot(x, y) - radius) < 1e-3 for x, y in pts)
    # the same footpoint without closure is an open line with the footpoint inside
    open_pts = points(ff(ROT, "bx", "by", x0=[fp[0]], y0=[fp[1]], ctol=_closing_ctol(radius),
                         close=False, numsteps=150)[0])
    assert open_pts[0] != fp and open_pts.count(fp) == 1


def test_closure_waits_for_the_time_bound():
    # With a tolerance that every point meets, the loop closes on the first
    # step whose elapsed time exceeds maxstep (100 steps by default).
    lines = ff(ROT, "bx", "by", x0=[0.5], y0=[0.0], ctol=1e9)
    assert len(lines[0][0]) == 103
    assert points(lines[0])[-1] == (0.5, 0.0)
    small = ff(ROT, "bx", "by", x0=[0.5], y0=[0.0], ctol=1e9, maxstep=0.01)
    assert len(small[0][0]) == 4
    assert points(small[0])[0] == points(small[0])[-1] == (0.5, 0.0)


def test_maxstep_below_step_becomes_the_step():
    kw = dict(x0=[0.5, -0.2], y0=[0.0, 0.5], numsteps=50, close=False)
    capped = ff(ROT, "bx", "by", step=0.1, maxstep=0.01, **kw)
    direct = ff(ROT, "bx", "by", step=0.01, maxstep=0.01, **kw)
    assert len(capped) == 2
    assert same_lines(capped, direct)
    assert not same_lines(capped, ff(ROT, "bx", "by", step=0.1, **kw))
    # B = (-y, x) turns a point at radius r by r * h per step
    pts = np.array(points(capped[0]))
    np.testing.assert_allclose(np.hypot(*np.diff(pts, axis=0).T), 0.5 * 0.01, rtol=1e-4)


def test_entries_are_lists_of_two_float_arrays_without_copies():
    lines = ff(ROT, "bx", "by", x0=[0.5, 0.1, -0.6], y0=[0.0, 0.2, 0.3], numsteps=30,
               ctol=None)
    closed = ff(ROT, "bx", "by", x0=[0.5], y0=[0.0], ctol=_closing_ctol(0.5))
    assert type(lines) is list and len(lines) == 3
    for entry in lines + closed:
        assert type(entry) is list and len(entry) == 2
        x, y = entry
        assert x is not y
        for arr in (x, y):
            assert type(arr) is np.ndarray
            assert arr.dtype == np.float64 and arr.ndim == 1
            assert arr.flags.owndata is False
            assert type(arr.base).__name__ == "PySliceContainer"
            assert arr.flags.writeable and arr.flags.c_contiguous
        assert len(x) == len(y) >= 2
        assert not np.shares_memory(x, y)
    # The arrays are independent of one another and writeable in place.
    snapshot = [e[1].copy() for e in lines]
    lines[0][0][:] = -5.0
    for e, s in zip(lines, snapshot):
        assert np.array_equal(e[1], s)
    assert np.all(lines[0][0] == -5.0) and not np.any(lines[1][0] == -5.0)


# --- step limits near the unsigned range ------------------------------------


@pytest.mark.parametrize("numsteps", [2 ** 64 - 1, 2 ** 64 - 2])
@pytest.mark.parametrize("fp", [(0.5, 0.5), (5.0, 0.5)], ids=["inside", "outside"])
def test_step_limit_whose_path_size_overflows_is_an_internal_fault(numsteps, fp):
    with pytest.raises(PanicException) as info:
        ff(UNI, "bx", "by", x0=[fp[0]], y0=[fp[1]], numsteps=numsteps)
    assert info.value.args == ("attempt to add with overflow",)


def test_huge_step_limit_without_footpoints_traces_nothing():
    assert ff(UNI, "bx", "by", x0=[], y0=[], numsteps=2 ** 64 - 1) == []


# --- the layout of field components -----------------------------------------

NX, NY = 7, 5
XS, YS = np.linspace(-1.0, 1.0, NX), np.linspace(-0.5, 0.5, NY)
GX, GY = np.meshgrid(XS, YS, indexing="ij")  # (nx, ny), indexed [i, j]
SHEAR = (-GY + 0.1 * GX, GX + 0.2)  # no mirror symmetry that could hide a transposition


def traced(bx, by, data=None, var1="bx"):
    data = data or Data(x1=XS, x2=YS, bx=bx, by=by)
    return ff(data, var1, "by", x0=[0.2, -0.3], y0=[0.1, 0.0], numsteps=40)


@pytest.mark.parametrize("layout", [
    lambda b: b.ravel("F"),
    lambda b: b[:, None, :, None],
    lambda b: np.ascontiguousarray(b.T).view(NoRavel),
    lambda b: b.ravel("F").tolist(),
], ids=["flat", "length-1-axes", "ny-nx-without-ravel", "list"])
def test_layouts_that_read_x_fastest_give_the_same_bits(layout):
    assert same_lines(traced(*map(layout, SHEAR)), traced(*SHEAR))


T = "or a flat array with x varying fastest"


@pytest.mark.parametrize("bx, var1, message", [
    (SHEAR[0].T, "bx", f"field component 'bx' has shape (5, 7) but the grid is (nx, ny) = "
                       f"(7, 5); pass bx.T, {T}"),
    (SHEAR[0].T[None], "bx", f"field component 'bx' has shape (1, 5, 7) but the grid is "
                             f"(nx, ny) = (7, 5); pass bx.T, {T}"),
    (SHEAR[0].ravel("F")[:, None], "bx", None),
    (SHEAR[0].reshape(5, 7), "bx", f"field component 'bx' has shape (5, 7) but the grid is "
                                   f"(nx, ny) = (7, 5); pass bx.T, {T}"),
    (SHEAR[0].T, None, f"field component var1 has shape (5, 7) but the grid is (nx, ny) = "
                       f"(7, 5); pass its transpose (.T), {T}"),
    (SHEAR[0].view(NoRavel), "bx", f"field component 'bx' has shape (7, 5) but an array "
                                   f"without ravel() is read with its last index fastest, so "
                                   f"the grid needs (ny, nx) = (5, 7); pass bx.T, {T}"),
], ids=["ny-nx", "ny-nx-length-1", "column", "reshaped", "given-values", "nx-ny-without-ravel"])
def test_a_component_laid_out_the_other_way_round_is_refused(bx, var1, message):
    data = Data(x1=XS, x2=YS, bx=bx, by=SHEAR[1])
    call = lambda: traced(None, None, data, var1 if var1 else bx)  # noqa: E731
    if message is None:  # one long axis: nothing to tell
        assert same_lines(call(), traced(*SHEAR))
        return
    with pytest.raises(ValueError) as caught:
        call()
    assert caught.value.args == (message,)


@pytest.mark.parametrize("bx, by, exc_type, message", [
    # earlier errors keep their place
    (SHEAR[0].T.astype(np.float32).view(NoRavel), SHEAR[1], TypeError, GENERIC),
    (SHEAR[0].T, SHEAR[1][:, :4], ValueError,
     "Field arrays must have length nx * ny (got bx=35, by=28, nx*ny=35)"),
    (SHEAR[0].T, "no such", AttributeError, None),
], ids=["float32-without-ravel", "size", "second-component-lookup"])
def test_errors_before_the_layout_check_keep_their_place(bx, by, exc_type, message):
    data = Data(x1=XS, x2=YS, bx=bx, by=by)
    with pytest.raises(exc_type) as caught:
        ff(data, "bx", "by" if not isinstance(by, str) else by, x0=[0.2], y0=[0.1])
    if message is not None:
        assert caught.value.args == (message,)


def test_square_grids_cannot_tell_the_layouts_apart():
    x = np.linspace(-1.0, 1.0, 6)
    X, Y = np.meshgrid(x, x, indexing="ij")
    data = Data(x1=x, x2=x, bx=(-Y).T, by=X.T)
    assert len(ff(data, "bx", "by", x0=[0.5], y0=[0.0], numsteps=10)) == 1
