#!/usr/bin/env python
"""Time torvelin's tracers against other ways of tracing field lines.

    python benchmarks/run.py [--quick] [--json PATH]

Everything runs in one process on the same data and prints, per workload, the
cost per step (total time / steps actually taken; per point for tools that
report points) and the ratio of each peer to torvelin (peer time / torvelin
time, so a ratio above 1 means the peer is slower).

Workloads:

  (a) rotation       B = (-y, x) on 256 x 256 points over [-1, 1]^2, 64 seeds on
                     the x axis at radii 0.2 to 0.8, step 0.01, 2000 steps; no
                     line leaves. Accuracy: largest |r_end - r_seed|.
  (b) line currents  two antiparallel wires at (+-0.5, 0), field regularised
                     inside a wire radius of 0.1, 512 x 512 points, seeds on a
                     lattice; most lines leave the domain after a few hundred
                     steps, the loops around the wires use the whole budget.
  (c) find_fieldlines on the line-current field with 1024 x 1024 points given
                     as (nx, ny) float64 arrays of a data object, 100
                     footpoints, default options; the input coercion is timed
                     on its own as a call with numsteps=0.
  (d) call overhead  10,000 calls with one seed and 10 steps on 8 x 8 points,
                     next to numpy.full((1, 11, 2), nan).

Peers (each skipped, with the reason, when it cannot be imported): a numba
per-seed RK4 and a NumPy RK4 vectorised over seeds, both with torvelin's exact
formulas (their points are checked to be bit-identical to torvelin's), SciPy's
solve_ivp (RK45) on a RegularGridInterpolator, matplotlib's streamplot and the
streamtracer package.

--quick shrinks the slow peers and the repetition counts so that the whole run
takes well under a minute (a smoke test; nothing is asserted about timings).
The exit status is 1 when a peer that could be imported fails, or when the
numba or NumPy points differ from torvelin's.
"""

import os

# One thread everywhere: the machine has few cores and a spinning BLAS or
# OpenMP worker thread disturbs the timings. This must precede the NumPy import.
for _var in (
    "OPENBLAS_NUM_THREADS",
    "OMP_NUM_THREADS",
    "MKL_NUM_THREADS",
    "NUMEXPR_NUM_THREADS",
    "VECLIB_MAXIMUM_THREADS",
    "BLIS_NUM_THREADS",
    "NUMBA_NUM_THREADS",
):
    os.environ[_var] = "1"

import argparse  # noqa: E402
import gc  # noqa: E402
import json  # noqa: E402
import math  # noqa: E402
import platform  # noqa: E402
import sys  # noqa: E402
import time  # noqa: E402
import traceback  # noqa: E402
import types  # noqa: E402
from importlib import metadata  # noqa: E402

import numpy as np  # noqa: E402

import torvelin  # noqa: E402


# --------------------------------------------------------------------------
# Optional peers
# --------------------------------------------------------------------------

SKIPPED = {}  # tool -> reason it was not run
FAILED = {}  # tool -> error of a peer that could be imported but failed


def _try_import(tool, importer):
    try:
        return importer()
    except Exception as exc:  # ImportError, or a broken installation
        SKIPPED[tool] = f"not importable: {type(exc).__name__}: {exc}"
        return None


def _import_numba():
    import numba

    return numba


def _import_scipy():
    import scipy
    from scipy.integrate import solve_ivp
    from scipy.interpolate import RegularGridInterpolator

    return types.SimpleNamespace(
        version=scipy.__version__, solve_ivp=solve_ivp, RGI=RegularGridInterpolator
    )


def _import_matplotlib():
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    return types.SimpleNamespace(version=matplotlib.__version__, plt=plt)


def _import_streamtracer():
    import streamtracer
    from streamtracer import StreamTracer, VectorGrid

    version = getattr(streamtracer, "__version__", None) or metadata.version("streamtracer")
    return types.SimpleNamespace(version=version, StreamTracer=StreamTracer, VectorGrid=VectorGrid)


NUMBA = _try_import("numba", _import_numba)
SCIPY = _try_import("scipy", _import_scipy)
MPL = _try_import("streamplot", _import_matplotlib)
STREAMTRACER = _try_import("streamtracer", _import_streamtracer)

TOOL_LABELS = {
    "torvelin": "torvelin",
    "numba": "numba @njit, per seed",
    "numpy": "NumPy, vectorised over seeds",
    "scipy": "SciPy solve_ivp RK45 + RGI",
    "streamplot": "matplotlib streamplot",
    "streamtracer": "streamtracer",
}


# --------------------------------------------------------------------------
# Helpers
# --------------------------------------------------------------------------


def cpu_model():
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine() or "unknown"


def versions():
    out = {"python": platform.python_version(), "numpy": np.__version__}
    try:
        out["torvelin"] = metadata.version("torvelin")
    except metadata.PackageNotFoundError:
        out["torvelin"] = getattr(torvelin, "__version__", "unknown")
    if NUMBA is not None:
        out["numba"] = NUMBA.__version__
    if SCIPY is not None:
        out["scipy"] = SCIPY.version
    if MPL is not None:
        out["matplotlib"] = MPL.version
    if STREAMTRACER is not None:
        out["streamtracer"] = STREAMTRACER.version
    return out


