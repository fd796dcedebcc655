"""
When Dask helps
===============

A call holds the interpreter lock from start to end, so threads in one
process do not trace in parallel; processes, and the workers of a Dask
cluster, do. Footpoints are independent, so they can be split into chunks
and traced anywhere, with results bit for bit those of one call (the
gallery's ``dask_scaleout.py`` has a function for it,
``trace_distributed(client, data, var1, var2, x0, y0, chunk_size,
**options)``). But every point of every line travels back from its worker,
16 bytes a point, and costs time on the way.
This recipe measures three ways of getting a summary of many lines (for each
line: its number of points, whether it closed, and its length):

* one process;
* a cluster whose workers send every line back, summarised by the client;
* a cluster whose workers summarise their lines and send back the summary.
"""

import time
from types import SimpleNamespace

import matplotlib.pyplot as plt
import numpy as np

import torvelin
from _machine import describe

print(describe())

# %%
# The field, the footpoints and the summary
# -----------------------------------------
# Four line currents in a uniform field, on a 401 x 401 grid, and footpoints
# scattered over it: closed loops around the wires, open lines elsewhere.

WIRES = ((-1.2, 0.4, 1.0), (1.1, -0.5, 1.0), (0.0, 0.9, -0.8), (0.3, -1.2, -0.6))


def make_data(n=401):
    x = np.linspace(-3.0, 3.0, n)
    y = np.linspace(-2.5, 2.5, n)
    X, Y = np.meshgrid(x, y, indexing="ij")  # (nx, ny)
    bx = np.full_like(X, 0.3)
    by = np.zeros_like(X)
    for xc, yc, current in WIRES:
        dx, dy = X - xc, Y - yc
        scale = current / np.maximum(dx * dx + dy * dy, 0.15**2)
        bx -= dy * scale
        by += dx * scale
    return SimpleNamespace(x1=x, x2=y, bx=bx, by=by)


OPTIONS = {"step": 0.0025, "numsteps": 4000, "ctol": 0.01}
FOOTPOINTS = 1600
CHUNK = 100


def summarise(lines):
    """One row per line: points, closed (1.0) or not (0.0), length."""
    rows = np.empty((len(lines), 3))
    for k, (lx, ly) in enumerate(lines):
        rows[k] = (len(lx), lx[0] == lx[-1] and ly[0] == ly[-1],
                   np.hypot(np.diff(lx), np.diff(ly)).sum())
    return rows


def trace_and_summarise(data, x0, y0):
    """The task of a worker that reduces its lines before sending them."""
    return summarise(torvelin.find_fieldlines(data, "bx", "by", x0=x0, y0=y0, **OPTIONS))


def trace_only(data, x0, y0):
    """The task of a worker that sends every line back."""
    return torvelin.find_fieldlines(data, "bx", "by", x0=x0, y0=y0, **OPTIONS)


data = make_data()
rng = np.random.default_rng(3)
x0 = rng.uniform(-2.8, 2.8, FOOTPOINTS)
y0 = rng.uniform(-2.3, 2.3, FOOTPOINTS)

# %%
# One process
# -----------

# The work, and everything else that takes time, sits under
# ``if __name__ == "__main__":``, as Dask asks of a script: its worker
# processes import the main module anew, and would do it all again.

if __name__ == "__main__":
    t0 = time.perf_counter()
    lines = torvelin.find_fieldlines(data, "bx", "by", x0=x0, y0=y0, **OPTIONS)
    t_trace = time.perf_counter() - t0
    single = summarise(lines)
    t_single = time.perf_counter() - t0
    points = int(single[:, 0].sum())
    print(f"{len(lines)} lines, {points} points ({points * 16 / 1e6:.0f} MB), "
          f"{int(single[:, 1].sum())} closed")
    print(f"one process: {t_single:.2f} s ({t_trace:.2f} s tracing, the rest summarising)")

# %%
# On a cluster
# ------------
# A local cluster of two worker processes, one thread each. The grid goes to
# every worker once (``scatter(..., broadcast=True)``); each task traces a
# chunk of footpoints.


def on_cluster(client, task):
    shared = client.scatter(data, broadcast=True, hash=False)
    futures = [client.submit(task, shared, x0[k:k + CHUNK], y0[k:k + CHUNK], pure=False)
               for k in range(0, FOOTPOINTS, CHUNK)]
    chunks = client.gather(futures)  # in footpoint order
    client.cancel(futures + [shared])
    return chunks


if __name__ == "__main__":
    from distributed import Client, LocalCluster

    t0 = time.perf_counter()
    cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                           dashboard_address=None)
    client = Client(cluster)
    t_start = time.perf_counter() - t0
    print(f"starting the cluster: {t_start:.2f} s")
    try:
        on_cluster(client, trace_and_summarise)  # a first round warms the workers up
        times = {"shipped": [], "reduced": []}
        for _ in range(3):
            t0 = time.perf_counter()
            shipped = summarise([line for chunk in on_cluster(client, trace_only)
                                 for line in chunk])
            times["shipped"].append(time.perf_counter() - t0)
            t0 = time.perf_counter()
            reduced = np.concatenate(on_cluster(client, trace_and_summarise))
            times["reduced"].append(time.perf_counter() - t0)
    finally:
        client.close()
        cluster.close()
    assert np.array_equal(shipped, single) and np.array_equal(reduced, single)
    t_shipped, t_reduced = (float(np.median(times[k])) for k in ("shipped", "reduced"))
    print("the same summary, bit for bit, all three ways")
    print(f"lines shipped to the client: {t_shipped:.2f} s, "
          f"{t_single / t_shipped:.2f} times the speed of one process")
    print(f"summaries shipped:           {t_reduced:.2f} s, "
          f"{t_single / t_reduced:.2f} times the speed of one process")
    ways = {"one process": t_single, "lines shipped": t_shipped, "summaries shipped": t_reduced}
    print(f"fastest here: {min(ways, key=ways.get)}")

# %%
# What it means
# -------------
# Shipping the lines back costs as much as tracing them, or more: each line
# is pickled, sent and unpickled, and the client then does all the
# summarising alone. Reducing on the workers sends back a few numbers a line
# and spreads the summarising too, so the workers' cores count, up to one
# speed-up per idle core (on a machine busy with other work, less). A cluster
# pays off when the work per point (tracing, and whatever is done with the
# line) outweighs moving the point, which means reducing on the workers.
# Starting a local cluster takes seconds, a cost to spread over many calls.

if __name__ == "__main__":
    fig, ax = plt.subplots(figsize=(6.4, 3), layout="constrained")
    labels = ["one process", "cluster,\nlines shipped", "cluster,\nsummaries shipped"]
    ax.barh(labels, [t_single, t_shipped, t_reduced], color=["0.5", "tab:red", "tab:green"])
    ax.invert_yaxis()
    ax.set(xlabel="seconds (median of three)",
           title=f"{FOOTPOINTS} lines, {points} points, two workers")
    plt.show()
