"""Field lines of a magnetised cylinder stored in an xarray Dataset
================================================================

Simulation output often arrives as an ``xarray.Dataset``. Here the Dataset has
the grid coordinates ``x1`` (along x) and ``x2`` (along y) and the field
components ``bx`` and ``by`` as variables with dims ("x1", "x2"); it is handed
to ``torvelin.find_fieldlines`` as its ``data`` object, which reads the grid
from ``ds.x1`` and ``ds.x2``.

The field components go in as NumPy arrays in (x1, x2) order,
``ds["bx"].transpose("x1", "x2").values``: find_fieldlines flattens an array
of shape (nx, ny) in column-major order, which is the layout it needs, and the
transpose makes the order right whatever order the variable had (files often
store (y, x), and an array whose axes are (x2, x1) is refused with
ValueError). A two-dimensional DataArray itself cannot be named as a
component (``var1="bx"``): it has no ``ravel`` method, and find_fieldlines
raises TypeError for it. A one-dimensional DataArray such as ``ds.x1`` is
read value by value instead, which is slow; for long coordinate arrays,
``x1=ds.x1.values, x2=ds.x2.values`` is quicker (the user guide's recipe on
xarray measures the difference).

The field: an infinitely long cylinder of radius a, uniformly magnetised along
x. Inside, B is uniform, (B0, 0); outside, it is a two-dimensional dipole,
B0 a^2 ((x^2 - y^2), 2 x y) / r^4. Every field line runs straight through the
magnet and returns outside along a circle: all lines are closed. Footpoints
inside the magnet all see ``|B| = B0``, so one call with one closure distance,
ctol = 2 * step * B0, closes every loop that stays in the box.

Run::

    python examples/xarray_dataset.py [--output xarray_dataset.png]
"""

import argparse
import time

import matplotlib

matplotlib.use("Agg")  # headless: write the figure to a file, open no window
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import xarray as xr  # noqa: E402

import torvelin  # noqa: E402

RADIUS, B0 = 0.5, 1.0


def magnet_dataset(n1=241, n2=201):
    """A Dataset as a simulation might write it: coordinates and two field
    components on a uniform grid, with units."""
    x1 = xr.DataArray(np.linspace(-3.0, 3.0, n1), dims="x1", attrs={"units": "m"})
    x2 = xr.DataArray(np.linspace(-2.5, 2.5, n2), dims="x2", attrs={"units": "m"})
    r2 = x1**2 + x2**2  # broadcast: dims ("x1", "x2")
    inside = r2 < RADIUS**2
    scale = B0 * RADIUS**2 / np.maximum(r2, RADIUS**2) ** 2
    bx = xr.where(inside, B0, scale * (x1**2 - x2**2))
    by = xr.where(inside, 0.0, scale * 2 * x1 * x2)
    return xr.Dataset(
        {"bx": bx.assign_attrs(units="T"), "by": by.assign_attrs(units="T")},
        coords={"x1": x1, "x2": x2},
        attrs={"title": "uniformly magnetised cylinder"},
    )


def main():
    parser = argparse.ArgumentParser(description=__doc__.partition("\n")[0])
    parser.add_argument("--output", default="xarray_dataset.png", help="PNG file to write")
    args = parser.parse_args()

    ds = magnet_dataset()
    print(ds)

    step = 0.01  # one step moves 0.01 inside the magnet: under half a cell (0.025)
    heights = RADIUS * np.linspace(0.08, 0.92, 12)
    y0 = np.concatenate([heights, -heights])
    x0 = np.zeros_like(y0)
    t0 = time.perf_counter()
    lines = torvelin.find_fieldlines(
        ds,  # the grid comes from ds.x1 and ds.x2
        ds["bx"].transpose("x1", "x2").values,
        ds["by"].transpose("x1", "x2").values,
        x0=x0, y0=y0, step=step, ctol=2.0 * step * B0,
    )
    elapsed = time.perf_counter() - t0
    closed = [(lx, ly) for lx, ly in lines if lx[0] == lx[-1] and ly[0] == ly[-1]]
    print(f"find_fieldlines: {len(x0)} footpoints, {len(closed)} closed loops, "
          f"{len(lines) - len(closed)} open lines, {elapsed * 1e3:.0f} ms")

    fig, ax = plt.subplots(figsize=(8, 5.6), layout="constrained")
    bmag = np.hypot(ds.bx, ds.by).rename("|B|").assign_attrs(units="T")
    bmag.plot(x="x1", y="x2", ax=ax, cmap="Greys", vmin=0.0, vmax=1.6,
              cbar_kwargs={"shrink": 0.8, "pad": 0.02})
    for lx, ly in lines:
        is_closed = lx[0] == lx[-1] and ly[0] == ly[-1]
        ax.plot(lx, ly, color="tab:orange" if is_closed else "tab:blue", lw=1.1)
    ax.plot(x0, y0, ".", color="black", ms=3)
    ax.add_patch(plt.Circle((0, 0), RADIUS, fill=False, ec="black", lw=1.5))
    ax.annotate("", xy=(0.3, -0.05), xytext=(-0.3, -0.05),
                arrowprops={"arrowstyle": "-|>", "color": "black", "lw": 1.2})
    ax.plot([], [], color="tab:orange", label=f"closed loops ({len(closed)})")
    ax.plot([], [], color="tab:blue", label=f"open: leave the box ({len(lines) - len(closed)})")
    ax.legend(loc="upper right", fontsize=8, framealpha=0.9)
    ax.set_aspect("equal")
    ax.set_title(f"{ds.attrs['title']}: xarray.Dataset into find_fieldlines, "
                 f"{elapsed * 1e3:.0f} ms", fontsize=10)
    fig.savefig(args.output, dpi=100)
    print(f"wrote {args.output}")


if __name__ == "__main__":
    main()
