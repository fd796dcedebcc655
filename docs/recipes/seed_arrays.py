"""
Seeds held in an (N, 2) array
=============================

Seeds often come as a NumPy array of shape (N, 2), one (x, y) row per
seed. :func:`~torvelin.trace_fieldlines` wants a sequence of ``(x, y)``
tuples; :func:`~torvelin.find_fieldlines` wants the x and the y coordinates
as two separate arrays. This recipe converts between them and keeps results
and seeds matched.
"""

import time

import matplotlib.pyplot as plt
import numpy as np

import torvelin
from _machine import describe

print(describe())

# %%
# A rotating field on a grid, and seeds in an (N, 2) array, some of them
# outside the grid:

N = 101
x = np.linspace(-1.0, 1.0, N)
X, Y = np.meshgrid(x, x)  # (ny, nx)
BX, BY = (-Y).ravel(), X.ravel()  # flat, x varying fastest
rng = np.random.default_rng(1)
seeds = rng.uniform(-1.2, 1.2, size=(20, 2))
print(seeds.shape, seeds.dtype)

# %%
# trace_fieldlines: a sequence of tuples
# --------------------------------------
# The array itself, or a list of its rows, is refused:

for wrong in (seeds, seeds.tolist()):
    try:
        torvelin.trace_fieldlines(-1, 1, -1, 1, N, N, BX, BY, wrong, 0.01, 100)
    except TypeError as error:
        print(f"{type(wrong).__name__}: TypeError: {error}")

# %%
# ``list(zip(...))`` of the two columns, as Python floats, is the quickest
# conversion; ``list(map(tuple, seeds))`` works too:

as_tuples = list(zip(seeds[:, 0].tolist(), seeds[:, 1].tolist()))
out = torvelin.trace_fieldlines(-1, 1, -1, 1, N, N, BX, BY, as_tuples, 0.01, 300)
print(out.shape)

many = rng.uniform(-1, 1, size=(200_000, 2))
for name, convert in [("list(zip(col0.tolist(), col1.tolist()))",
                       lambda a: list(zip(a[:, 0].tolist(), a[:, 1].tolist()))),
                      ("list(map(tuple, a))", lambda a: list(map(tuple, a)))]:
    t0 = time.perf_counter()
    convert(many)
    print(f"{name}: {(time.perf_counter() - t0) * 1e3:.0f} ms for {len(many)} seeds")

# %%
# Row k of the result always belongs to seed k: a seed outside the domain
# gives a row of NaN, so results and seeds stay matched.

outside = np.abs(seeds).max(axis=1) > 1.0
empty_rows = np.isnan(out[:, 0, 0])
print(f"{outside.sum()} seeds outside, {empty_rows.sum()} all-NaN rows, "
      f"the same ones: {np.array_equal(outside, empty_rows)}")

# %%
# find_fieldlines: two coordinate arrays
# --------------------------------------
# The footpoints go in as ``x0=seeds[:, 0], y0=seeds[:, 1]`` (column views
# are fine, no copy needed). The result has one entry per footpoint whose
# line has at least two points, but no footpoint index: a footpoint outside
# the grid gives no entry, and the entries after it move up.

X_ij, Y_ij = np.meshgrid(x, x, indexing="ij")  # (nx, ny)
CTOL = 0.005  # lets the loops close: see the recipe on closed loops
lines = torvelin.find_fieldlines(None, -Y_ij, X_ij, x1=x, x2=x, x0=seeds[:, 0], y0=seeds[:, 1],
                                 ctol=CTOL)
print(f"{len(seeds)} footpoints, {len(lines)} entries")

# %%
# To keep entries and footpoints matched, drop the footpoints outside the
# grid first and keep their indices. A footpoint inside the grid then gives
# an entry, unless its line leaves the grid within the first step in both
# directions (or ``numsteps`` is 0).

inside = np.flatnonzero((np.abs(seeds) <= 1.0).all(axis=1))
lines = torvelin.find_fieldlines(None, -Y_ij, X_ij, x1=x, x2=x, x0=seeds[inside, 0],
                                 y0=seeds[inside, 1], ctol=CTOL)
assert len(lines) == len(inside)
for k, (lx, ly) in zip(inside[:3], lines):
    print(f"seed {k} at ({seeds[k, 0]:+.3f}, {seeds[k, 1]:+.3f}): line of {len(lx)} points "
          f"through ({lx[0]:+.3f}, {ly[0]:+.3f})")

fig, ax = plt.subplots(figsize=(5, 5), layout="constrained")
for k, (lx, ly) in zip(inside, lines):
    ax.plot(lx, ly, lw=1)
ax.plot(seeds[inside, 0], seeds[inside, 1], "o", color="black", ms=3, label="inside")
ax.plot(seeds[outside, 0], seeds[outside, 1], "x", color="tab:red", label="outside: no entry")
ax.add_patch(plt.Rectangle((-1, -1), 2, 2, fill=False, ls="--"))
ax.set(aspect="equal", title="find_fieldlines from an (N, 2) array of footpoints")
ax.legend(loc="upper right", fontsize=8)
plt.show()