def best_of(fn, repeats, setup=None):
    """Smallest wall time of `repeats` calls of fn(), and the last result.

    `setup`, if given, runs untimed before every call. The garbage collector
    is kept out of the timed region.
    """
    best = math.inf
    result = None
    for _ in range(max(1, repeats)):
        if setup is not None:
            setup()
        result = None
        gc.collect()
        gc.disable()
        try:
            t0 = time.perf_counter()
            result = fn()
            elapsed = time.perf_counter() - t0
        finally:
            gc.enable()
        best = min(best, elapsed)
    return best, result


def steps_from_padded(out):
    """Steps taken per seed in a NaN-padded (seeds, max_steps + 1, 2) array."""
    points = np.count_nonzero(~np.isnan(out[:, :, 0]), axis=1)
    return np.maximum(points - 1, 0)


def end_points_from_padded(out):
    """Last recorded point of every seed (NaN for a seed with no point)."""
    points = np.count_nonzero(~np.isnan(out[:, :, 0]), axis=1)
    last = np.maximum(points - 1, 0)
    return out[np.arange(out.shape[0]), last]


def max_radius_drift(end_points, seed_radii):
    r_end = np.hypot(end_points[:, 0], end_points[:, 1])
    return float(np.max(np.abs(r_end - seed_radii)))


def same_points(a, b):
    return a.shape == b.shape and bool(np.array_equal(a, b, equal_nan=True))


def run_peer(tool, workload, fn):
    """Run one peer measurement; a failure is recorded and reported, not raised."""
    try:
        return fn()
    except Exception as exc:
        FAILED[f"{workload}/{tool}"] = f"{type(exc).__name__}: {exc}"
        print(f"  !! {TOOL_LABELS.get(tool, tool)} failed on {workload}:", file=sys.stderr)
        traceback.print_exc()
        return None


class Grid:
    """A uniform grid with its field, in every layout the tools want."""

    def __init__(self, xmin, xmax, ymin, ymax, nx, ny, field):
        self.xmin, self.xmax, self.ymin, self.ymax = xmin, xmax, ymin, ymax
        self.nx, self.ny = nx, ny
        self.x = np.linspace(xmin, xmax, nx)
        self.y = np.linspace(ymin, ymax, ny)
        X, Y = np.meshgrid(self.x, self.y)  # shape (ny, nx), row j is y[j]
        bx, by = field(X, Y)
        self.bx_yx = np.ascontiguousarray(bx, dtype=np.float64)  # [j, i]
        self.by_yx = np.ascontiguousarray(by, dtype=np.float64)
        self.bx = self.bx_yx.ravel()  # flat, index j * nx + i
        self.by = self.by_yx.ravel()

    @property
    def bounds(self):
        return self.xmin, self.xmax, self.ymin, self.ymax, self.nx, self.ny

    def trace(self, seeds, step, max_steps):
        return torvelin.trace_fieldlines(
            self.xmin, self.xmax, self.ymin, self.ymax, self.nx, self.ny,
            self.bx, self.by, seeds, step, max_steps,
        )


def rotation_field(X, Y):
    return -Y, X


WIRE_X = 0.5
WIRE_RADIUS = 0.1


def line_current_field(X, Y):
    """Two antiparallel wires along z at (-WIRE_X, 0) (current +1, out of the
    page) and (+WIRE_X, 0) (current -1). B = I z x d / |d|^2 outside a wire,
    growing linearly from its axis inside it (no singularity on the grid)."""
    bx = np.zeros_like(X)
    by = np.zeros_like(X)
    for xc, current in ((-WIRE_X, 1.0), (WIRE_X, -1.0)):
        dx, dy = X - xc, Y
        scale = current / np.maximum(dx * dx + dy * dy, WIRE_RADIUS * WIRE_RADIUS)
        bx += -dy * scale
        by += dx * scale
    return bx, by


# --------------------------------------------------------------------------
# Peer tracers with torvelin's formulas
# --------------------------------------------------------------------------


