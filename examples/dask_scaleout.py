"""Trace many footpoints on a Dask cluster, in chunks, with find_fieldlines
========================================================================

Each find_fieldlines call holds the interpreter lock from start to end, so
threads in one process do not trace in parallel; processes, or the machines
of a cluster, do. ``trace_distributed`` below

1. sends the grid to every worker once (``client.scatter(..., broadcast=True)``),
2. splits the footpoints into chunks of ``chunk_size`` and submits one task
   per chunk, each a find_fieldlines call on its chunk of footpoints,
3. gathers the results in footpoint order and joins them into one list.

Footpoints are traced independently and the arithmetic is reproducible, so the
joined list equals the list that one find_fieldlines call on all footpoints
returns, bit for bit, whatever machine traced which chunk; the script checks
this. The figure colours every line by the worker that traced it.

What it costs: every point of every line travels back from its worker, 16
bytes a point, and the tracing itself takes some tens of nanoseconds a point.
So a cluster pays off for lines that take long to trace, or when the lines
are reduced on the workers before they come back; on one small machine, the
demonstration below runs quicker in one process. Both times are printed.

Run on a local cluster of two worker processes (the default)::

    python examples/dask_scaleout.py [--output dask_scaleout.png]

or on an existing cluster (its workers need NumPy and torvelin installed)::

    python examples/dask_scaleout.py --scheduler tcp://HOST:8786
"""

import argparse
import sys
import time
from types import SimpleNamespace

import numpy as np

import torvelin


def trace_distributed(client, data, var1, var2, x0, y0, chunk_size, *, with_workers=False,
                      **options):
    """find_fieldlines(data, var1, var2, x0=x0, y0=y0, **options), run on a cluster.

    ``data``, ``var1`` and ``var2`` (the grid and the field, as find_fieldlines
    takes them) are scattered to every worker once; the footpoints are split
    into chunks of ``chunk_size``, each traced by one task. Returns the same
    list as the single call: one [x_values, y_values] entry per footpoint whose
    line has at least two points, in footpoint order. With ``with_workers``,
    also returns, for each entry, the address of the worker that traced it.
    """
    if chunk_size < 1:
        raise ValueError("chunk_size must be at least 1")
    # The same float64 values that find_fieldlines would read from the inputs.
    x0 = np.asarray(x0, dtype=np.float64).ravel(order="F")
    y0 = np.asarray(y0, dtype=np.float64).ravel(order="F")
    if len(x0) != len(y0):
        raise ValueError("x0 and y0 must have the same length")

    # Every worker gets the grid once. hash=False: keys of this call's own,
    # which no other call's clean-up can release.
    shared = client.scatter([data, var1, var2], broadcast=True, hash=False)
    # The task is find_fieldlines itself, which every worker can import; the
    # scattered futures among its arguments are replaced by their values there.
    futures = [
        client.submit(torvelin.find_fieldlines, *shared, x0=x0[k:k + chunk_size],
                      y0=y0[k:k + chunk_size], pure=False, **options)
        for k in range(0, len(x0), chunk_size)
    ]
    try:
        chunks = client.gather(futures)  # in submission order: footpoint order
        if with_workers:
            who_has = client.who_has(futures)
            workers = [sorted(who_has[f.key])[0] for f in futures]
    finally:
        client.cancel(futures + shared)  # free the workers' memory now
    lines = [line for chunk in chunks for line in chunk]
    if with_workers:
        return lines, [where for chunk, where in zip(chunks, workers) for _ in chunk]
    return lines


# --------------------------------------------------------------------------
# The demonstration: several line currents in a uniform field.

WIRES = ((-1.2, 0.4, 1.0), (1.1, -0.5, 1.0), (0.0, 0.9, -0.8), (0.3, -1.2, -0.6))
WIRE_RADIUS = 0.15


def demo_data(n=401):
    """Grid and field as find_fieldlines takes them: arrays of shape (nx, ny)."""
    x = np.linspace(-3.0, 3.0, n)
    y = np.linspace(-2.5, 2.5, n)
    X, Y = np.meshgrid(x, y, indexing="ij")
    bx = np.full_like(X, 0.3)
    by = np.zeros_like(X)
    for xc, yc, current in WIRES:
        dx, dy = X - xc, Y - yc
        scale = current / np.maximum(dx * dx + dy * dy, WIRE_RADIUS**2)
        bx -= dy * scale
        by += dx * scale
    return SimpleNamespace(x1=x, x2=y, bx=bx, by=by)


