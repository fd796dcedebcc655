"""The same field drawn with matplotlib's streamplot and with torvelin
===================================================================

The field: three line currents in a uniform background field, sampled on a
uniform grid, which gives closed loops around the wires, lines that cross the
box and two X-points. Both panels start their lines at the same seed points and
follow them both ways:

* left, ``Axes.streamplot(..., start_points=seeds, integration_direction="both",
  broken_streamlines=False)``: its own adaptive second-order integrator along
  the unit field direction, in grid coordinates;
* right, two ``torvelin.trace_fieldlines`` calls (step and -step), fixed-step RK4
  on the unnormalised field, drawn as one LineCollection.

Each panel's title gives the time it took to compute its lines and build the
plot elements (the figure is drawn afterwards, outside the timings). Look at
the loops around the wires: streamplot's drift from turn to turn and smear
into bands, torvelin's retrace themselves.

Run::

    python examples/streamplot_comparison.py [--output streamplot_comparison.png]
"""

import argparse
import time

import matplotlib

matplotlib.use("Agg")  # headless: write the figure to a file, open no window
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
from matplotlib.collections import LineCollection  # noqa: E402

import torvelin  # noqa: E402

XMIN, XMAX, YMIN, YMAX = -2.5, 2.5, -2.0, 2.0
NX, NY = 251, 201  # spacing 0.02
WIRE_RADIUS = 0.15
WIRES = ((-1.0, 0.3, 1.0), (1.0, -0.3, 0.8), (0.2, 1.1, -0.5))  # x, y, current
BACKGROUND = (0.4, 0.1)


def field(X, Y):
    bx = np.full_like(X, BACKGROUND[0])
    by = np.full_like(X, BACKGROUND[1])
    for xc, yc, current in WIRES:
        dx, dy = X - xc, Y - yc
        scale = current / np.maximum(dx * dx + dy * dy, WIRE_RADIUS**2)
        bx -= dy * scale
        by += dx * scale
    return bx, by


def segments(result):
    """The lines of a trace_fieldlines result without their NaN padding."""
    for line in result:
        n = int(np.count_nonzero(~np.isnan(line[:, 0])))
        if n > 1:
            yield line[:n]


def main():
    parser = argparse.ArgumentParser(description=__doc__.partition("\n")[0])
    parser.add_argument("--output", default="streamplot_comparison.png",
                        help="PNG file to write")
    args = parser.parse_args()

    x = np.linspace(XMIN, XMAX, NX)
    y = np.linspace(YMIN, YMAX, NY)
    X, Y = np.meshgrid(x, y)  # shape (NY, NX), as streamplot wants it
    Bx, By = field(X, Y)
    bmag = np.hypot(Bx, By)

    # Seeds: a coarse lattice plus a few points beside each wire.
    gx, gy = np.meshgrid(np.linspace(-2.2, 2.2, 7), np.linspace(-1.7, 1.7, 6))
    seeds = np.column_stack([gx.ravel(), gy.ravel()])
    near = [(xc + r, yc) for xc, yc, _ in WIRES for r in (0.25, 0.45)]
    seeds = np.vstack([seeds, near])

    fig, (ax_sp, ax_tv) = plt.subplots(1, 2, figsize=(12, 5.2), layout="constrained",
                                       sharey=True)
    for ax in (ax_sp, ax_tv):
        ax.pcolormesh(x, y, bmag, cmap="Greys", vmin=0, vmax=3, shading="auto", alpha=0.5)

    # matplotlib: maxlength is in axes units (the box is 1 x 1 for it).
    t0 = time.perf_counter()
    ax_sp.streamplot(x, y, Bx, By, start_points=seeds, integration_direction="both",
                     broken_streamlines=False, maxlength=8.0, color="tab:blue",
                     linewidth=0.9, arrowsize=0.8)
    t_sp = time.perf_counter() - t0

    # torvelin: one step moves a point by about step * |B|; |B| reaches about
    # 7 at the edge of a wire, where a step then moves 0.7 of a cell.
    step, max_steps = 0.002, 15000
    bx_flat, by_flat = Bx.ravel(), By.ravel()  # (NY, NX) ravelled: x varies fastest
    seed_list = [(float(a), float(b)) for a, b in seeds]
    t0 = time.perf_counter()
    halves = [torvelin.trace_fieldlines(XMIN, XMAX, YMIN, YMAX, NX, NY, bx_flat, by_flat,
                                        seed_list, s, max_steps) for s in (step, -step)]
    t_trace = time.perf_counter() - t0
    lines = [seg for half in halves for seg in segments(half)]
    ax_tv.add_collection(LineCollection(lines, colors="tab:red", linewidths=0.9))
    t_tv = time.perf_counter() - t0
    points = sum(len(seg) for seg in lines)

    for ax in (ax_sp, ax_tv):
        ax.plot(seeds[:, 0], seeds[:, 1], ".", color="black", ms=3)
        for xc, yc, _ in WIRES:
            ax.add_patch(plt.Circle((xc, yc), WIRE_RADIUS, fc="white", ec="black", zorder=3))
        ax.set(xlim=(XMIN, XMAX), ylim=(YMIN, YMAX), xlabel="x", aspect="equal")
    ax_sp.set_ylabel("y")
    ax_sp.set_title(f"matplotlib streamplot, {len(seeds)} seeds: {t_sp * 1e3:.0f} ms")
    ax_tv.set_title(f"torvelin.trace_fieldlines, {len(seeds)} seeds: {t_tv * 1e3:.0f} ms "
                    f"(tracing {t_trace * 1e3:.0f} ms)")
    print(f"streamplot: {t_sp * 1e3:.1f} ms")
    print(f"torvelin: {t_tv * 1e3:.1f} ms ({t_trace * 1e3:.1f} ms tracing), "
          f"{len(lines)} line halves, {points} points")
    fig.savefig(args.output, dpi=90)
    print(f"wrote {args.output}")


if __name__ == "__main__":
    main()
