"""find_fieldlines compared bit for bit with the pure-Python model."""

import math
import random
import time
import types

import numpy as np
import pytest

import torvelin
from reference import find_fieldlines as model_find


def _grid_values(nx, ny, fn):
    """Field component as an (nx, ny) array indexed [i, j] on a unit-spaced index grid."""
    arr = np.empty((nx, ny), dtype=np.float64)
    for i in range(nx):
        for j in range(ny):
            arr[i, j] = fn(i, j)
    return arr


def _flat(arr):
    """Grid layout of the model: point (i, j) at j * nx + i."""
    nx, ny = arr.shape
    return [float(arr[i, j]) for j in range(ny) for i in range(nx)]


def _rotation(xc, yc, eps=0.0, seed=0):
    """B = (-y, x) sampled at uniform points between the bounds, optionally perturbed."""
    nx, ny = len(xc), len(yc)
    hx = (xc[-1] - xc[0]) / (nx - 1)
    hy = (yc[-1] - yc[0]) / (ny - 1)
    rng = random.Random(seed)
    a, b, p = rng.uniform(1, 3), rng.uniform(1, 3), rng.uniform(0, 6)

    def pos(i, j):
        return xc[0] + i * hx, yc[0] + j * hy

    bx = _grid_values(nx, ny, lambda i, j: -pos(i, j)[1] + eps * math.sin(a * pos(i, j)[0] + p))
    by = _grid_values(nx, ny, lambda i, j: pos(i, j)[0] + eps * math.cos(b * pos(i, j)[1]))
    return bx, by


def _wavy(nx, ny, seed):
    """Non-linear field with sign changes."""
    rng = random.Random(seed)
    a, b, c, d = (rng.uniform(0.3, 1.5) for _ in range(4))
    bx = _grid_values(nx, ny, lambda i, j: math.sin(a * i + b * j) + 0.3)
    by = _grid_values(nx, ny, lambda i, j: math.cos(c * i - d * j) * (1 + 0.5 * math.sin(i)))
    return bx, by


def _noise(nx, ny, seed):
    rng = random.Random(seed)
    bx = _grid_values(nx, ny, lambda i, j: rng.uniform(-1.5, 1.5))
    by = _grid_values(nx, ny, lambda i, j: rng.uniform(-1.5, 1.5))
    return bx, by


def _call(case, form):
    """Call the module with the inputs packaged in one of several accepted forms."""
    xc, yc, bx, by = case["xc"], case["yc"], case["bx"], case["by"]
    kw = dict(case["opts"], x0=list(case["x0"]), y0=np.array(case["y0"]))
    if form == "names":
        data = types.SimpleNamespace(x1=np.array(xc), x2=np.array(yc), bx=bx, by=by)
        return torvelin.find_fieldlines(data, "bx", "by", **kw)
    if form == "flat_lists":
        return torvelin.find_fieldlines(None, _flat(bx), _flat(by),
                                        x1=list(xc), x2=tuple(yc), **kw)
    if form == "arrays_direct":
        data = types.SimpleNamespace(x1=list(xc), x2=np.array(yc))
        return torvelin.find_fieldlines(data, bx, by, **kw)
    if form == "keyword_override":
        # x1/x2 keywords take precedence over the attributes of data
        data = types.SimpleNamespace(x1=[9.0, 8.0], x2=[7.0], bx=bx, by=by)
        return torvelin.find_fieldlines(data=data, var1="bx", var2="by",
                                        x1=np.array(xc), x2=np.array(yc), **kw)
    raise AssertionError(form)


FORMS = ["names", "flat_lists", "arrays_direct", "keyword_override"]


def _assert_matches_model(case, form):
    got = _call(case, form)
    want = model_find(case["xc"], case["yc"], _flat(case["bx"]), _flat(case["by"]),
                      case["x0"], case["y0"], **case["opts"])
    assert isinstance(got, list)
    assert len(got) == len(want)
    for k, (entry, (wx, wy)) in enumerate(zip(got, want)):
        assert isinstance(entry, list) and len(entry) == 2
        for arr, ref in zip(entry, (wx, wy)):
            assert arr.dtype == np.float64 and arr.ndim == 1
            ref = np.array(ref, dtype=np.float64)
            assert arr.shape == ref.shape, f"entry {k}"
            assert np.array_equal(arr.view(np.uint64), ref.view(np.uint64)), f"entry {k}"
    return got, want


def _case(xc, yc, bx, by, x0, y0, **opts):
    return dict(xc=list(map(float, xc)), yc=list(map(float, yc)), bx=bx, by=by,
                x0=list(map(float, x0)), y0=list(map(float, y0)), opts=opts)


