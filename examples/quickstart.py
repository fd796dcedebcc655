"""Quickstart: field lines of two antiparallel line currents
=========================================================

Two long straight wires run perpendicular to the page at x = -1 and x = +1,
carrying equal currents in opposite directions.  Their magnetic field lines
are closed loops (circles) around each wire.  The field is sampled on a
uniform grid with NumPy, traced with ``torvelin.trace_fieldlines``, and one
loop is found with ``torvelin.find_fieldlines``, which stops when the line
returns to its footpoint.

Run::

    python examples/quickstart.py [--output quickstart.png]
"""

import argparse
import time
from types import SimpleNamespace

import matplotlib

matplotlib.use("Agg")  # headless: write the figure to a file, open no window
import matplotlib.pyplot as plt  # noqa: E402
from matplotlib.colors import LogNorm  # noqa: E402
import numpy as np  # noqa: E402

import torvelin  # noqa: E402

# Domain and grid: 301 x 201 points, spacing 0.02 in both directions.
XMIN, XMAX, YMIN, YMAX = -3.0, 3.0, -2.0, 2.0
NX, NY = 301, 201
WIRE_X = 1.0  # wires at (-WIRE_X, 0) and (+WIRE_X, 0)
WIRE_RADIUS = 0.15  # the field grows linearly inside a wire instead of diverging


def wire_field(X, Y, xc, current):
    """Field of a straight wire along z through (xc, 0), in units mu0 / (2 pi) = 1.

    Outside the wire |B| = |current| / r; inside it falls linearly to zero.
    A positive current flows out of the page (counter-clockwise field lines).
    """
    dx, dy = X - xc, Y
    scale = current / np.maximum(dx * dx + dy * dy, WIRE_RADIUS**2)
    return -dy * scale, dx * scale


def field(X, Y):
    """Total field: current out of the page at x = -1, into the page at x = +1."""
    bx_left, by_left = wire_field(X, Y, -WIRE_X, +1.0)
    bx_right, by_right = wire_field(X, Y, +WIRE_X, -1.0)
    return bx_left + bx_right, by_left + by_right


def main():
    parser = argparse.ArgumentParser(description=__doc__.partition("\n")[0])
    parser.add_argument("--output", default="quickstart.png", help="PNG file to write")
    args = parser.parse_args()

    x = np.linspace(XMIN, XMAX, NX)
    y = np.linspace(YMIN, YMAX, NY)
    X, Y = np.meshgrid(x, y)  # shape (NY, NX): row j is y[j], column i is x[i]
    Bx, By = field(X, Y)

    # trace_fieldlines wants flat float64 arrays with x varying fastest
    # (index j * NX + i), which is exactly the row-major ravel of (NY, NX) arrays.
    bx_flat = np.ascontiguousarray(Bx, dtype=np.float64).ravel()
    by_flat = np.ascontiguousarray(By, dtype=np.float64).ravel()

    # Seeds on the x axis between the wires, spaced so that neighbouring lines
    # enclose equal magnetic flux (the flux function on the axis is
    # 2 artanh(x)), mirrored to the left wire.
    p = np.tanh(0.175 * np.arange(8))
    seeds = [(float(v), 0.0) for v in p] + [(-float(v), 0.0) for v in p[1:]]

    # The step is in integration time (the field is not normalised): one step
    # moves a point by about step * |B|.  Lines that leave the grid are traced
    # in both directions: a negative step follows the field backwards.
    step, max_steps = 0.01, 2000
    t0 = time.perf_counter()
    forward = torvelin.trace_fieldlines(
        XMIN, XMAX, YMIN, YMAX, NX, NY, bx_flat, by_flat, seeds, step, max_steps
    )
    backward = torvelin.trace_fieldlines(
        XMIN, XMAX, YMIN, YMAX, NX, NY, bx_flat, by_flat, seeds, -step, max_steps
    )
    elapsed = time.perf_counter() - t0
    # Result shape: (number of seeds, max_steps + 1, 2); unreached slots are NaN.
    points = int(np.isfinite(forward[:, :, 0]).sum() + np.isfinite(backward[:, :, 0]).sum())
    print(f"trace_fieldlines: {len(seeds)} seeds, 2 directions, result shape {forward.shape}")
    print(f"  traced {2 * len(seeds)} lines, {points} points in {elapsed * 1e3:.1f} ms")

    # find_fieldlines takes a data object whose field arrays have shape (nx, ny),
    # indexed [i, j], with the grid coordinates as attributes x1 and x2.
    data = SimpleNamespace(x1=x, x2=y, bx=Bx.T, by=By.T)
    foot = (WIRE_X, 0.45)
    b_foot = float(np.hypot(*field(*foot)))
    loop_step = 0.01
    # The line is closed once it returns within ctol of its footpoint; points
    # lie about step * |B| apart, so that is the natural tolerance.
    t0 = time.perf_counter()
    found = torvelin.find_fieldlines(
        data, "bx", "by", x0=[foot[0]], y0=[foot[1]], step=loop_step, ctol=loop_step * b_foot
    )
    elapsed = time.perf_counter() - t0
    loop_x, loop_y = found[0]
    closed = loop_x[0] == loop_x[-1] and loop_y[0] == loop_y[-1]
    print(
        f"find_fieldlines: footpoint {foot}, {len(loop_x)} points, "
        f"{'closed' if closed else 'open'} loop, {elapsed * 1e3:.1f} ms"
    )

    # Plot: |B| on a log scale, the traced lines, the closed loop and the wires.
    fig, ax = plt.subplots(figsize=(8, 5.6), layout="constrained")
    bmag = np.hypot(Bx, By)
    image = ax.pcolormesh(
        x, y, bmag, cmap="Blues", shading="auto",
        norm=LogNorm(vmin=0.05, vmax=bmag.max()),
    )
    fig.colorbar(image, ax=ax, label="|B|  (log scale)", shrink=0.8, pad=0.02)
    for half in (forward, backward):
        for k, line in enumerate(half):
            ax.plot(line[:, 0], line[:, 1], color="0.15", lw=0.9,
                    label="trace_fieldlines" if half is forward and k == 0 else None)
    ax.plot(loop_x, loop_y, color="tab:red", lw=2.2, label="find_fieldlines (closed loop)")
    ax.plot(*foot, "o", color="tab:red", ms=6, label="footpoint")
    ax.plot([s[0] for s in seeds], [s[1] for s in seeds], ".", color="tab:orange",
            ms=5, label="seeds")
    for xc, symbol in ((-WIRE_X, "\u2299"), (WIRE_X, "\u2297")):  # out of / into the page
        ax.add_patch(plt.Circle((xc, 0.0), WIRE_RADIUS, fc="white", ec="black", lw=1.2, zorder=3))
        ax.text(xc, 0.0, symbol, ha="center", va="center", fontsize=13, zorder=4)
    ax.set(xlim=(XMIN, XMAX), ylim=(YMIN, YMAX), xlabel="x", ylabel="y", aspect="equal",
           title="Field lines of two antiparallel line currents")
    ax.legend(loc="upper center", bbox_to_anchor=(0.5, -0.1), ncols=4, fontsize=8, frameon=False)
    fig.savefig(args.output, dpi=120)
    print(f"wrote {args.output}")


if __name__ == "__main__":
    main()