def _build_numba_tracer(numba):
    """Per-seed fixed-step RK4 with bilinear interpolation, compiled by numba.

    Every product and sum is written in the order torvelin evaluates it, and
    numba contracts nothing into fused multiply-adds without fastmath, so the
    points should match torvelin's bit for bit."""
    njit = numba.njit(error_model="numpy", cache=False)

    @njit
    def cell(f, n):
        # floor(f) as an index: NaN or negative -> 0; clamped to the last cell
        if not (f >= 0.0):
            return 0
        fl = math.floor(f)
        if fl >= n - 1:
            return n - 2
        return int(fl)

    @njit
    def interp(xmin, xmax, ymin, ymax, nx, ny, bx, by, x, y):
        if x < xmin or x > xmax or y < ymin or y > ymax:
            return False, 0.0, 0.0
        hx = (xmax - xmin) / float(nx - 1)
        hy = (ymax - ymin) / float(ny - 1)
        fx = (x - xmin) / hx
        fy = (y - ymin) / hy
        i = cell(fx, nx)
        j = cell(fy, ny)
        tx = fx - float(i)
        ty = fy - float(j)
        k00 = j * nx + i
        k01 = k00 + nx
        bx_top = bx[k00] * (1.0 - tx) + bx[k00 + 1] * tx
        bx_bot = bx[k01] * (1.0 - tx) + bx[k01 + 1] * tx
        by_top = by[k00] * (1.0 - tx) + by[k00 + 1] * tx
        by_bot = by[k01] * (1.0 - tx) + by[k01 + 1] * tx
        return True, bx_top * (1.0 - ty) + bx_bot * ty, by_top * (1.0 - ty) + by_bot * ty

    @njit
    def trace(xmin, xmax, ymin, ymax, nx, ny, bx, by, seeds, h, max_steps):
        ns = seeds.shape[0]
        out = np.full((ns, max_steps + 1, 2), np.nan)
        h05 = h * 0.5
        sixth = h / 6.0
        for k in range(ns):
            x = seeds[k, 0]
            y = seeds[k, 1]
            ok, _, _ = interp(xmin, xmax, ymin, ymax, nx, ny, bx, by, x, y)
            if not ok:
                continue
            out[k, 0, 0] = x
            out[k, 0, 1] = y
            for n in range(1, max_steps + 1):
                ok, k1x, k1y = interp(xmin, xmax, ymin, ymax, nx, ny, bx, by, x, y)
                if not ok:
                    break
                ok, k2x, k2y = interp(xmin, xmax, ymin, ymax, nx, ny, bx, by,
                                      x + h05 * k1x, y + h05 * k1y)
                if not ok:
                    break
                ok, k3x, k3y = interp(xmin, xmax, ymin, ymax, nx, ny, bx, by,
                                      x + h05 * k2x, y + h05 * k2y)
                if not ok:
                    break
                ok, k4x, k4y = interp(xmin, xmax, ymin, ymax, nx, ny, bx, by,
                                      x + h * k3x, y + h * k3y)
                if not ok:
                    break
                xn = x + sixth * (((k1x + 2.0 * k2x) + 2.0 * k3x) + k4x)
                yn = y + sixth * (((k1y + 2.0 * k2y) + 2.0 * k3y) + k4y)
                ok, _, _ = interp(xmin, xmax, ymin, ymax, nx, ny, bx, by, xn, yn)
                if not ok:
                    break
                x = xn
                y = yn
                out[k, n, 0] = x
                out[k, n, 1] = y
        return out

    def run(grid, seeds_arr, h, max_steps):
        return trace(grid.xmin, grid.xmax, grid.ymin, grid.ymax, grid.nx, grid.ny,
                     grid.bx, grid.by, seeds_arr, h, max_steps)

    # Compile outside any timed region.
    tiny = Grid(0.0, 1.0, 0.0, 1.0, 3, 3, rotation_field)
    run(tiny, np.array([[0.5, 0.5]]), 0.1, 2)
    return run


def numpy_trace(grid, seeds_arr, h, max_steps):
    """RK4 advancing all live seeds together as arrays; a boolean mask drops
    the lines that stopped. Same formulas and rounding as torvelin."""
    xmin, xmax, ymin, ymax, nx, ny = grid.bounds
    bx, by = grid.bx, grid.by
    hx = (xmax - xmin) / float(nx - 1)
    hy = (ymax - ymin) / float(ny - 1)
    last_i, last_j = float(nx - 2), float(ny - 2)

    def inside(x, y):
        return ~((x < xmin) | (x > xmax) | (y < ymin) | (y > ymax))

    def interp(x, y):
        fx = (x - xmin) / hx
        fy = (y - ymin) / hy
        fi = np.minimum(np.where(fx >= 0.0, np.floor(fx), 0.0), last_i)
        fj = np.minimum(np.where(fy >= 0.0, np.floor(fy), 0.0), last_j)
        tx = fx - fi
        ty = fy - fj
        k00 = fj.astype(np.intp) * nx + fi.astype(np.intp)
        k10 = k00 + 1
        k01 = k00 + nx
        k11 = k01 + 1
        sx = 1.0 - tx
        sy = 1.0 - ty
        bx_top = np.take(bx, k00) * sx + np.take(bx, k10) * tx
        bx_bot = np.take(bx, k01) * sx + np.take(bx, k11) * tx
        by_top = np.take(by, k00) * sx + np.take(by, k10) * tx
        by_bot = np.take(by, k01) * sx + np.take(by, k11) * tx
        return bx_top * sy + bx_bot * ty, by_top * sy + by_bot * ty

    n_seeds = seeds_arr.shape[0]
    out = np.full((n_seeds, max_steps + 1, 2), np.nan)
    x, y = seeds_arr[:, 0].copy(), seeds_arr[:, 1].copy()
    live = np.flatnonzero(inside(x, y))
    x, y = x[live], y[live]
    out[live, 0, 0] = x
    out[live, 0, 1] = y
    h05 = h * 0.5
    sixth = h / 6.0
    with np.errstate(invalid="ignore", over="ignore"):
        for n in range(1, max_steps + 1):
            if live.size == 0:
                break
            ok = inside(x, y)
            k1x, k1y = interp(x, y)
            sx, sy = x + h05 * k1x, y + h05 * k1y
            ok &= inside(sx, sy)
            k2x, k2y = interp(sx, sy)
            sx, sy = x + h05 * k2x, y + h05 * k2y
            ok &= inside(sx, sy)
            k3x, k3y = interp(sx, sy)
            sx, sy = x + h * k3x, y + h * k3y
            ok &= inside(sx, sy)
            k4x, k4y = interp(sx, sy)
            xn = x + sixth * (((k1x + 2.0 * k2x) + 2.0 * k3x) + k4x)
            yn = y + sixth * (((k1y + 2.0 * k2y) + 2.0 * k3y) + k4y)
            ok &= inside(xn, yn)
            if not ok.all():
                live, xn, yn = live[ok], xn[ok], yn[ok]
            out[live, n, 0] = xn
            out[live, n, 1] = yn
            x, y = xn, yn
    return out