def _loop_cases():
    """Rotating fields whose lines come back to their footpoints."""
    cases = {}
    for n, (nx, ny) in enumerate([(21, 21), (41, 41), (17, 25), (33, 9), (2, 2)]):
        xc = np.linspace(-2.0, 2.0, nx)
        yc = np.linspace(-2.0, 2.0, ny)
        bx, by = _rotation(xc, yc)
        step = min(xc[1] - xc[0], yc[1] - yc[0])
        radii = [0.4, 0.9, 1.4]
        x0 = [r * math.cos(0.7 * k) for k, r in enumerate(radii)]
        y0 = [r * math.sin(0.7 * k) for k, r in enumerate(radii)]
        opts = {}
        if nx == 2:
            # the bilinear 2x2 grid still holds the rotation; the default step would be 4
            step = opts["step"] = 0.1
        cases[f"rotation_default_{nx}x{ny}"] = _case(xc, yc, bx, by, x0, y0,
                                                     ctol=3.0 * step * 1.4, **opts)
    xc = np.linspace(-2.0, 2.0, 25)
    for s in range(6):
        rng = random.Random(50 + s)
        bx, by = _rotation(xc, xc, eps=rng.uniform(0.005, 0.05), seed=s)
        h = rng.uniform(0.05, 0.2) * (1 if s % 2 else -1)
        x0 = [rng.uniform(-1.2, 1.2) for _ in range(3)]
        y0 = [rng.uniform(-1.2, 1.2) for _ in range(3)]
        cases[f"perturbed_rotation_{s}"] = _case(
            xc, xc, bx, by, x0, y0, step=h, maxstep=rng.uniform(1.0, 5.0),
            numsteps=400, ctol=4.0 * abs(h) * 1.7)
    bx, by = _rotation(xc, xc)
    pts = ([1.0, -0.5, 0.0], [0.0, 0.8, -1.1])
    cases["negative_step_with_maxstep"] = _case(xc, xc, bx, by, *pts, step=-0.1,
                                                maxstep=5.0, ctol=0.3, numsteps=300)
    cases["negative_step_default_maxstep"] = _case(xc, xc, bx, by, *pts, step=-0.1,
                                                   numsteps=50)
    cases["maxstep_below_step"] = _case(xc, xc, bx, by, *pts, step=0.1, maxstep=0.03,
                                        ctol=0.2)
    cases["maxstep_below_step_tight"] = _case(xc, xc, bx, by, *pts, step=0.1,
                                              maxstep=0.03, ctol=0.01, numsteps=300)
    # a negative maxstep becomes the signed step and lets loops close on the first step
    cases["negative_maxstep_closes_first_step"] = _case(xc, xc, bx, by, *pts, step=0.05,
                                                        maxstep=-0.3, ctol=0.5, numsteps=50)
    cases["close_false"] = _case(xc, xc, bx, by, *pts, close=False, numsteps=150,
                                 ctol=0.5)
    cases["close_false_negative_step"] = _case(xc, xc, bx, by, *pts, close=False,
                                               step=-0.07, maxstep=2.0, numsteps=120)
    cases["close_true_explicit"] = _case(xc, xc, bx, by, *pts, close=True, ctol=0.4,
                                         numsteps=400)
    cases["numsteps_zero"] = _case(xc, xc, bx, by, *pts, numsteps=0, ctol=0.4)
    cases["numsteps_one"] = _case(xc, xc, bx, by, *pts, numsteps=1, ctol=0.4,
                                  maxstep=-1.0)
    cases["zero_step"] = _case(xc, xc, bx, by, *pts, step=0.0, numsteps=5, ctol=0.1)
    # step 0 with a negative maxstep: the signed step is the maxstep, not 0
    cases["zero_step_negative_maxstep"] = _case(xc, xc, bx, by, *pts, step=0.0,
                                                maxstep=-1.0, numsteps=5, ctol=0.0)
    return cases


