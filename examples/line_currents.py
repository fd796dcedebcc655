"""Closed field lines around two antiparallel line currents
========================================================

Two long straight wires cross the page at x = -1 and x = +1 and carry equal
currents in opposite directions. Every field line is a circle around one of
the wires. ``torvelin.find_fieldlines`` traces each footpoint forward and stops
as soon as the line comes back to its footpoint: the result is a closed loop
whose last point equals its first. Circles too large for the grid leave it;
those footpoints are traced both ways and come back as open lines.

Two numbers decide whether a loop closes:

* the step, which is in integration time: one step moves a point by about
  ``step * |B|``. Here each footpoint gets a step that moves it a quarter
  of a grid cell, ``step = 0.25 * dx / |B(footpoint)|``;
* the closure distance ``ctol``: a loop closes at the first point within
  ``ctol`` of its footpoint. Consecutive points lie ``step * |B|`` apart, so
  ``ctol = 2 * step * |B(footpoint)|`` (half a cell) catches the returning
  line on its first pass without closing it early.

Run::

    python examples/line_currents.py [--output line_currents.png]
"""

import argparse
import time
from types import SimpleNamespace

import matplotlib

matplotlib.use("Agg")  # headless: write the figure to a file, open no window
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

import torvelin  # noqa: E402

XMIN, XMAX, YMIN, YMAX = -3.0, 3.0, -2.0, 2.0
NX, NY = 301, 201  # spacing 0.02 in both directions
WIRE_X = 1.0  # wires at (-1, 0) and (+1, 0)
WIRE_RADIUS = 0.15  # inside a wire the field falls linearly to zero


def field(X, Y):
    """Field of the two wires in units mu0 I / (2 pi) = 1: current out of the
    page at x = -1, into the page at x = +1."""
    bx = np.zeros_like(X)
    by = np.zeros_like(X)
    for xc, current in ((-WIRE_X, 1.0), (WIRE_X, -1.0)):
        dx, dy = X - xc, Y
        scale = current / np.maximum(dx * dx + dy * dy, WIRE_RADIUS**2)
        bx -= dy * scale
        by += dx * scale
    return bx, by


def main():
    parser = argparse.ArgumentParser(description=__doc__.partition("\n")[0])
    parser.add_argument("--output", default="line_currents.png", help="PNG file to write")
    args = parser.parse_args()

    x = np.linspace(XMIN, XMAX, NX)
    y = np.linspace(YMIN, YMAX, NY)
    X, Y = np.meshgrid(x, y, indexing="ij")  # shape (NX, NY), indexed [i, j]
    Bx, By = field(X, Y)
    data = SimpleNamespace(x1=x, x2=y, bx=Bx, by=By)
    cell = x[1] - x[0]

    # Footpoints on the x axis between the wires. Field lines are the contours
    # of the flux function ln(r_left / r_right), which on the axis is
    # 2 artanh(x): equal steps in it give lines that enclose equal flux.
    # The largest level, 2.4, keeps the loops outside the wires (x < 0.85).
    flux = 0.3 * np.arange(1, 9)
    foot_x = np.concatenate([np.tanh(flux / 2), -np.tanh(flux / 2)])
    foot_y = np.zeros_like(foot_x)
    b_foot = np.hypot(*field(foot_x, foot_y))

    closed, open_lines = [], []
    t0 = time.perf_counter()
    for fx, fy, b in zip(foot_x, foot_y, b_foot):
        step = 0.25 * cell / b  # a quarter of a cell per step at the footpoint
        ctol = 2.0 * step * b  # two steps' length: half a cell
        (line,) = torvelin.find_fieldlines(data, "bx", "by", x0=[fx], y0=[fy], step=step,
                                           ctol=ctol)
        lx, ly = line
        is_closed = lx[0] == lx[-1] and ly[0] == ly[-1]
        (closed if is_closed else open_lines).append((lx, ly))
    elapsed = time.perf_counter() - t0
    points = sum(len(lx) for lx, _ in closed + open_lines)
    print(f"find_fieldlines: {len(foot_x)} footpoints, {len(closed)} closed loops, "
          f"{len(open_lines)} open lines, {points} points in {elapsed * 1e3:.0f} ms")
    for lx, ly in closed:
        # the footpoint is appended once more: the gap before it is below ctol
        gap = np.hypot(lx[-1] - lx[-2], ly[-1] - ly[-2])
        assert gap <= 0.5 * cell + 1e-12, gap

    fig, ax = plt.subplots(figsize=(8, 5.4), layout="constrained")
    # The exact lines for comparison: contours of the flux function.
    r_left = np.maximum(np.hypot(X + WIRE_X, Y), 1e-12)
    r_right = np.maximum(np.hypot(X - WIRE_X, Y), 1e-12)
    ax.contour(X, Y, np.log(r_left / r_right), levels=np.concatenate([-flux[::-1], flux]),
               colors="0.85", linewidths=4.0, zorder=1)
    # Loops coloured by their flux level: blues around the left wire, reds
    # around the right one, darker closer to the wire.
    for lx, ly in closed:
        level = np.log(np.hypot(lx[0] + WIRE_X, ly[0]) / np.hypot(lx[0] - WIRE_X, ly[0]))
        cmap = plt.cm.Blues if level < 0 else plt.cm.Reds
        ax.plot(lx, ly, color=cmap(0.45 + 0.5 * abs(level) / flux[-1]), lw=1.3, zorder=2)
    for k, (lx, ly) in enumerate(open_lines):
        ax.plot(lx, ly, color="black", lw=1.0, ls="--", zorder=2,
                label="open: leaves the grid" if k == 0 else None)
    ax.plot([], [], color=plt.cm.Blues(0.8), lw=1.3, label="closed loop")
    ax.plot([], [], color="0.85", lw=4.0, label="exact: flux-function contour")
    ax.plot(foot_x, foot_y, "o", color="black", ms=2.5, zorder=3, label="footpoints")
    for xc, symbol in ((-WIRE_X, "\u2299"), (WIRE_X, "\u2297")):
        ax.add_patch(plt.Circle((xc, 0.0), WIRE_RADIUS, fc="white", ec="black", lw=1.0, zorder=4))
        ax.text(xc, 0.0, symbol, ha="center", va="center", fontsize=12, zorder=5)
    ax.set(xlim=(XMIN, XMAX), ylim=(YMIN, YMAX), xlabel="x", ylabel="y", aspect="equal")
    ax.set_title(f"find_fieldlines: {len(closed)} closed loops, {len(open_lines)} open lines "
                 f"(step = dx / (4|B|), ctol = 2 step |B|), {elapsed * 1e3:.0f} ms", fontsize=10)
    ax.legend(loc="upper center", bbox_to_anchor=(0.5, -0.1), ncols=4, fontsize=8,
              frameon=False)
    fig.savefig(args.output, dpi=100)
    print(f"wrote {args.output}")


if __name__ == "__main__":
    main()
