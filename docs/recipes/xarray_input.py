"""
Feeding an xarray Dataset
=========================

An ``xarray.Dataset`` can be the ``data`` object of
:func:`~torvelin.find_fieldlines`: the grid is read from its attributes
``x1`` and ``x2``, and a field component named by a string is read from the
attribute of that name. This recipe shows the three things to get right:
the names of the coordinates, the type of the field components, and the
order of their axes.
"""

import time

import matplotlib.pyplot as plt
import numpy as np
import xarray as xr

import torvelin
from _machine import describe

print(describe())

# %%
# A Dataset as a simulation writes it
# -----------------------------------
# Many codes store a field with the axes (y, x), the order of
# ``np.meshgrid(x, y)``. Here: a line current at (0.3, -0.2), whose field
# lines are the circles around it, the contours of the flux function
# ``ln r``.

XC, YC = 0.3, -0.2


def current_dataset(nx, ny):
    x = np.linspace(-2.0, 2.0, nx)
    y = np.linspace(-1.5, 1.5, ny)
    X, Y = np.meshgrid(x, y)  # shape (ny, nx)
    r2 = np.maximum((X - XC) ** 2 + (Y - YC) ** 2, 0.05**2)
    return xr.Dataset(
        {"bx": (("y", "x"), -(Y - YC) / r2), "by": (("y", "x"), (X - XC) / r2)},
        coords={"x": x, "y": y},
    )


ds = current_dataset(401, 301)
print(ds)


def flux_drift(lines):
    """The largest change of the flux function ln r along the lines: zero
    for exact field lines, small for traced ones."""
    return max(np.ptp(np.log(np.hypot(lx - XC, ly - YC))) for lx, ly in lines)


FOOT = dict(x0=[0.8, 1.2, -0.9], y0=[-0.2, 0.4, 0.5])

# %%
# 1. The coordinates must be named x1 and x2
# ------------------------------------------
# The grid comes from ``data.x1`` and ``data.x2`` unless ``x1=`` and ``x2=``
# are given. Coordinates named otherwise are an ``AttributeError``:

try:
    torvelin.find_fieldlines(ds, "bx", "by", **FOOT)
except AttributeError as error:
    print(f"AttributeError: {error}")

# %%
# Either rename them, ``ds.rename(x="x1", y="x2")``, or pass them:
# ``x1=ds.x.values, x2=ds.y.values``. Pass NumPy arrays, not the coordinate
# DataArrays: a one-dimensional ``DataArray`` has no ``ravel`` method and is
# read value by value, through Python, which is slow:

grid = current_dataset(2001, 1501)
bx, by = grid.bx.values.T, grid.by.values.T  # (nx, ny): see 3. below
values = len(grid.x) + len(grid.y)
timings = {}
for name, x1, x2 in [("DataArray", grid.x, grid.y),
                     (".values", grid.x.values, grid.y.values)]:
    t0 = time.perf_counter()
    torvelin.find_fieldlines(None, bx, by, x1=x1, x2=x2, x0=[], y0=[])
    timings[name] = time.perf_counter() - t0
    print(f"coordinates as {name}: {timings[name] * 1e3:8.2f} ms for {values} values")
per_value = (timings["DataArray"] - timings[".values"]) / values
print(f"a DataArray costs {per_value * 1e6:.0f} microseconds a value")

# %%
# The same holds for footpoints: ``x0=ds_foot.x.values``, not
# ``x0=ds_foot.x``.
#
# 2. A two-dimensional DataArray is refused
# -----------------------------------------
# A field component named by a string is read from the Dataset as a
# ``DataArray``, which has no ``ravel`` method; it is then read as a sequence
# of rows, and that fails:

ds = ds.rename(x="x1", y="x2")
try:
    torvelin.find_fieldlines(ds, "bx", "by", **FOOT)
except TypeError as error:
    print(f"TypeError: {error}")

# %%
# Pass the values instead, as NumPy arrays.
#
# 3. The axes must be (x, y)
# --------------------------
# A NumPy array is read in column-major order, first index fastest, so its
# axes longer than 1 must be (nx, ny). The (ny, nx) arrays of this Dataset
# are refused, with a message that gives the remedy:

try:
    torvelin.find_fieldlines(ds, ds.bx.values, ds.by.values, **FOOT)
except ValueError as error:
    print(f"ValueError: {error}")

# %%
# Any of these gives the right layout, and the same lines bit for bit:
# the transpose ``.T`` (no copy), xarray's ``transpose("x1", "x2")``, which
# works whatever order the file had, or a flat array with x varying fastest
# (the ``ravel()`` of the (ny, nx) array).

forms = {
    ".values.T": (ds.bx.values.T, ds.by.values.T),
    'transpose("x1", "x2")': (ds.bx.transpose("x1", "x2").values,
                              ds.by.transpose("x1", "x2").values),
    "flat, x fastest": (ds.bx.values.ravel(), ds.by.values.ravel()),
}
results = {name: torvelin.find_fieldlines(ds, bx, by, **FOOT) for name, (bx, by) in forms.items()}
reference = results[".values.T"]
for name, lines in results.items():
    same = all(np.array_equal(a, b) for pa, pb in zip(lines, reference) for a, b in zip(pa, pb))
    print(f"{name:24s} {len(lines)} lines, change of ln r along them {flux_drift(lines):.1e}, "
          f"identical: {same}")

# %%
# On a square grid
# ----------------
# When nx equals ny, an array of shape (ny, nx) has the shape (nx, ny)
# too, and nothing can tell the two layouts apart: the transposed field is
# accepted and traced as the field mirrored in the diagonal. Check the
# layout yourself on square grids, for example with xarray's named
# dimensions:

square = current_dataset(301, 301).rename(x="x1", y="x2")
right = torvelin.find_fieldlines(square, square.bx.transpose("x1", "x2").values,
                                 square.by.transpose("x1", "x2").values, **FOOT)
wrong = torvelin.find_fieldlines(square, square.bx.values, square.by.values, **FOOT)
print(f"(x, y) axes: change of ln r along the lines {flux_drift(right):.1e}")
print(f"(y, x) axes: change of ln r along the lines {flux_drift(wrong):.1e}  (wrong lines)")

fig, ax = plt.subplots(figsize=(6.4, 4.6), layout="constrained")
np.hypot(square.bx, square.by).plot(x="x1", y="x2", ax=ax, cmap="Greys", vmax=5,
                                    cbar_kwargs={"label": "|B|"})
for k, (lx, ly) in enumerate(right):
    ax.plot(lx, ly, color="tab:blue", label="axes (x, y)" if k == 0 else None)
for k, (lx, ly) in enumerate(wrong):
    ax.plot(lx, ly, color="tab:red", ls="--", label="axes (y, x) on a square grid"
            if k == 0 else None)
ax.set(aspect="equal", title="The same footpoints, both layouts")
ax.legend(loc="lower left", fontsize=8)
plt.show()