def _misc_cases():
    cases = {}
    # footpoints outside, exactly on the bounds and at the corners
    xc, yc = np.linspace(0.0, 3.0, 7), np.linspace(-1.0, 1.0, 5)
    bx, by = _wavy(7, 5, 1)
    x0 = [3.5, 0.0, 3.0, 1.3, math.nextafter(0.0, -1.0), 0.0, 3.0, 2.2]
    y0 = [0.0, -1.0, 1.0, 0.2, 0.5, 1.0, -1.0, 1.0 + 1e-15]
    for sign in (1, -1):
        cases[f"footpoints_on_and_off_bounds_{sign}"] = _case(
            xc, yc, bx, by, x0, y0, step=0.04 * sign, maxstep=1.0, numsteps=90)
    # descending coordinates: every finite footpoint is outside
    cases["descending_x"] = _case(xc[::-1], yc, bx, by, [1.0, 2.0], [0.0, 0.5], numsteps=20)
    cases["descending_y"] = _case(xc, yc[::-1], bx, by, [1.0, 2.0], [0.0, 0.5], numsteps=20)
    # uneven coordinates: only the first, second and last values count
    for s, (xs, ys) in enumerate([([0.0, 0.05, 0.7, 0.71, 2.0], [0.0, 0.3, 0.31, 1.5]),
                                  ([-1.0, -0.2, 3.0, 1.0, 4.0], [2.0, 2.01, 5.0, 3.0])]):
        bx, by = _wavy(5, 4, 10 + s)
        rng = random.Random(s)
        x0 = [rng.uniform(xs[0], xs[-1]) for _ in range(4)]
        y0 = [rng.uniform(ys[0], ys[-1]) for _ in range(4)]
        cases[f"uneven_coordinates_{s}"] = _case(xs, ys, bx, by, x0, y0, numsteps=70,
                                                 maxstep=0.5)
    # NaN, infinity and zero in the field
    xc = np.linspace(0.0, 1.0, 5)
    bx, by = _wavy(5, 5, 3)
    bx_nan = bx.copy()
    bx_nan[2, 3] = np.nan
    by_inf = by.copy()
    by_inf[1, 1] = np.inf
    pts = ([0.3, 0.55, 0.9, 0.1], [0.2, 0.7, 0.95, 0.9])
    cases["nan_in_field"] = _case(xc, xc, bx_nan, by, *pts, step=0.01, numsteps=60)
    cases["inf_in_field"] = _case(xc, xc, bx, by_inf, *pts, step=0.01, numsteps=60)
    cases["zero_field"] = _case(xc, xc, np.zeros((5, 5)), np.zeros((5, 5)), *pts,
                                numsteps=8, ctol=0.0)
    # a standing point is at distance 0 from its footpoint: closes on ctol = 0
    cases["zero_field_closes_at_zero_distance"] = _case(
        xc, xc, np.zeros((5, 5)), np.zeros((5, 5)), *pts, maxstep=-0.5, ctol=0.0, numsteps=8)
    # NaN operands of the step minimum are ignored
    cases["nan_maxstep"] = _case(xc, xc, bx, by, *pts, step=0.02, maxstep=math.nan,
                                 ctol=0.5, numsteps=40)
    cases["nan_step_with_maxstep"] = _case(xc, xc, bx, by, *pts, step=math.nan,
                                           maxstep=0.015, ctol=0.05, numsteps=40)
    cases["nan_second_coordinate"] = _case([0.0, math.nan, 0.5, 0.75, 1.0], xc, bx, by, *pts,
                                           numsteps=40)
    cases["nan_footpoint"] = _case(xc, xc, bx, by, [math.nan, 0.4], [0.5, math.nan],
                                   numsteps=6)
    cases["empty_footpoints"] = _case(xc, xc, bx, by, [], [])
    return cases


def _random_cases(count):
    cases = {}
    for s in range(count):
        rng = random.Random(1000 + s)
        nx, ny = rng.randint(2, 9), rng.randint(2, 9)
        x_lo, y_lo = rng.uniform(-2, 1), rng.uniform(-2, 1)
        xc = np.linspace(x_lo, x_lo + rng.uniform(0.5, 3), nx)
        yc = np.linspace(y_lo, y_lo + rng.uniform(0.5, 3), ny)
        bx, by = (_noise if s % 2 else _wavy)(nx, ny, s)
        npts = rng.randint(1, 5)
        x0 = [rng.uniform(xc[0] - 0.1, xc[-1] + 0.1) for _ in range(npts)]
        y0 = [rng.uniform(yc[0] - 0.1, yc[-1] + 0.1) for _ in range(npts)]
        opts = dict(numsteps=rng.randint(0, 150))
        if rng.random() < 0.7:
            opts["step"] = rng.uniform(0.01, 0.2) * rng.choice([-1, 1])
        if rng.random() < 0.6:
            opts["maxstep"] = rng.uniform(-0.5, 3.0)
        if rng.random() < 0.5:
            opts["ctol"] = rng.uniform(0.0, 0.5)
        if rng.random() < 0.3:
            opts["close"] = rng.random() < 0.5
        cases[f"random_{s}"] = _case(xc, yc, bx, by, x0, y0, **opts)
    return cases


