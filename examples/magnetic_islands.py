"""Magnetic islands and X-points of a perturbed Harris current sheet
=================================================================

The Harris sheet Bx = tanh(y / L) reverses direction across y = 0. A small
perturbation of its flux function, ::

    psi(x, y) = L ln cosh(y / L) + eps cos(k x),   Bx = dpsi/dy,  By = -dpsi/dx,

tears the sheet into a chain of magnetic islands: around the O-points
(x = +-pi / k, y = 0) the field lines are closed loops, beyond the separatrix
through the X-points (x = 0, +-2 pi / k) they run from edge to edge. Field lines
are contours of psi, which the figure shows underneath for comparison.

Island loops: each footpoint gets its own ``find_fieldlines`` call, with the
closure distance ``ctol = 2 * step * |B(footpoint)|`` (two steps' length there) and
``maxstep`` set to half the shortest island period: no loop may close before
that much integration time has passed, so the line cannot close on its way
out. Open lines: one call for all their footpoints, with close=False.

Run::

    python examples/magnetic_islands.py [--output magnetic_islands.png]
"""

import argparse
import time
from types import SimpleNamespace

import matplotlib

matplotlib.use("Agg")  # headless: write the figure to a file, open no window
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

import torvelin  # noqa: E402

L = 0.5  # sheet half-thickness
EPS = 0.08  # perturbation amplitude
K = np.pi / 2  # wave number: wavelength 4, two islands in the box
XMIN, XMAX, YMIN, YMAX = -4.0, 4.0, -1.5, 1.5
NX, NY = 321, 121  # spacing 0.025


def psi(x, y):
    return L * np.log(np.cosh(y / L)) + EPS * np.cos(K * x)


def field(x, y):
    return np.tanh(y / L), EPS * K * np.sin(K * x) + 0.0 * y


def main():
    parser = argparse.ArgumentParser(description=__doc__.partition("\n")[0])
    parser.add_argument("--output", default="magnetic_islands.png", help="PNG file to write")
    args = parser.parse_args()

    x = np.linspace(XMIN, XMAX, NX)
    y = np.linspace(YMIN, YMAX, NY)
    X, Y = np.meshgrid(x, y, indexing="ij")  # (NX, NY), indexed [i, j]
    Bx, By = field(X, Y)
    data = SimpleNamespace(x1=x, x2=y, bx=Bx, by=By)

    # Island half-width: psi at the X-point equals psi at (pi / k, w).
    width = 2.0 * np.sqrt(EPS * L)
    # Small loops around an O-point turn with the period 2 pi / omega,
    # omega^2 = psi_xx * psi_yy there; larger loops take longer.
    period = 2.0 * np.pi / np.sqrt(EPS * K**2 / L)
    step = 0.02  # |B| <= 1: one step moves at most 0.8 of a cell
    t0 = time.perf_counter()
    loops = []
    for x_o in (-np.pi / K, np.pi / K):
        for fy in width * np.array([0.15, 0.35, 0.55, 0.75, 0.93]):
            b_foot = float(np.hypot(*field(x_o, fy)))
            lines = torvelin.find_fieldlines(data, "bx", "by", x0=[x_o], y0=[fy], step=step,
                                             maxstep=period / 2, ctol=2.0 * step * b_foot)
            loops += lines
    t_loops = time.perf_counter() - t0

    # Open lines from footpoints above and below the islands, traced both ways.
    fy = np.concatenate([np.linspace(1.15, 3.4, 6), -np.linspace(1.15, 3.4, 6)]) * width
    t0 = time.perf_counter()
    open_lines = torvelin.find_fieldlines(data, "bx", "by", x0=np.zeros_like(fy) + 1.0, y0=fy,
                                          step=step, close=False)
    t_open = time.perf_counter() - t0

    n_closed = sum(lx[0] == lx[-1] and ly[0] == ly[-1] for lx, ly in loops)
    drift = max(np.abs(psi(lx, ly) - psi(lx[0], ly[0])).max() for lx, ly in loops + open_lines)
    print(f"island loops: {len(loops)} footpoints, {n_closed} closed, "
          f"{sum(len(lx) for lx, _ in loops)} points in {t_loops * 1e3:.0f} ms")
    print(f"open lines: {len(open_lines)} lines, {sum(len(lx) for lx, _ in open_lines)} points "
          f"in {t_open * 1e3:.0f} ms")
    print(f"largest change of psi along a line: {drift:.2e} (psi varies by "
          f"{np.ptp(psi(X, Y)):.2f} over the box)")

    fig, ax = plt.subplots(figsize=(9, 4.4), layout="constrained")
    image = ax.contourf(X, Y, psi(X, Y), levels=30, cmap="Greys", alpha=0.45)
    fig.colorbar(image, ax=ax, label="flux function psi", shrink=0.62, pad=0.01)
    ax.contour(X, Y, psi(X, Y), levels=[EPS], colors="black", linewidths=1.0,
               linestyles="--")
    colours = plt.cm.plasma(np.linspace(0.05, 0.8, len(loops) // 2))
    for k, (lx, ly) in enumerate(loops):
        ax.plot(lx, ly, color=colours[k % len(colours)], lw=1.5)
    for lx, ly in open_lines:
        ax.plot(lx, ly, color="tab:blue", lw=1.0)
    ax.plot([-np.pi / K, np.pi / K], [0, 0], "o", color="black", ms=4)
    ax.plot([-2 * np.pi / K, 0, 2 * np.pi / K], [0, 0, 0], "X", color="black", ms=8,
            clip_on=False)
    ax.plot([], [], color=colours[2], lw=1.5, label=f"closed loops ({n_closed})")
    ax.plot([], [], color="tab:blue", lw=1.0, label=f"open lines ({len(open_lines)})")
    ax.plot([], [], color="black", lw=1.0, ls="--", label="separatrix (psi contour)")
    ax.plot([], [], "o", color="black", ms=4, label="O-points")
    ax.plot([], [], "X", color="black", ms=8, label="X-points")
    ax.set(xlim=(XMIN, XMAX), ylim=(YMIN, YMAX), xlabel="x", ylabel="y", aspect="equal")
    ax.set_title(f"Perturbed Harris sheet: Bx = tanh(y/{L}), psi += {EPS} cos(kx); "
                 f"find_fieldlines {(t_loops + t_open) * 1e3:.0f} ms", fontsize=10)
    ax.legend(loc="upper center", bbox_to_anchor=(0.5, -0.14), ncols=5, fontsize=8,
              frameon=False)
    fig.savefig(args.output, dpi=100)
    print(f"wrote {args.output}")


if __name__ == "__main__":
    main()