def demo_footpoints(count, seed=3):
    rng = np.random.default_rng(seed)
    return rng.uniform(-2.8, 2.8, count), rng.uniform(-2.3, 2.3, count)


DEMO_OPTIONS = {"step": 0.0025, "numsteps": 4000, "ctol": 0.01}


def same_lines(a, b):
    """Equal entry by entry, bit for bit (NaN payloads and signed zeros included)."""
    return len(a) == len(b) and all(
        len(pa) == len(pb) and all(u.shape == v.shape and
                                   np.array_equal(u.view(np.uint64), v.view(np.uint64))
                                   for u, v in zip(pa, pb))
        for pa, pb in zip(a, b))


def main():
    parser = argparse.ArgumentParser(description=__doc__.partition("\n")[0])
    parser.add_argument("--output", default="dask_scaleout.png", help="PNG file to write")
    parser.add_argument("--scheduler", metavar="ADDRESS",
                        help="address of a running scheduler; default: a LocalCluster")
    parser.add_argument("--workers", type=int, default=2, help="local worker processes")
    parser.add_argument("--threads", action="store_true",
                        help="local workers as threads of this process (starts faster; the "
                             "interpreter lock then lets only one trace at a time)")
    parser.add_argument("--footpoints", type=int, default=600, help="number of footpoints")
    parser.add_argument("--chunk-size", type=int, default=75, help="footpoints per task")
    args = parser.parse_args()

    import matplotlib

    matplotlib.use("Agg")  # headless: write the figure to a file, open no window
    import matplotlib.pyplot as plt
    from matplotlib.collections import LineCollection
    from distributed import Client, LocalCluster

    data = demo_data()
    x0, y0 = demo_footpoints(args.footpoints)

    t0 = time.perf_counter()
    single = torvelin.find_fieldlines(data, "bx", "by", x0=x0, y0=y0, **DEMO_OPTIONS)
    t_single = time.perf_counter() - t0

    if args.scheduler:
        cluster, client = None, Client(args.scheduler)
    else:
        cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1,
                               processes=not args.threads, dashboard_address=":0")
        client = Client(cluster)
    try:
        print(f"cluster: {len(client.scheduler_info()['workers'])} workers")
        t0 = time.perf_counter()
        lines, workers = trace_distributed(client, data, "bx", "by", x0, y0, args.chunk_size,
                                           with_workers=True, **DEMO_OPTIONS)
        t_dist = time.perf_counter() - t0
    finally:
        client.close()
        if cluster is not None:
            cluster.close()

    identical = same_lines(lines, single)
    print(f"one process: {len(single)} lines in {t_single:.2f} s")
    print(f"cluster, chunks of {args.chunk_size}: {len(lines)} lines in {t_dist:.2f} s "
          "(includes sending the grid)")
    print(f"identical to the single call, bit for bit: {identical}")

    names = sorted(set(workers))
    colours = dict(zip(names, plt.cm.tab10.colors))
    fig, ax = plt.subplots(figsize=(8, 6.2), layout="constrained")
    for name in names:
        mine = [np.column_stack(line) for line, where in zip(lines, workers) if where == name]
        ax.add_collection(LineCollection(mine, colors=[colours[name]], linewidths=0.5,
                                         alpha=0.7))
        ax.plot([], [], color=colours[name], label=f"{len(mine)} lines traced by {name}")
    for xc, yc, _ in WIRES:
        ax.add_patch(plt.Circle((xc, yc), WIRE_RADIUS, fc="white", ec="black", zorder=3))
    ax.set(xlim=(data.x1[0], data.x1[-1]), ylim=(data.x2[0], data.x2[-1]), aspect="equal",
           xlabel="x", ylabel="y")
    ax.set_title(f"{len(lines)} lines on {len(names)} workers in {t_dist:.2f} s "
                 f"(one process: {t_single:.2f} s); identical: {identical}", fontsize=10)
    ax.legend(loc="upper center", bbox_to_anchor=(0.5, -0.08), ncols=2, fontsize=8,
              frameon=False)
    fig.savefig(args.output, dpi=90)
    print(f"wrote {args.output}")
    return 0 if identical else 1


if __name__ == "__main__":
    if main() != 0:  # run in-process by the documentation build too: exit on failure only
        sys.exit(1)
