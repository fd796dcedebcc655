"""
Making closed loops close
=========================

:func:`~torvelin.find_fieldlines` ends a forward line as a closed loop when
it comes back within ``ctol`` of its footpoint, after more than ``maxstep``
of integration time. The default ``ctol = 1e-6`` practically never catches a
returning line. This recipe measures, on the magnetic islands of a torn
current sheet, how three choices of ``ctol`` do: the default, one closure
distance per footpoint, and one larger distance for all footpoints.
"""

import time
from types import SimpleNamespace

import matplotlib.pyplot as plt
import numpy as np

import torvelin
from _machine import describe

print(describe())

# %%
# The field: islands and X-points
# -------------------------------
# A Harris sheet ``Bx = tanh(y / L)`` torn by a small perturbation of its flux
# function ``psi = L ln cosh(y / L) + eps cos(k x)``. Field lines are the
# contours of psi: closed loops inside the separatrix ``psi = eps`` (the
# islands around the O-points at x = +-2), open lines outside it. At the
# X-point (0, 0) the field vanishes.

L, EPS, K = 0.5, 0.08, np.pi / 2
XMIN, XMAX, YMIN, YMAX = -4.0, 4.0, -1.5, 1.5
NX, NY = 321, 121  # spacing 0.025


def psi(x, y):
    return L * np.log(np.cosh(y / L)) + EPS * np.cos(K * x)


def field(x, y):
    return np.tanh(y / L), EPS * K * np.sin(K * x) + 0.0 * y


x = np.linspace(XMIN, XMAX, NX)
y = np.linspace(YMIN, YMAX, NY)
X, Y = np.meshgrid(x, y, indexing="ij")  # (nx, ny), as find_fieldlines reads it
BX, BY = field(X, Y)
data = SimpleNamespace(x1=x, x2=y, bx=BX, by=BY)

# %%
# Footpoints: a lattice across the islands, and rings of footpoints at 0.01
# to 0.08 from the X-point, where the field is weakest. A footpoint inside
# the separatrix lies on a closed loop; any other lies on an open line.

lat_x, lat_y = np.meshgrid(np.linspace(-3.85, 3.85, 26), np.linspace(-0.62, 0.62, 9))
radius, angle = np.meshgrid([0.01, 0.02, 0.04, 0.08], np.linspace(0, 2 * np.pi, 12,
                                                                  endpoint=False))
x0 = np.concatenate([lat_x.ravel(), (radius * np.cos(angle)).ravel()])
y0 = np.concatenate([lat_y.ravel(), (radius * np.sin(angle)).ravel()])
on_loop = psi(x0, y0) < EPS
b_foot = np.hypot(*field(x0, y0))
print(f"{len(x0)} footpoints: {on_loop.sum()} on closed loops, {(~on_loop).sum()} on open lines")
print(f"|B| at the footpoints: {b_foot.min():.2g} to {b_foot.max():.2g}")

STEP = 0.02  # |B| <= 1 here: one step moves at most 0.8 of a cell


def trace(ctols, source=data):
    """One call per footpoint with its own ctol; which lines closed, the
    points returned, and the time taken."""
    closed, points = [], 0
    t0 = time.perf_counter()
    for fx, fy, ctol in zip(x0, y0, ctols):
        lines = torvelin.find_fieldlines(source, "bx", "by", x0=[fx], y0=[fy], step=STEP,
                                         ctol=ctol)
        (lx, ly), = lines
        closed.append(lx[0] == lx[-1] and ly[0] == ly[-1])
        points += len(lx)
    return np.array(closed), points, time.perf_counter() - t0


def report(name, ctols, source=data):
    closed, points, seconds = trace(ctols, source)
    print(f"{name}: {closed[on_loop].sum()} of {on_loop.sum()} loops closed "
          f"({100 * closed[on_loop].mean():.0f} %), {closed[~on_loop].sum()} of "
          f"{(~on_loop).sum()} open lines closed falsely; {points} points in "
          f"{seconds * 1e3:.0f} ms")
    return closed


# %%
# The default closure distance
# ----------------------------

closed_default = report("ctol = 1e-6", np.full(len(x0), 1e-6))

