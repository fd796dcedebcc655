"""Workload (k): N threads each tracing their own seeds on shared field arrays.

One batch is CALLS calls of trace_fieldlines on the same 512^2 rotation
field, each with its own 256 seeds (the radii 0.2..0.8 on a ray of its own)
and 2000 steps, handed out by a ThreadPoolExecutor of N threads. Each thread
count is timed once per round, the rounds interleaved, and the best batch per
count is kept; speed-up = best time on 1 thread / best time on N threads.
Every batch must give the 1-thread batch's points bit for bit.

With the GIL off (a free-threaded build) two threads should come near two
cores' worth; on a build with a GIL a call holds the interpreter lock from
start to end, so threads take turns and the speed-up stays about 1.
"""

import math
import sys
import sysconfig
from concurrent.futures import ThreadPoolExecutor

import numpy as np

from .common import Grid, available_cores, best_of_with_cpu, rotation_field, same_points, seed_list

N = 512
SEEDS = 256
MAX_STEPS = 2000
CALLS = 8
THREAD_COUNTS = (1, 2, 4, 8)
def gil_state():
    build = "free-threaded" if sysconfig.get_config_var("Py_GIL_DISABLED") else "with a GIL"
    enabled = getattr(sys, "_is_gil_enabled", lambda: True)()
    return build, enabled


def seed_sets(calls):
    """Each call's 256 seeds: radii 0.2..0.8 on the ray at angle 2 pi k / calls."""
    radii = np.linspace(0.2, 0.8, SEEDS)
    for k in range(calls):
        angle = 2.0 * math.pi * k / calls
        yield seed_list(np.column_stack([radii * math.cos(angle), radii * math.sin(angle)]))


def threads(ctx):
    report = ctx.report
    name = "threads"
    reps = ctx.cfg.reps_threads
    grid = Grid(-1.0, 1.0, -1.0, 1.0, N, N, rotation_field)
    h = grid.spacing / 0.5  # one grid cell per step at the mean radius
    sets = list(seed_sets(CALLS))
    build, gil = gil_state()
    print(f"\n(k) threads: {CALLS} calls of trace_fieldlines on one {N}^2 rotation, each "
          f"with its own {SEEDS} seeds x {MAX_STEPS} steps, shared by a ThreadPoolExecutor "
          f"of N threads; best of {reps} interleaved rounds")
    kernel = getattr(ctx, "kernel", "unknown")
    print(f"  CPython {sys.version.split()[0]} {build}, GIL {'on' if gil else 'off'}; "
          f"{available_cores()} cores; lane kernel {kernel}")

    def call(seeds):
        return grid.trace(seeds, h, MAX_STEPS)

    pools = {n: ThreadPoolExecutor(max_workers=n) for n in THREAD_COUNTS}
    best = {n: (math.inf, math.nan) for n in THREAD_COUNTS}
    same = {n: True for n in THREAD_COUNTS}
    ref = None
    try:
        for n, pool in pools.items():  # the workers exist before the first timed batch
            list(pool.map(lambda _: None, range(n)))
        for _ in range(max(1, reps)):
            for n, pool in pools.items():
                t, outs, cpu = best_of_with_cpu(lambda: list(pool.map(call, sets)), 1)
                if ref is None:
                    ref = outs
                same[n] = same[n] and all(same_points(a, b) for a, b in zip(outs, ref))
                if t < best[n][0]:
                    best[n] = (t, cpu)
                del outs
    finally:
        for pool in pools.values():
            pool.shutdown()

    steps = CALLS * SEEDS * MAX_STEPS
    t1 = best[1][0]
    print(f"  {'threads':>7} {'batch ms':>9} {'ns/step':>8} {'speed-up':>9} {'cores busy':>11}  "
          "bit-identical to 1 thread")
    for n in THREAD_COUNTS:
        t, cpu = best[n]
        report.record(name, "torvelin", t, steps, ratio=t1 / t, threads=n, cores_busy=cpu / t,
                      calls=CALLS, repeats=reps, note=f"{n} threads")
        report.identical.setdefault(name, {})[f"{n} threads"] = same[n]
        print(f"  {n:>7} {t * 1e3:>9.1f} {t / steps * 1e9:>8.2f} {t1 / t:>9.2f} "
              f"{cpu / t:>11.2f}  {'yes' if same[n] else 'NO'}")
    ratio = t1 / best[2][0]
    print(f"  1 -> 2 threads: {ratio:.2f}x")
    if gil:
        print("  (the GIL is on: a call holds it throughout, so threads cannot overlap; "
              "use processes or Dask for more cores)")
    report.extra[name] = {"n": N, "seeds": SEEDS, "max_steps": MAX_STEPS, "calls": CALLS,
                          "build": build, "gil_enabled": gil, "kernel": kernel,
                          "speedup_1_to_2": ratio}
