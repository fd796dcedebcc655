"""trace_fieldlines compared bit for bit with the pure-Python model."""

import math
import random

import numpy as np
import pytest

import torvelin
from reference import Grid, trace_line, trace_fieldlines as model_trace

QNAN_BITS = 0x7FF8000000000000
INF = math.inf
NAN = math.nan


def _field(kind, rng, nx, ny, xmin, xmax, ymin, ymax):
    """Flat (bx, by) lists, index j * nx + i, for a named field family."""
    xs = [xmin + (xmax - xmin) * i / (nx - 1) for i in range(nx)]
    ys = [ymin + (ymax - ymin) * j / (ny - 1) for j in range(ny)]
    bx, by = [], []
    if kind == "trig":
        a, b, c, d = (rng.uniform(0.5, 4.0) for _ in range(4))
        ph = rng.uniform(0, 6.3)
    for j in range(ny):
        for i in range(nx):
            x, y = xs[i], ys[j]
            if kind == "random":
                bx.append(rng.uniform(-2.0, 2.0))
                by.append(rng.uniform(-2.0, 2.0))
            elif kind == "trig":
                bx.append(math.sin(a * x + b * y + ph))
                by.append(math.cos(c * x - d * y) * (1.5 + math.sin(x * y)))
            elif kind == "vortex":
                bx.append(-y + 0.3 * math.sin(3 * x))
                by.append(x + 0.2 * math.cos(2 * y) * x * x)
            elif kind == "zero":
                bx.append(0.0)
                by.append(0.0)
            else:
                raise AssertionError(kind)
    return bx, by


def _seeds(rng, xmin, xmax, ymin, ymax, count):
    """Seeds mostly inside, a few on the edges or just outside."""
    out = []
    for _ in range(count):
        r = rng.random()
        x = rng.uniform(xmin, xmax)
        y = rng.uniform(ymin, ymax)
        if r < 0.15:
            x = rng.choice([xmin, xmax])
        elif r < 0.25:
            y = rng.choice([ymin, ymax])
        elif r < 0.32:
            x = math.nextafter(xmax, INF)
        elif r < 0.38:
            y = math.nextafter(ymin, -INF)
        out.append((x, y))
    return out


def _random_case(seed, kind, nx=None, ny=None, step_sign=None):
    rng = random.Random(seed)
    nx = nx or rng.randint(2, 9)
    ny = ny or rng.randint(2, 9)
    xmin = rng.uniform(-3.0, 1.0)
    xmax = xmin + rng.uniform(0.5, 4.0)
    ymin = rng.uniform(-3.0, 1.0)
    ymax = ymin + rng.uniform(0.5, 4.0)
    bx, by = _field(kind, rng, nx, ny, xmin, xmax, ymin, ymax)
    step = rng.uniform(0.005, 0.3) * (step_sign or rng.choice([-1.0, 1.0]))
    seeds = _seeds(rng, xmin, xmax, ymin, ymax, rng.randint(1, 6))
    max_steps = rng.randint(0, 120)
    return (xmin, xmax, ymin, ymax, nx, ny, bx, by, seeds, step, max_steps)


RANDOM_CASES = (
    [("random", s, {}) for s in range(12)]
    + [("trig", 100 + s, {}) for s in range(12)]
    + [("vortex", 200 + s, {}) for s in range(4)]
    + [("random", 300 + s, {"nx": 2, "ny": 2}) for s in range(4)]
    + [("trig", 400 + s, {"nx": 2, "ny": 11}) for s in range(2)]
    + [("trig", 500 + s, {"nx": 13, "ny": 3}) for s in range(2)]
    + [("random", 600 + s, {"step_sign": -1.0}) for s in range(3)]
    + [("trig", 700 + s, {"step_sign": -1.0}) for s in range(3)]
    + [("trig", 800 + s, {"nx": 150, "ny": 4}) for s in range(2)]
)


def _unit_grid_field(nx, ny, seed=7):
    rng = random.Random(seed)
    return _field("trig", rng, nx, ny, 0.0, 1.0, 0.0, 1.0)