# %%
# Almost no loop closes: consecutive points lie about ``STEP * |B|`` apart, so a
# returning line passes its footpoint at up to half that distance, far more
# than 1e-6. The loops that do not close are traced round and round until
# ``numsteps`` (16384 steps by default), which makes this the slowest choice
# and the one that returns the most points.
#
# One closure distance per footpoint
# ----------------------------------
# Points of a returning line lie about ``STEP * |B(footpoint)|`` apart near
# the footpoint, so one of them passes within half that. ``ctol`` of about
# twice that spacing catches the line on its first return:

per_footpoint = 2 * STEP * b_foot
closed_per = report("ctol = 2 step |B(footpoint)|", per_footpoint)

# %%
# Since ``ctol`` is one number per call, this takes one call per footpoint
# (the overhead of a call is small against the tracing of a loop), or one
# call per group of footpoints of similar ``|B|``. The gallery's
# ``line_currents.py`` makes one call per footpoint; ``xarray_dataset.py``
# one call, for footpoints that all see the same ``|B|``.
#
# One larger closure distance for all
# -----------------------------------
# It is tempting to make one call with a ``ctol`` large enough for every
# footpoint. That closes the loops too, but near the X-point, where the field
# is weak, an open line crawls: after ``maxstep`` of integration time it is
# still within ``ctol`` of its footpoint, and it is taken for a closed loop.

for ctol in (per_footpoint.max(), 0.05, 0.1):
    closed_one = report(f"one ctol = {ctol:.3g}", np.full(len(x0), ctol))

# %%
# Normalising the field (``B / |B|``, see the recipe on choosing a step)
# makes the point spacing the same everywhere, but it does not cure this:
# at an X-point the normalised field turns abruptly, and lines that reach it
# stall there.

bmag = np.hypot(BX, BY)
safe = np.where(bmag > 0, bmag, 1.0)
data_unit = SimpleNamespace(x1=x, x2=y, bx=BX / safe, by=BY / safe)
closed_unit = report(f"normalised field, one ctol = 2 step = {2 * STEP:g}",
                     np.full(len(x0), 2 * STEP), data_unit)

# %%
# Two more rules of thumb, from the way the closure test works:
#
# * **The elapsed-time rule.** No line closes before ``maxstep`` of
#   integration time has passed (strictly more than ``maxstep``); by default
#   ``maxstep`` is ``100 * step``, so the 101st step is the first that can
#   close a loop. A loop whose period is shorter goes round again and closes
#   on a later return. Set ``maxstep`` below the shortest period you expect,
#   but not below the step: the step actually used is ``min(step, maxstep)``.
# * **Too large a ctol closes a loop early**: the gap before the appended
#   footpoint can be as large as ``ctol``, so keep it well below the loop's
#   size.
#
# Where the choices went wrong, on a map of the flux function:


def panel(ax, closed, title, zoom=None):
    ax.contour(X, Y, psi(X, Y), levels=20, colors="0.8", linewidths=0.6)
    ax.contour(X, Y, psi(X, Y), levels=[EPS], colors="black", linewidths=1.0)
    ok = closed == on_loop
    ax.plot(x0[on_loop & closed], y0[on_loop & closed], "o", ms=3, color="tab:green",
            label="loop, closed")
    ax.plot(x0[on_loop & ~closed], y0[on_loop & ~closed], "o", ms=3, mfc="none",
            color="tab:orange", label="loop, not closed")
    ax.plot(x0[~on_loop & ok], y0[~on_loop & ok], ".", ms=3, color="tab:blue",
            label="open line, open")
    ax.plot(x0[~on_loop & closed], y0[~on_loop & closed], "x", ms=6, color="tab:red",
            label="open line, closed falsely")
    if zoom is None:
        ax.set(xlim=(XMIN, XMAX), ylim=(-1.0, 1.0), title=title)
    else:
        ax.set(xlim=(-zoom, zoom), ylim=(-zoom, zoom), title="near the X-point")
    ax.set_aspect("equal")


fig, axes = plt.subplots(2, 2, figsize=(9, 4.0), layout="constrained",
                         gridspec_kw={"width_ratios": [4, 1.2]})
for row, (closed, title) in enumerate([
        (closed_per, "ctol = 2 step |B(footpoint)|, one call per footpoint"),
        (closed_one, "one ctol = 0.1 for all footpoints")]):
    panel(axes[row, 0], closed, title)
    panel(axes[row, 1], closed, title, zoom=0.1)
handles, labels = axes[0, 0].get_legend_handles_labels()
fig.legend(handles, labels, loc="outside lower center", ncols=4, fontsize=8, frameon=False)
plt.show()