# --------------------------------------------------------------------------
# Other peers
# --------------------------------------------------------------------------


def scipy_trace(grid, seeds_arr, t_end, stop_at_edge, rtol, atol):
    """solve_ivp (RK45) per seed on a linear RegularGridInterpolator.

    Returns (end points, accepted steps, RHS evaluations). With stop_at_edge a
    terminal event ends a line where it reaches the domain edge (the
    interpolator extrapolates between a step's stages, as it must)."""
    values = np.stack([grid.bx_yx.T, grid.by_yx.T], axis=-1)  # (nx, ny, 2), [i, j]
    rgi = SCIPY.RGI((grid.x, grid.y), values, method="linear",
                    bounds_error=False, fill_value=None)

    def rhs(_t, s):
        return rgi(s.reshape(1, 2))[0]

    events = None
    if stop_at_edge:
        def edge(_t, s):
            return min(s[0] - grid.xmin, grid.xmax - s[0], s[1] - grid.ymin, grid.ymax - s[1])

        edge.terminal = True
        edge.direction = -1
        events = edge
    ends = np.empty((seeds_arr.shape[0], 2))
    accepted = 0
    nfev = 0
    for k, s0 in enumerate(seeds_arr):
        sol = SCIPY.solve_ivp(rhs, (0.0, t_end), s0, method="RK45",
                              rtol=rtol, atol=atol, events=events)
        ends[k] = sol.y[:, -1]
        accepted += sol.t.size - 1
        nfev += sol.nfev
    return ends, accepted, nfev


def streamplot_trace(ax, grid, seeds_arr, maxlength):
    """One forward streamplot call from the seeds; returns the line polylines.

    Lines are neither broken where they meet others nor dropped when short;
    no arrows are drawn (a line of one point has nowhere to put one)."""
    result = ax.streamplot(
        grid.x, grid.y, grid.bx_yx, grid.by_yx,
        start_points=seeds_arr, integration_direction="forward",
        broken_streamlines=False, maxlength=maxlength, **_STREAMPLOT_KW,
    )
    return result.lines.get_segments()


def _streamplot_options():
    if MPL is None:
        return {}
    import inspect

    if "num_arrows" in inspect.signature(MPL.plt.Axes.streamplot).parameters:
        return {"minlength": 0.0, "num_arrows": 0}
    return {}  # older matplotlib: keep the default minlength, which drops 1-point lines


_STREAMPLOT_KW = _streamplot_options()


def make_streamtracer_grid(grid):
    """The 2-D field as a thin 3-D grid: 2 layers in z, zero z component."""
    vectors = np.zeros((grid.nx, grid.ny, 2, 3))
    vectors[:, :, :, 0] = grid.bx_yx.T[:, :, None]
    vectors[:, :, :, 1] = grid.by_yx.T[:, :, None]
    hx = (grid.xmax - grid.xmin) / (grid.nx - 1)
    hy = (grid.ymax - grid.ymin) / (grid.ny - 1)
    return STREAMTRACER.VectorGrid(vectors, grid_spacing=[hx, hy, 1.0],
                                   origin_coord=[grid.xmin, grid.ymin, 0.0])


def streamtracer_trace(st_grid, seeds_arr, ds, max_steps):
    """Forward lines; streamtracer steps a fixed length ds along the unit field
    direction, and max_steps counts points, hence the + 1."""
    tracer = STREAMTRACER.StreamTracer(max_steps + 1, ds)
    seeds3 = np.column_stack([seeds_arr, np.full(seeds_arr.shape[0], 0.5)])
    tracer.trace(seeds3, st_grid, direction=1)
    return tracer.xs


# --------------------------------------------------------------------------
# Reporting
# --------------------------------------------------------------------------

RESULTS = []
EXTRA = {}


def record(workload, tool, seconds, steps, unit="step", accuracy=None, note="", **more):
    ns = seconds / steps * 1e9 if steps else math.nan
    entry = {
        "workload": workload, "tool": tool, "seconds": seconds, "steps": int(steps),
        "unit": unit, "ns_per_step": ns, "ratio": None, "accuracy": accuracy, "note": note,
    }
    entry.update(more)
    RESULTS.append(entry)
    return entry