def _edge_cases():
    bx4, by4 = _unit_grid_field(4, 5)
    bx2, by2 = _unit_grid_field(2, 2, seed=3)
    corners = [(0.0, 0.0), (1.0, 0.0), (0.0, 1.0), (1.0, 1.0)]
    beyond = [(math.nextafter(1.0, 2.0), 0.5), (0.5, math.nextafter(0.0, -1.0)),
              (-1e-300, 0.5), (0.5, 1.0 + 2**-52), (INF, 0.5), (0.5, -INF)]
    nan_field = list(bx4)
    nan_field[6] = NAN
    inf_field = list(by4)
    inf_field[13] = INF
    ninf_field = list(bx4)
    ninf_field[0] = -INF
    cases = {
        # seeds exactly at the four corners, both step signs
        "corners_fwd": (0.0, 1.0, 0.0, 1.0, 4, 5, bx4, by4, corners, 0.05, 30),
        "corners_bwd": (0.0, 1.0, 0.0, 1.0, 4, 5, bx4, by4, corners, -0.05, 30),
        "corners_2x2": (0.0, 1.0, 0.0, 1.0, 2, 2, bx2, by2, corners, 0.1, 25),
        # seeds just beyond the bounds give an all-NaN row
        "beyond_bounds": (0.0, 1.0, 0.0, 1.0, 4, 5, bx4, by4,
                          beyond + [(0.5, 0.5)], 0.05, 10),
        "max_steps_zero": (0.0, 1.0, 0.0, 1.0, 4, 5, bx4, by4,
                           corners + beyond + [(-0.0, 0.25)], 0.05, 0),
        "zero_step": (0.0, 1.0, 0.0, 1.0, 4, 5, bx4, by4, [(0.3, 0.7), (1.0, 1.0)], 0.0, 12),
        "negative_zero_step": (0.0, 1.0, 0.0, 1.0, 4, 5, bx4, by4,
                               [(0.3, 0.7), (-0.0, -0.0)], -0.0, 6),
        "zero_field": (-1.0, 2.0, -1.0, 1.0, 3, 4, [0.0] * 12, [0.0] * 12,
                       [(0.5, 0.5), (-0.0, 0.0), (2.0, 1.0)], 0.25, 9),
        "negative_zero_field": (-1.0, 2.0, -1.0, 1.0, 3, 4, [-0.0] * 12, [0.0] * 12,
                                [(-0.0, -0.0), (0.0, -0.0)], -0.5, 5),
        "nan_in_field": (0.0, 1.0, 0.0, 1.0, 4, 5, nan_field, by4,
                         [(0.4, 0.3), (0.05, 0.9), (0.9, 0.05)], 0.05, 40),
        "inf_in_field": (0.0, 1.0, 0.0, 1.0, 4, 5, bx4, inf_field,
                         [(0.4, 0.5), (0.1, 0.1), (0.95, 0.95)], 0.02, 40),
        "neg_inf_in_field": (0.0, 1.0, 0.0, 1.0, 4, 5, ninf_field, by4,
                             [(0.0, 0.0), (0.2, 0.2), (0.7, 0.4)], 0.02, 20),
        "nan_seed": (0.0, 1.0, 0.0, 1.0, 4, 5, bx4, by4,
                     [(NAN, 0.5), (0.5, NAN)], 0.05, 3),
        # strong uniform field: every line leaves the domain within a few steps
        "leaves_domain": (0.0, 1.0, 0.0, 1.0, 2, 2, [3.0, 3.5, 2.5, 3.0], [1.0, -1.0, 0.5, 2.0],
                          [(0.1, 0.5), (0.9, 0.9), (0.99, 0.01)], 0.05, 200),
        "leaves_domain_backward": (0.0, 1.0, 0.0, 1.0, 2, 2, [3.0, 3.5, 2.5, 3.0],
                                   [1.0, -1.0, 0.5, 2.0], [(0.9, 0.5), (0.0, 0.0)], -0.05, 200),
        # collapsed and reversed bounds: zero or negative spacing
        "collapsed_x": (0.5, 0.5, 0.0, 1.0, 3, 3, [1.0] * 9, [0.5] * 9,
                        [(0.5, 0.5), (0.5, 1.0), (0.6, 0.5)], 0.1, 8),
        "reversed_bounds": (1.0, 0.0, 0.0, 1.0, 3, 3, [1.0] * 9, [0.5] * 9,
                            [(0.5, 0.5), (1.0, 0.0), (NAN, 0.5)], 0.1, 4),
        "huge_step": (0.0, 1.0, 0.0, 1.0, 4, 5, bx4, by4, [(0.5, 0.5)], 1e300, 3),
        "nan_step": (0.0, 1.0, 0.0, 1.0, 4, 5, bx4, by4, [(0.5, 0.5)], NAN, 3),
        # spacing that underflows to 0 (fx = x / 0 = inf saturates the cell index)
        "subnormal_extent": (0.0, 5e-324, 0.0, 1.0, 3, 3, [1.0, -2.0, 0.5] * 3,
                             [0.25, 0.5, -1.0] * 3, [(5e-324, 0.5), (0.0, 0.5)], 0.1, 3),
        # extent that overflows to inf (hx = inf, fx = 0)
        "overflowing_extent": (-1e308, 1e308, 0.0, 1.0, 3, 3, [1e300, -2e300, 3e300] * 3,
                               [0.25, 0.5, -1.0] * 3, [(0.0, 0.5), (1e308, 1.0)], 1e7, 4),
        # seeds on interior grid lines and nodes
        "grid_nodes": (0.0, 1.0, 0.0, 1.0, 4, 5, bx4, by4,
                       [(1 / 3, 0.25), (2 / 3, 0.5), (1 / 3, 0.8), (0.2, 0.75)], 0.03, 25),
        "empty_seeds": (0.0, 1.0, 0.0, 1.0, 4, 5, bx4, by4, [], 0.05, 7),
    }
    return cases