CASES = {**_loop_cases(), **_misc_cases(), **_random_cases(14)}
CASE_PARAMS = [(name, FORMS[k % len(FORMS)]) for k, name in enumerate(sorted(CASES))]


@pytest.mark.parametrize("name,form", CASE_PARAMS, ids=[f"{n}-{f}" for n, f in CASE_PARAMS])
def test_matches_model(name, form):
    _assert_matches_model(CASES[name], form)


@pytest.mark.parametrize("name", ["rotation_default_21x21", "descending_x", "random_3"])
@pytest.mark.parametrize("form", FORMS)
def test_input_forms_agree(name, form):
    """The same case packaged in every accepted input form gives the model's result."""
    _assert_matches_model(CASES[name], form)


@pytest.mark.parametrize("name,expect_empty", [
    ("descending_x", True), ("descending_y", True), ("numsteps_zero", True),
    ("negative_step_default_maxstep", True), ("empty_footpoints", True),
    ("close_false", False),
])
def test_cases_that_yield_no_lines(name, expect_empty):
    got, want = _assert_matches_model(CASES[name], "names")
    assert (len(got) == 0) == expect_empty


def test_closed_loop_with_default_maxstep():
    xc = np.linspace(-2.0, 2.0, 41)
    bx, by = _rotation(xc, xc)
    data = types.SimpleNamespace(x1=xc, x2=xc, bx=bx, by=by)
    got = torvelin.find_fieldlines(data, "bx", "by", x0=[1.0], y0=[0.0], ctol=0.3)
    assert len(got) == 1
    xs, ys = got[0]
    assert len(xs) >= 103
    assert xs[0] == 1.0 and ys[0] == 0.0
    assert xs[-1:].view(np.uint64)[0] == xs[:1].view(np.uint64)[0]
    assert ys[-1:].view(np.uint64)[0] == ys[:1].view(np.uint64)[0]
    # the point before the repeated footpoint is within ctol, none of the earlier ones
    # beyond the 100-step waiting time is
    dist = np.hypot(xs[:-1] - 1.0, ys[:-1])
    assert dist[-1] <= 0.3
    assert (dist[101:-1] > 0.3).all()
    want = model_find(list(xc), list(xc), _flat(bx), _flat(by), [1.0], [0.0], ctol=0.3)
    assert np.array_equal(xs.view(np.uint64), np.array(want[0][0]).view(np.uint64))
    assert np.array_equal(ys.view(np.uint64), np.array(want[0][1]).view(np.uint64))


def test_open_line_holds_footpoint_once_at_backward_length():
    xc = np.linspace(0.0, 1.0, 6)
    bx = _grid_values(6, 6, lambda i, j: 1.0 + 0.1 * math.sin(j))
    by = _grid_values(6, 6, lambda i, j: 0.2 * math.cos(i))
    data = types.SimpleNamespace(x1=xc, x2=xc, bx=bx, by=by)
    got = torvelin.find_fieldlines(data, "bx", "by", x0=[0.3], y0=[0.4], step=0.05)
    want = model_find(list(xc), list(xc), _flat(bx), _flat(by), [0.3], [0.4], step=0.05)
    xs, ys = got[0]
    hits = np.flatnonzero((xs == 0.3) & (ys == 0.4))
    assert len(hits) == 1 and 0 < hits[0] < len(xs) - 1
    assert np.array_equal(xs, np.array(want[0][0])) and np.array_equal(ys, np.array(want[0][1]))


def test_huge_numsteps_returns_promptly():
    """Lines leave the grid after a few steps, so a huge step limit costs nothing."""
    xc = np.linspace(0.0, 1.0, 5)
    bx = _grid_values(5, 5, lambda i, j: 2.0 + 0.3 * math.sin(i + 2 * j))
    by = _grid_values(5, 5, lambda i, j: 0.7 * math.cos(3 * i - j))
    data = types.SimpleNamespace(x1=xc, x2=xc, bx=bx, by=by)
    x0, y0 = [0.5, 0.1, 0.95], [0.5, 0.8, 0.2]
    t0 = time.perf_counter()
    got = torvelin.find_fieldlines(data, "bx", "by", x0=x0, y0=y0, numsteps=2**62)
    assert time.perf_counter() - t0 < 2.0
    want = model_find(list(xc), list(xc), _flat(bx), _flat(by), x0, y0, numsteps=2**62)
    assert len(got) == len(want) == 3
    for (gx, gy), (wx, wy) in zip(got, want):
        assert len(gx) < 50
        assert np.array_equal(gx.view(np.uint64), np.array(wx).view(np.uint64))
        assert np.array_equal(gy.view(np.uint64), np.array(wy).view(np.uint64))
