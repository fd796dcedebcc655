"""The other ways of tracing field lines that torvelin is timed against.

Optional packages are imported by `load()`, which notes the reason for each
one that cannot be imported; nothing is imported when this module is.

Same-formula peers (their points are checked to be bit-identical to
torvelin's): a numba RK4 tracing one seed after another, the same numba code
with the seeds spread over threads (`prange`), and a NumPy RK4 vectorised over
seeds. The numba tracers read the flat bx and by arrays in place (index
j * nx + i), as torvelin does. Other peers: SciPy's solve_ivp on a
RegularGridInterpolator, matplotlib's streamplot and streamtracer.
"""

import inspect
import math
import types
from importlib import metadata

import numpy as np

from .common import Grid, available_cores, rotation_field

TOOL_LABELS = {
    "torvelin": "torvelin",
    "numba": "numba @njit, per seed",
    "numba_prange": "numba prange over seeds",
    "numpy": "NumPy, vectorised over seeds",
    "scipy": "SciPy solve_ivp RK45 + RGI",
    "streamplot": "matplotlib streamplot",
    "streamtracer": "streamtracer",
}


def label(tool):
    return TOOL_LABELS.get(tool, tool)


# --------------------------------------------------------------------------
# Optional imports
# --------------------------------------------------------------------------


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


def _try_import(report, tool, importer):
    try:
        return importer()
    except Exception as exc:  # ImportError, or a broken installation
        report.skipped[tool] = f"not importable: {type(exc).__name__}: {exc}"
        return None


def load(report):
    """Imports the optional peers; the ones missing are noted in the report."""
    return types.SimpleNamespace(
        numba=_try_import(report, "numba", _import_numba),
        scipy=_try_import(report, "scipy", _import_scipy),
        mpl=_try_import(report, "streamplot", _import_matplotlib),
        streamtracer=_try_import(report, "streamtracer", _import_streamtracer),
        numba_run=None,
        numba_prange_run=None,
    )


def versions(peers):
    out = {}
    if peers.numba is not None:
        out["numba"] = peers.numba.__version__
    if peers.scipy is not None:
        out["scipy"] = peers.scipy.version
    if peers.mpl is not None:
        out["matplotlib"] = peers.mpl.version
    if peers.streamtracer is not None:
        out["streamtracer"] = peers.streamtracer.version
    return out


# --------------------------------------------------------------------------
# numba tracers with torvelin's formulas
# --------------------------------------------------------------------------


class NumbaTracers:
    """Per-seed fixed-step RK4 with bilinear interpolation, compiled by numba,
    in two drivers over the seeds: `serial` (one seed after another) and
    `parallel` (numba.prange, the seeds spread over `threads` threads).

    Every product and sum is written in the order torvelin evaluates it, and
    numba contracts nothing into fused multiply-adds without fastmath, so the
    points should match torvelin's bit for bit. Both drivers read bx and by
    in place: the flat arrays as given, no copy."""

    def __init__(self, numba):
        self.numba = numba
        self._serial, self._parallel = _compile_numba_tracers(numba)
        self.threads = 1

    def serial(self, grid, seeds_arr, h, max_steps):
        return self._serial(grid.xmin, grid.xmax, grid.ymin, grid.ymax, grid.nx, grid.ny,
                            grid.bx, grid.by, seeds_arr, h, max_steps)

    def parallel(self, grid, seeds_arr, h, max_steps):
        # The count is per calling thread; setting it costs nothing measurable.
        self.numba.set_num_threads(self.threads)
        return self._parallel(grid.xmin, grid.xmax, grid.ymin, grid.ymax, grid.nx, grid.ny,
                              grid.bx, grid.by, seeds_arr, h, max_steps)

    def set_threads(self, wanted):
        """Threads for the parallel driver: `wanted` (default: every core this
        process may run on), at most the size of numba's pool. Returns it."""
        pool = int(self.numba.config.NUMBA_NUM_THREADS)
        self.threads = max(1, min(wanted or available_cores(), pool))
        return self.threads

    def threading_layer(self):
        try:
            return self.numba.threading_layer()
        except ValueError:  # no parallel function has run yet
            return "unknown"

    def warm_up(self):
        """Compiles both drivers outside any timed region."""
        tiny = Grid(0.0, 1.0, 0.0, 1.0, 3, 3, rotation_field)
        seeds = np.array([[0.5, 0.5], [0.25, 0.5]])
        self.serial(tiny, seeds, 0.1, 2)
        self.parallel(tiny, seeds, 0.1, 2)