EDGE_CASES = _edge_cases()


def _assert_bit_equal(args):
    xmin, xmax, ymin, ymax, nx, ny, bx, by, seeds, step, max_steps = args
    got = torvelin.trace_fieldlines(
        xmin, xmax, ymin, ymax, nx, ny,
        np.array(bx, dtype=np.float64), np.array(by, dtype=np.float64),
        list(seeds), step, max_steps)
    want = np.array(model_trace(*args), dtype=np.float64).reshape(len(seeds), max_steps + 1, 2)
    assert got.dtype == np.float64
    assert got.shape == (len(seeds), max_steps + 1, 2)
    assert np.array_equal(got, want, equal_nan=True)
    gb, wb = got.view(np.uint64), want.view(np.uint64)
    bad = np.argwhere(gb != wb)
    assert bad.size == 0, (
        f"first differing slot {tuple(bad[0])}: got {gb[tuple(bad[0])]:#018x}, "
        f"want {wb[tuple(bad[0])]:#018x}")
    # every slot that no point reached holds the canonical quiet NaN
    grid = Grid(xmin, xmax, ymin, ymax, nx, ny, bx, by)
    for row, seed in enumerate(seeds):
        reached = len(trace_line(grid, seed, step, max_steps))
        assert (gb[row, reached:] == QNAN_BITS).all()
    return got


@pytest.mark.parametrize("kind,seed,opts", RANDOM_CASES,
                         ids=[f"{k}-{s}" for k, s, _ in RANDOM_CASES])
def test_random_fields_match_model(kind, seed, opts):
    _assert_bit_equal(_random_case(seed, kind, **opts))


@pytest.mark.parametrize("name", sorted(EDGE_CASES))
def test_edge_inputs_match_model(name):
    _assert_bit_equal(EDGE_CASES[name])


@pytest.mark.parametrize("seed", range(4))
def test_lines_that_leave_stop_at_last_inside_point(seed):
    """A strong random field sends most lines out; the tail rows are NaN."""
    rng = random.Random(900 + seed)
    nx, ny = rng.randint(2, 6), rng.randint(2, 6)
    bx = [rng.uniform(2.0, 5.0) for _ in range(nx * ny)]
    by = [rng.uniform(-5.0, 5.0) for _ in range(nx * ny)]
    seeds = [(rng.uniform(0, 1), rng.uniform(0, 1)) for _ in range(5)]
    args = (0.0, 1.0, 0.0, 1.0, nx, ny, bx, by, seeds, 0.02, 300)
    got = _assert_bit_equal(args)
    lengths = (~np.isnan(got[:, :, 0])).sum(axis=1)
    assert (lengths < 301).all()
    for row, n in enumerate(lengths):
        pts = got[row, :n]
        assert (pts[:, 0] >= 0.0).all() and (pts[:, 0] <= 1.0).all()
        assert (pts[:, 1] >= 0.0).all() and (pts[:, 1] <= 1.0).all()