def finish_ratios(workload):
    rows = [r for r in RESULTS if r["workload"] == workload]
    base = next((r for r in rows if r["tool"] == "torvelin"), None)
    for r in rows:
        if base is not None and base["ns_per_step"] > 0:
            r["ratio"] = r["ns_per_step"] / base["ns_per_step"]


def print_table(workload, with_accuracy):
    rows = [r for r in RESULTS if r["workload"] == workload]
    head = f"  {'tool':<30} {'ns/step':>11} {'vs torvelin':>12}"
    if with_accuracy:
        head += f" {'max |r_end-r_seed|':>19}"
    head += f" {'steps':>11}  note"
    print(head)
    for r in rows:
        ratio = f"{r['ratio']:.2f}" if r["ratio"] is not None else "-"
        line = f"  {TOOL_LABELS.get(r['tool'], r['tool']):<30} {r['ns_per_step']:>11.1f} {ratio:>12}"
        if with_accuracy:
            acc = f"{r['accuracy']:.2e}" if r["accuracy"] is not None else "-"
            line += f" {acc:>19}"
        line += f" {r['steps']:>11}  {r['note']}"
        print(line.rstrip())
    for tool in ("numba", "numpy", "scipy", "streamplot", "streamtracer"):
        if tool in SKIPPED and not any(r["tool"] == tool for r in rows):
            print(f"  {TOOL_LABELS[tool]:<30} skipped: {SKIPPED[tool]}")


# --------------------------------------------------------------------------
# Workloads
# --------------------------------------------------------------------------


def same_formula_peers(name, numba_run, grid, seeds_arr, h, max_steps, ref, cfg,
                       radii=None):
    """Runs the numba and NumPy peers, which use torvelin's formulas, records
    them, and returns whether each gave exactly torvelin's points."""
    identical = {}
    runners = [("numba", numba_run, cfg.reps_fast), ("numpy", numpy_trace, cfg.reps_mid)]
    for tool, runner, reps in runners:
        if runner is None:
            continue
        res = run_peer(tool, name, lambda: best_of(
            lambda: runner(grid, seeds_arr, h, max_steps), reps))
        if res is None:
            continue
        t, out = res
        identical[tool] = same_points(out, ref)
        extra = {}
        if radii is not None:
            extra["accuracy"] = max_radius_drift(end_points_from_padded(out), radii)
        record(name, tool, t, int(steps_from_padded(out).sum()), repeats=reps, **extra)
    return identical


def workload_rotation(cfg, numba_run):
    name = "rotation"
    grid = Grid(-1.0, 1.0, -1.0, 1.0, 256, 256, rotation_field)
    radii = np.linspace(0.2, 0.8, 64)
    seeds_arr = np.column_stack([radii, np.zeros_like(radii)])
    seeds = [(float(a), float(b)) for a, b in seeds_arr]
    h, max_steps = 0.01, 2000
    print(f"\n(a) rotation B = (-y, x): 256 x 256 grid over [-1, 1]^2, {len(seeds)} seeds "
          f"at r = 0.2..0.8, h = {h}, {max_steps} steps")

    t, ref = best_of(lambda: grid.trace(seeds, h, max_steps), cfg.reps_fast)
    steps = int(steps_from_padded(ref).sum())
    acc = max_radius_drift(end_points_from_padded(ref), radii)
    record(name, "torvelin", t, steps, accuracy=acc, repeats=cfg.reps_fast)

    identical = same_formula_peers(name, numba_run, grid, seeds_arr, h, max_steps, ref, cfg,
                                   radii=radii)

    if SCIPY is not None:
        idx = np.linspace(0, len(radii) - 1, cfg.scipy_rot_seeds).round().astype(int)
        t_end = h * cfg.scipy_rot_steps
        rtol, atol = 1e-6, 1e-9

        def scipy_run():
            t, (ends, accepted, nfev) = best_of(
                lambda: scipy_trace(grid, seeds_arr[idx], t_end, False, rtol, atol),
                cfg.reps_slow)
            record(name, "scipy", t, accepted, unit="accepted step",
                   accuracy=max_radius_drift(ends, radii[idx]),
                   note=f"per accepted step; {len(idx)} seeds, t = 0..{t_end:g}, "
                        f"rtol={rtol:g}, atol={atol:g}; {nfev} RHS evals = "
                        f"{t / nfev * 1e9:.0f} ns each",
                   rhs_evaluations=nfev, repeats=cfg.reps_slow)
        run_peer("scipy", name, scipy_run)

    if MPL is not None:
        idx = np.linspace(0, len(radii) - 1, cfg.streamplot_rot_seeds).round().astype(int)
        maxlength = cfg.streamplot_rot_maxlength

        def streamplot_run():
            plt = MPL.plt
            fig, ax = plt.subplots()
            try:
                t, segs = best_of(lambda: streamplot_trace(ax, grid, seeds_arr[idx], maxlength),
                                  cfg.reps_slow, setup=ax.cla)
            finally:
                plt.close(fig)
            points = sum(len(s) for s in segs)
            drift = max(abs(math.hypot(*s[-1]) - math.hypot(*s[0])) for s in segs)
            record(name, "streamplot", t, points, unit="point", accuracy=drift,
                   note=f"per returned point (own adaptive RK12); {len(idx)} seeds, "
                        f"maxlength={maxlength}, {len(segs)} lines",
                   repeats=cfg.reps_slow)
        run_peer("streamplot", name, streamplot_run)

    if STREAMTRACER is not None:
        ds = h * float(np.mean(radii))  # torvelin's step length at the mean radius

        def streamtracer_run():
            st_grid = make_streamtracer_grid(grid)
            t, xs = best_of(lambda: streamtracer_trace(st_grid, seeds_arr, ds, max_steps),
                            cfg.reps_mid)
            ends = np.array([line[-1, :2] for line in xs])
            record(name, "streamtracer", t, sum(len(line) - 1 for line in xs),
                   accuracy=max_radius_drift(ends, radii),
                   note=f"fixed step length {ds:g} along the unit field direction",
                   repeats=cfg.reps_mid)
        run_peer("streamtracer", name, streamtracer_run)

    finish_ratios(name)
    print_table(name, with_accuracy=True)
    if identical:
        names = ", ".join(f"{k} {'yes' if v else 'NO'}" for k, v in identical.items())
        print(f"  bit-identical to torvelin: {'yes' if all(identical.values()) else 'no'} ({names})")
    else:
        print("  bit-identical to torvelin: not checked (no numba or NumPy peer ran)")
    EXTRA["bit_identical_rotation"] = identical