def _compile_numba_tracers(numba):
    njit = numba.njit(error_model="numpy", cache=False)
    prange = numba.prange

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
    def trace_seed(xmin, xmax, ymin, ymax, nx, ny, bx, by, x, y, h, max_steps, row):
        """Traces one seed into `row`, of shape (max_steps + 1, 2), NaN-filled."""
        ok, _, _ = interp(xmin, xmax, ymin, ymax, nx, ny, bx, by, x, y)
        if not ok:
            return
        h05 = h * 0.5
        sixth = h / 6.0
        row[0, 0] = x
        row[0, 1] = y
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
            row[n, 0] = x
            row[n, 1] = y

    def trace_seeds(xmin, xmax, ymin, ymax, nx, ny, bx, by, seeds, h, max_steps):
        ns = seeds.shape[0]
        out = np.full((ns, max_steps + 1, 2), np.nan)
        for k in prange(ns):
            trace_seed(xmin, xmax, ymin, ymax, nx, ny, bx, by, seeds[k, 0], seeds[k, 1],
                       h, max_steps, out[k])
        return out

    # Compiled without parallel=True, prange is a plain range: one seed after
    # another. With it, the seeds are spread over numba's threads.
    trace_serial = njit(trace_seeds)
    trace_parallel = numba.njit(error_model="numpy", cache=False, parallel=True)(trace_seeds)
    return trace_serial, trace_parallel


# --------------------------------------------------------------------------
# NumPy tracer with torvelin's formulas
# --------------------------------------------------------------------------


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


def scipy_trace(scipy, grid, seeds_arr, t_end, stop_at_edge, rtol, atol):
    """solve_ivp (RK45) per seed on a linear RegularGridInterpolator.

    Returns (end points, accepted steps, RHS evaluations). With stop_at_edge a
    terminal event ends a line where it reaches the domain edge (the
    interpolator extrapolates between a step's stages, as it must)."""
    values = np.stack([grid.bx_yx.T, grid.by_yx.T], axis=-1)  # (nx, ny, 2), [i, j]
    rgi = scipy.RGI((grid.x, grid.y), values, method="linear",
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
        sol = scipy.solve_ivp(rhs, (0.0, t_end), s0, method="RK45",
                              rtol=rtol, atol=atol, events=events)
        ends[k] = sol.y[:, -1]
        accepted += sol.t.size - 1
        nfev += sol.nfev
    return ends, accepted, nfev


def streamplot_options(mpl):
    if mpl is None:
        return {}
    if "num_arrows" in inspect.signature(mpl.plt.Axes.streamplot).parameters:
        return {"minlength": 0.0, "num_arrows": 0}
    return {}  # older matplotlib: keep the default minlength, which drops 1-point lines


def streamplot_trace(mpl, ax, grid, seeds_arr, maxlength):
    """One forward streamplot call from the seeds; returns the line polylines.

    Lines are neither broken where they meet others nor dropped when short;
    no arrows are drawn (a line of one point has nowhere to put one)."""
    result = ax.streamplot(
        grid.x, grid.y, grid.bx_yx, grid.by_yx,
        start_points=seeds_arr, integration_direction="forward",
        broken_streamlines=False, maxlength=maxlength, **streamplot_options(mpl),
    )
    return result.lines.get_segments()


def make_streamtracer_grid(st, grid):
    """The 2-D field as a thin 3-D grid: 2 layers in z, zero z component."""
    vectors = np.zeros((grid.nx, grid.ny, 2, 3))
    vectors[:, :, :, 0] = grid.bx_yx.T[:, :, None]
    vectors[:, :, :, 1] = grid.by_yx.T[:, :, None]
    hx = (grid.xmax - grid.xmin) / (grid.nx - 1)
    hy = (grid.ymax - grid.ymin) / (grid.ny - 1)
    return st.VectorGrid(vectors, grid_spacing=[hx, hy, 1.0],
                         origin_coord=[grid.xmin, grid.ymin, 0.0])


def streamtracer_trace(st, st_grid, seeds_arr, ds, max_steps):
    """Forward lines; streamtracer steps a fixed length ds along the unit field
    direction, and max_steps counts points, hence the + 1."""
    tracer = st.StreamTracer(max_steps + 1, ds)
    seeds3 = np.column_stack([seeds_arr, np.full(seeds_arr.shape[0], 0.5)])
    tracer.trace(seeds3, st_grid, direction=1)
    return tracer.xs
