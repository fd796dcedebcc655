"""Grids, fields, timing and result helpers shared by every workload."""

import gc
import math
import os
import time

import numpy as np

import torvelin


# --------------------------------------------------------------------------
# Timing
# --------------------------------------------------------------------------


def best_of(fn, repeats, setup=None):
    """Smallest wall time of `repeats` calls of fn(), and the last result.

    `setup`, if given, runs untimed before every call. The garbage collector
    is kept out of the timed region.
    """
    best, result, _ = best_of_with_cpu(fn, repeats, setup)
    return best, result


def best_of_with_cpu(fn, repeats, setup=None):
    """best_of, also returning the process's CPU time (all threads) during
    the fastest call: CPU time / wall time is the number of cores kept busy."""
    best = math.inf
    best_cpu = math.nan
    result = None
    for _ in range(max(1, repeats)):
        if setup is not None:
            setup()
        result = None
        gc.collect()
        gc.disable()
        try:
            c0 = time.process_time()
            t0 = time.perf_counter()
            result = fn()
            elapsed = time.perf_counter() - t0
            cpu = time.process_time() - c0
        finally:
            gc.enable()
        if elapsed < best:
            best, best_cpu = elapsed, cpu
    return best, result, best_cpu


def available_cores():
    try:
        return len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        return os.cpu_count() or 1


# --------------------------------------------------------------------------
# Results
# --------------------------------------------------------------------------


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
    """Whether two traced results hold the same points bit for bit: equal
    shapes, and every value either NaN in both (padding) or of the same bits
    (so 0.0 and -0.0 differ)."""
    a = np.asarray(a, dtype=np.float64)
    b = np.asarray(b, dtype=np.float64)
    if a.shape != b.shape:
        return False
    nan_a, nan_b = np.isnan(a), np.isnan(b)
    if not np.array_equal(nan_a, nan_b):
        return False
    bits_a = a.view(np.uint64)[~nan_a]
    bits_b = b.view(np.uint64)[~nan_b]
    return bool(np.array_equal(bits_a, bits_b))


def seed_list(seeds_arr):
    """The (x, y) tuples trace_fieldlines takes, from an (n, 2) array."""
    return [(float(a), float(b)) for a, b in seeds_arr]


# --------------------------------------------------------------------------
# Grids and fields
# --------------------------------------------------------------------------


class Grid:
    """A uniform grid with its field, in every layout the tools want.

    `field(X, Y)` is evaluated on the sparse (broadcasting) coordinate arrays
    X of shape (1, nx) and Y of shape (ny, 1), so that building a large grid
    holds no full-size coordinate arrays."""

    def __init__(self, xmin, xmax, ymin, ymax, nx, ny, field):
        self.xmin, self.xmax, self.ymin, self.ymax = xmin, xmax, ymin, ymax
        self.nx, self.ny = nx, ny
        self.x = np.linspace(xmin, xmax, nx)
        self.y = np.linspace(ymin, ymax, ny)
        X, Y = np.meshgrid(self.x, self.y, sparse=True)  # (1, nx) and (ny, 1)
        bx, by = field(X, Y)
        self.bx_yx = full_array(bx, (ny, nx))  # [j, i], C-ordered
        self.by_yx = full_array(by, (ny, nx))
        self.bx = self.bx_yx.ravel()  # flat, index j * nx + i (a view)
        self.by = self.by_yx.ravel()

    @property
    def bounds(self):
        return self.xmin, self.xmax, self.ymin, self.ymax, self.nx, self.ny

    @property
    def spacing(self):
        return (self.xmax - self.xmin) / (self.nx - 1)

    @property
    def field_bytes(self):
        return self.bx.nbytes + self.by.nbytes

    def trace(self, seeds, step, max_steps):
        return torvelin.trace_fieldlines(
            self.xmin, self.xmax, self.ymin, self.ymax, self.nx, self.ny,
            self.bx, self.by, seeds, step, max_steps,
        )


def full_array(values, shape):
    """`values` as a C-contiguous float64 array of `shape` (broadcast if need
    be); an array that already qualifies is returned as it is."""
    values = np.asarray(values, dtype=np.float64)
    if values.shape == shape and values.flags.c_contiguous:
        return values
    out = np.empty(shape)
    out[...] = values
    return out


def rotation_field(X, Y):
    """Rigid rotation B = (-y, x): circles, one step moves a point by h r."""
    return -Y, X


def rotation_ij(x, y):
    """The rotation field as (nx, ny) C-ordered arrays indexed [i, j], as
    find_fieldlines reads them; written in place, without temporaries."""
    bx = np.empty((x.size, y.size))
    by = np.empty((x.size, y.size))
    bx[...] = -y[None, :]
    by[...] = x[:, None]
    return bx, by


WIRE_X = 0.5
WIRE_RADIUS = 0.1


def line_current_field(X, Y):
    """Two antiparallel wires along z at (-WIRE_X, 0) (current +1, out of the
    page) and (+WIRE_X, 0) (current -1). B = I z x d / |d|^2 outside a wire,
    growing linearly from its axis inside it (no singularity on the grid).

    X and Y may be sparse (broadcasting) coordinate arrays."""
    shape = np.broadcast_shapes(np.shape(X), np.shape(Y))
    bx = np.zeros(shape)
    by = np.zeros(shape)
    for xc, current in ((-WIRE_X, 1.0), (WIRE_X, -1.0)):
        dx, dy = X - xc, Y
        scale = np.add(dx * dx, dy * dy)
        np.maximum(scale, WIRE_RADIUS * WIRE_RADIUS, out=scale)
        np.divide(current, scale, out=scale)
        bx += -dy * scale
        by += dx * scale
    return bx, by