def workload_line_currents(cfg, numba_run):
    name = "line_currents"
    n = 512
    grid = Grid(-1.0, 1.0, -1.0, 1.0, n, n, line_current_field)
    lattice = np.linspace(-0.97, 0.97, cfg.lattice)
    gx, gy = np.meshgrid(lattice, lattice)
    seeds_arr = np.column_stack([gx.ravel(), gy.ravel()])
    seeds = [(float(a), float(b)) for a, b in seeds_arr]
    h, max_steps = 0.002, 4000
    print(f"\n(b) antiparallel line currents at (+-{WIRE_X}, 0), wire radius {WIRE_RADIUS}: "
          f"{n} x {n} grid over [-1, 1]^2, {len(seeds)} seeds on a lattice, h = {h}, "
          f"at most {max_steps} steps")

    t, ref = best_of(lambda: grid.trace(seeds, h, max_steps), cfg.reps_fast)
    per_seed = steps_from_padded(ref)
    steps = int(per_seed.sum())
    left = per_seed < max_steps
    print(f"  {left.mean() * 100:.0f}% of the lines leave the domain, after "
          f"{np.median(per_seed[left]):.0f} steps (median); the steps taken are "
          f"{steps / (len(seeds) * max_steps) * 100:.0f}% of the budget")
    # Most of the NaN-padded result is padding here; what creating it alone costs:
    t_alloc, _ = best_of(lambda: np.full(ref.shape, np.nan), cfg.reps_fast)
    print(f"  the {ref.nbytes / 2**20:.0f} MiB result alone (numpy.full of its shape) takes "
          f"{t_alloc * 1e3:.1f} ms, {t_alloc / t * 100:.0f}% of torvelin's {t * 1e3:.1f} ms")
    record(name, "torvelin", t, steps, repeats=cfg.reps_fast,
           note="includes filling the NaN-padded result", result_alloc_seconds=t_alloc)
    EXTRA["line_currents_fraction_leaving"] = float(left.mean())
    EXTRA["line_currents_budget_used"] = steps / (len(seeds) * max_steps)

    identical = same_formula_peers(name, numba_run, grid, seeds_arr, h, max_steps, ref, cfg)

    def subset(count):
        return np.linspace(0, len(seeds) - 1, count).round().astype(int)

    if SCIPY is not None:
        idx = subset(cfg.scipy_lc_seeds)
        t_end = h * max_steps
        rtol, atol = 1e-6, 1e-9

        def scipy_run():
            t, (_, accepted, nfev) = best_of(
                lambda: scipy_trace(grid, seeds_arr[idx], t_end, True, rtol, atol),
                cfg.reps_slow)
            record(name, "scipy", t, accepted, unit="accepted step",
                   note=f"per accepted step; {len(idx)} seeds, t = 0..{t_end:g}, "
                        f"edge event; {nfev} RHS evals = {t / nfev * 1e9:.0f} ns each",
                   rhs_evaluations=nfev, repeats=cfg.reps_slow)
        run_peer("scipy", name, scipy_run)

    if MPL is not None:
        idx = subset(cfg.streamplot_lc_seeds)

        def streamplot_run():
            plt = MPL.plt
            fig, ax = plt.subplots()
            try:
                t, segs = best_of(lambda: streamplot_trace(ax, grid, seeds_arr[idx], 20.0),
                                  cfg.reps_slow, setup=ax.cla)
            finally:
                plt.close(fig)
            record(name, "streamplot", t, sum(len(s) for s in segs), unit="point",
                   note=f"per returned point; {len(idx)} seeds, maxlength=20",
                   repeats=cfg.reps_slow)
        run_peer("streamplot", name, streamplot_run)

    if STREAMTRACER is not None:
        ds = 0.004

        def streamtracer_run():
            st_grid = make_streamtracer_grid(grid)
            t, xs = best_of(lambda: streamtracer_trace(st_grid, seeds_arr, ds, max_steps),
                            cfg.reps_mid)
            record(name, "streamtracer", t, sum(max(len(line) - 1, 0) for line in xs),
                   note=f"fixed step length {ds:g}", repeats=cfg.reps_mid)
        run_peer("streamtracer", name, streamtracer_run)

    finish_ratios(name)
    print_table(name, with_accuracy=False)
    if identical:
        names = ", ".join(f"{k} {'yes' if v else 'NO'}" for k, v in identical.items())
        print(f"  bit-identical to torvelin: {'yes' if all(identical.values()) else 'no'} ({names})")
    EXTRA["bit_identical_line_currents"] = identical


def count_find_steps(lines):
    """RK4 steps behind find_fieldlines' result: a joined line of n points took
    n - 1 steps; a closed loop repeats its footpoint at the end."""
    steps = 0
    for xs, ys in lines:
        closed = len(xs) > 2 and xs[0] == xs[-1] and ys[0] == ys[-1]
        steps += len(xs) - (2 if closed else 1)
    return steps


def workload_find(cfg):
    name = "find_fieldlines"
    n = 1024
    x = np.linspace(-1.0, 1.0, n)
    y = np.linspace(-1.0, 1.0, n)
    X, Y = np.meshgrid(x, y, indexing="ij")  # (nx, ny), indexed [i, j]
    bx, by = line_current_field(X, Y)
    data = types.SimpleNamespace(x1=x, x2=y, bx=bx, by=by)
    foot = np.linspace(-0.9, 0.9, 10)
    fx, fy = np.meshgrid(foot, foot)
    x0, y0 = fx.ravel(), fy.ravel()
    print(f"\n(c) find_fieldlines: line currents on {n} x {n} points, (nx, ny) float64 "
          f"C-ordered arrays in a SimpleNamespace, {len(x0)} footpoints, default options")

    t_call, lines = best_of(lambda: torvelin.find_fieldlines(data, "bx", "by", x0=x0, y0=y0),
                            cfg.reps_find)
    t_coerce, empty = best_of(
        lambda: torvelin.find_fieldlines(data, "bx", "by", x0=x0, y0=y0, numsteps=0),
        cfg.reps_find)
    if empty != []:
        raise RuntimeError("find_fieldlines with numsteps=0 should return no lines")
    steps = count_find_steps(lines)
    share = t_coerce / t_call
    ns_trace = (t_call - t_coerce) / steps * 1e9 if steps else math.nan
    record(name, "torvelin", t_call, steps,
           note=f"whole call, {len(lines)} lines, coercion included", repeats=cfg.reps_find,
           seconds_per_call=t_call, coercion_seconds=t_coerce, coercion_share=share,
           ns_per_step_tracing_only=ns_trace)

    data_f = types.SimpleNamespace(x1=x, x2=y, bx=np.asfortranarray(bx), by=np.asfortranarray(by))
    t_coerce_f, _ = best_of(
        lambda: torvelin.find_fieldlines(data_f, "bx", "by", x0=x0, y0=y0, numsteps=0),
        cfg.reps_find)
    EXTRA["find_fieldlines_coercion_fortran_seconds"] = t_coerce_f

    finish_ratios(name)
    print(f"  {'':<30} {'ms/call':>11} {'share':>8} {'ns/step':>9} {'steps':>11}")
    print(f"  {'whole call':<30} {t_call * 1e3:>11.2f} {'100%':>8} {steps and t_call / steps * 1e9:>9.1f} {steps:>11}")
    print(f"  {'input coercion (numsteps=0)':<30} {t_coerce * 1e3:>11.2f} {share * 100:>7.1f}%")
    print(f"  {'tracing and joining (rest)':<30} {(t_call - t_coerce) * 1e3:>11.2f} "
          f"{(1 - share) * 100:>7.1f}% {ns_trace:>9.1f}")
    print(f"  (the same coercion from Fortran-ordered arrays: {t_coerce_f * 1e3:.2f} ms)")


def workload_overhead(cfg):
    name = "call_overhead"
    calls = 10_000
    grid = Grid(0.0, 1.0, 0.0, 1.0, 8, 8, rotation_field)
    seeds = [(0.6, 0.5)]
    args = (grid.xmin, grid.xmax, grid.ymin, grid.ymax, grid.nx, grid.ny, grid.bx, grid.by,
            seeds, 0.01, 10)
    trace = torvelin.trace_fieldlines
    full = np.full
    nan = np.nan
    print(f"\n(d) call overhead: {calls} calls of trace_fieldlines, 1 seed, 10 steps, 8 x 8 grid")

    out = trace(*args)
    if int(steps_from_padded(out).sum()) != 10:
        raise RuntimeError("the overhead workload must take all 10 steps")

    def loop_trace():
        for _ in range(calls):
            trace(*args)

    def loop_full():
        for _ in range(calls):
            full((1, 11, 2), nan)

    t_trace, _ = best_of(loop_trace, cfg.reps_overhead)
    t_full, _ = best_of(loop_full, cfg.reps_overhead)
    us_trace = t_trace / calls * 1e6
    us_full = t_full / calls * 1e6
    record(name, "torvelin", t_trace, calls * 10, us_per_call=us_trace, repeats=cfg.reps_overhead,
           note=f"{us_trace:.3f} us per call")
    RESULTS.append({
        "workload": name, "tool": "numpy.full((1, 11, 2), nan)", "seconds": t_full,
        "steps": 0, "unit": "call", "ns_per_step": None, "us_per_call": us_full,
        "ratio": us_full / us_trace, "accuracy": None, "repeats": cfg.reps_overhead,
        "note": "peer time / torvelin time per call",
    })
    print(f"  {'':<30} {'us/call':>9} {'vs torvelin':>12}")
    print(f"  {'torvelin.trace_fieldlines':<30} {us_trace:>9.3f} {1.0:>12.2f}")
    print(f"  {'numpy.full((1, 11, 2), nan)':<30} {us_full:>9.3f} {us_full / us_trace:>12.2f}")
    print(f"  one trace_fieldlines call costs {us_trace / us_full:.1f} numpy.full calls")


def _finite_or_none(obj):
    """NaN and infinities become null, so that the file is strict JSON."""
    if isinstance(obj, float):
        return obj if math.isfinite(obj) else None
    if isinstance(obj, dict):
        return {k: _finite_or_none(v) for k, v in obj.items()}
    if isinstance(obj, (list, tuple)):
        return [_finite_or_none(v) for v in obj]
    return obj


# --------------------------------------------------------------------------


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true",
                        help="fewer repetitions and smaller slow-peer runs (smoke test)")
    parser.add_argument("--json", metavar="PATH", help="also write all figures to this JSON file")
    args = parser.parse_args(argv)

    if args.quick:
        cfg = types.SimpleNamespace(
            reps_fast=3, reps_mid=2, reps_slow=1, reps_find=3, reps_overhead=2,
            lattice=16, scipy_rot_seeds=4, scipy_rot_steps=200, scipy_lc_seeds=8,
            streamplot_rot_seeds=16, streamplot_rot_maxlength=2.0, streamplot_lc_seeds=16,
        )
    else:
        cfg = types.SimpleNamespace(
            reps_fast=7, reps_mid=3, reps_slow=2, reps_find=5, reps_overhead=5,
            lattice=32, scipy_rot_seeds=64, scipy_rot_steps=2000, scipy_lc_seeds=64,
            streamplot_rot_seeds=64, streamplot_rot_maxlength=8.0, streamplot_lc_seeds=64,
        )

    started = time.perf_counter()
    cpu = cpu_model()
    vers = versions()
    print(f"CPU: {cpu}")
    print("versions: " + ", ".join(f"{k} {v}" for k, v in vers.items()))
    print(f"mode: {'quick' if args.quick else 'full'}; best of N runs, time.perf_counter; "
          "ratio = peer time / torvelin time")
    for tool, reason in SKIPPED.items():
        print(f"skipped {TOOL_LABELS.get(tool, tool)}: {reason}")

    numba_run = None
    if NUMBA is not None:
        try:
            t0 = time.perf_counter()
            numba_run = _build_numba_tracer(NUMBA)
            print(f"numba tracer compiled in {time.perf_counter() - t0:.1f} s (not timed)")
        except Exception as exc:
            FAILED["numba"] = f"compilation failed: {type(exc).__name__}: {exc}"
            traceback.print_exc()

    workload_rotation(cfg, numba_run)
    workload_line_currents(cfg, numba_run)
    workload_find(cfg)
    workload_overhead(cfg)

    total = time.perf_counter() - started
    print(f"\ntotal run time {total:.1f} s")

    mismatches = [f"{w}: {tool}" for w in ("bit_identical_rotation", "bit_identical_line_currents")
                  for tool, same in EXTRA.get(w, {}).items() if not same]
    for key, reason in FAILED.items():
        print(f"FAILED {key}: {reason}", file=sys.stderr)
    for m in mismatches:
        print(f"NOT bit-identical to torvelin: {m}", file=sys.stderr)

    if args.json:
        report = {
            "cpu": cpu, "versions": vers, "quick": args.quick, "platform": platform.platform(),
            "results": RESULTS, "skipped": SKIPPED, "failed": FAILED, "extra": EXTRA,
            "total_seconds": total,
        }
        with open(args.json, "w", encoding="utf-8") as f:
            json.dump(_finite_or_none(report), f, indent=2, allow_nan=False)
            f.write("\n")
        print(f"wrote {args.json}")

    return 1 if FAILED or mismatches else 0


if __name__ == "__main__":
    sys.exit(main())
