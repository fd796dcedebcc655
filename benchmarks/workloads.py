"""Workloads (a) to (d): torvelin against every peer on fixed problems.

Each workload takes the run's context `ctx` (cfg: sizes and repetition
counts; report; peers) and records its rows and figures in ctx.report.
"""

import math
import types

import numpy as np

import torvelin

from . import peers as P
from .common import (
    WIRE_RADIUS, WIRE_X, Grid, best_of, end_points_from_padded, line_current_field,
    max_radius_drift, rotation_field, seed_list, steps_from_padded,
)


def same_formula_peers(ctx, name, grid, seeds_arr, h, max_steps, ref, radii=None):
    """Runs the numba (per seed) and NumPy peers, which use torvelin's
    formulas, records them, and checks whether each gave exactly torvelin's
    points (noted under the check `name`)."""
    cfg, report = ctx.cfg, ctx.report
    runners = [("numpy", P.numpy_trace, cfg.reps_mid)]
    if ctx.peers.numba_run is not None:
        runners.insert(0, ("numba", ctx.peers.numba_run.serial, cfg.reps_fast))
    for tool, runner, reps in runners:
        res = report.run_peer(tool, name, lambda: best_of(
            lambda: runner(grid, seeds_arr, h, max_steps), reps))
        if res is None:
            continue
        t, out = res
        report.check_identical(name, tool, out, ref)
        extra = {}
        if radii is not None:
            extra["accuracy"] = max_radius_drift(end_points_from_padded(out), radii)
        report.record(name, tool, t, int(steps_from_padded(out).sum()), repeats=reps, **extra)
    return report.identical.get(name, {})


def rotation(ctx):
    """(a) B = (-y, x) on 256 x 256 points, 64 seeds: the no-regression check."""
    cfg, report, peers = ctx.cfg, ctx.report, ctx.peers
    name = "rotation"
    grid = Grid(-1.0, 1.0, -1.0, 1.0, 256, 256, rotation_field)
    radii = np.linspace(0.2, 0.8, 64)
    seeds_arr = np.column_stack([radii, np.zeros_like(radii)])
    seeds = seed_list(seeds_arr)
    h, max_steps = 0.01, 2000
    print(f"\n(a) rotation B = (-y, x): 256 x 256 grid over [-1, 1]^2, {len(seeds)} seeds "
          f"at r = 0.2..0.8, h = {h}, {max_steps} steps")

    t, ref = best_of(lambda: grid.trace(seeds, h, max_steps), cfg.reps_fast)
    steps = int(steps_from_padded(ref).sum())
    acc = max_radius_drift(end_points_from_padded(ref), radii)
    report.record(name, "torvelin", t, steps, accuracy=acc, repeats=cfg.reps_fast)

    identical = same_formula_peers(ctx, name, grid, seeds_arr, h, max_steps, ref, radii=radii)

    if peers.scipy is not None:
        idx = np.linspace(0, len(radii) - 1, cfg.scipy_rot_seeds).round().astype(int)
        t_end = h * cfg.scipy_rot_steps
        rtol, atol = 1e-6, 1e-9

        def scipy_run():
            t, (ends, accepted, nfev) = best_of(
                lambda: P.scipy_trace(peers.scipy, grid, seeds_arr[idx], t_end, False,
                                      rtol, atol),
                cfg.reps_slow)
            report.record(name, "scipy", t, accepted, unit="accepted step",
                          accuracy=max_radius_drift(ends, radii[idx]),
                          note=f"per accepted step; {len(idx)} seeds, t = 0..{t_end:g}, "
                               f"rtol={rtol:g}, atol={atol:g}; {nfev} RHS evals = "
                               f"{t / nfev * 1e9:.0f} ns each",
                          rhs_evaluations=nfev, repeats=cfg.reps_slow)
        report.run_peer("scipy", name, scipy_run)

    if peers.mpl is not None:
        idx = np.linspace(0, len(radii) - 1, cfg.streamplot_rot_seeds).round().astype(int)
        maxlength = cfg.streamplot_rot_maxlength

        def streamplot_run():
            plt = peers.mpl.plt
            fig, ax = plt.subplots()
            try:
                t, segs = best_of(
                    lambda: P.streamplot_trace(peers.mpl, ax, grid, seeds_arr[idx], maxlength),
                    cfg.reps_slow, setup=ax.cla)
            finally:
                plt.close(fig)
            points = sum(len(s) for s in segs)
            drift = max(abs(math.hypot(*s[-1]) - math.hypot(*s[0])) for s in segs)
            report.record(name, "streamplot", t, points, unit="point", accuracy=drift,
                          note=f"per returned point (own adaptive RK12); {len(idx)} seeds, "
                               f"maxlength={maxlength}, {len(segs)} lines",
                          repeats=cfg.reps_slow)
        report.run_peer("streamplot", name, streamplot_run)

    if peers.streamtracer is not None:
        ds = h * float(np.mean(radii))  # torvelin's step length at the mean radius

        def streamtracer_run():
            st = peers.streamtracer
            st_grid = P.make_streamtracer_grid(st, grid)
            t, xs = best_of(lambda: P.streamtracer_trace(st, st_grid, seeds_arr, ds, max_steps),
                            cfg.reps_mid)
            ends = np.array([line[-1, :2] for line in xs])
            report.record(name, "streamtracer", t, sum(len(line) - 1 for line in xs),
                          accuracy=max_radius_drift(ends, radii),
                          note=f"fixed step length {ds:g} along the unit field direction",
                          repeats=cfg.reps_mid)
        report.run_peer("streamtracer", name, streamtracer_run)

    report.finish_ratios(name)
    report.print_table(name, with_accuracy=True)
    if not report.print_identical(name):
        print("  bit-identical to torvelin: not checked (no numba or NumPy peer ran)")
    report.extra["bit_identical_rotation"] = identical


def line_currents(ctx):
    """(b) Two antiparallel line currents on 512 x 512 points, seeds on a lattice."""
    cfg, report, peers = ctx.cfg, ctx.report, ctx.peers
    name = "line_currents"
    n = 512
    grid = Grid(-1.0, 1.0, -1.0, 1.0, n, n, line_current_field)
    lattice = np.linspace(-0.97, 0.97, cfg.lattice)
    gx, gy = np.meshgrid(lattice, lattice)
    seeds_arr = np.column_stack([gx.ravel(), gy.ravel()])
    seeds = seed_list(seeds_arr)
    h, max_steps = 0.002, 4000
    print(f"\n(b) antiparallel line currents at (+-{WIRE_X}, 0), wire radius {WIRE_RADIUS}: "
          f"{n} x {n} grid over [-1, 1]^2, {len(seeds)} seeds on a lattice, h = {h}, "
          f"at most {max_steps} steps")

    t, ref = best_of(lambda: grid.trace(seeds, h, max_steps), cfg.reps_fast)
    per_seed = steps_from_padded(ref)
    steps = int(per_seed.sum())
    left = per_seed < max_steps
    print(f"  {left.mean() * 100:.0f}% of the lines leave the domain, after "
          f"{np.median(per_seed[left]):.0f} steps (median); the steps taken are "
          f"{steps / (len(seeds) * max_steps) * 100:.0f}% of the budget")
    # Most of the NaN-padded result is padding here; what creating it alone costs:
    t_alloc, _ = best_of(lambda: np.full(ref.shape, np.nan), cfg.reps_fast)
    print(f"  the {ref.nbytes / 2**20:.0f} MiB result alone (numpy.full of its shape) takes "
          f"{t_alloc * 1e3:.1f} ms, {t_alloc / t * 100:.0f}% of torvelin's {t * 1e3:.1f} ms")
    report.record(name, "torvelin", t, steps, repeats=cfg.reps_fast,
                  note="includes filling the NaN-padded result", result_alloc_seconds=t_alloc)
    report.extra["line_currents_fraction_leaving"] = float(left.mean())
    report.extra["line_currents_budget_used"] = steps / (len(seeds) * max_steps)

    identical = same_formula_peers(ctx, name, grid, seeds_arr, h, max_steps, ref)

    def subset(count):
        return np.linspace(0, len(seeds) - 1, count).round().astype(int)

    if peers.scipy is not None:
        idx = subset(cfg.scipy_lc_seeds)
        t_end = h * max_steps
        rtol, atol = 1e-6, 1e-9

        def scipy_run():
            t, (_, accepted, nfev) = best_of(
                lambda: P.scipy_trace(peers.scipy, grid, seeds_arr[idx], t_end, True,
                                      rtol, atol),
                cfg.reps_slow)
            report.record(name, "scipy", t, accepted, unit="accepted step",
                          note=f"per accepted step; {len(idx)} seeds, t = 0..{t_end:g}, "
                               f"edge event; {nfev} RHS evals = {t / nfev * 1e9:.0f} ns each",
                          rhs_evaluations=nfev, repeats=cfg.reps_slow)
        report.run_peer("scipy", name, scipy_run)

    if peers.mpl is not None:
        idx = subset(cfg.streamplot_lc_seeds)

        def streamplot_run():
            plt = peers.mpl.plt
            fig, ax = plt.subplots()
            try:
                t, segs = best_of(
                    lambda: P.streamplot_trace(peers.mpl, ax, grid, seeds_arr[idx], 20.0),
                    cfg.reps_slow, setup=ax.cla)
            finally:
                plt.close(fig)
            report.record(name, "streamplot", t, sum(len(s) for s in segs), unit="point",
                          note=f"per returned point; {len(idx)} seeds, maxlength=20",
                          repeats=cfg.reps_slow)
        report.run_peer("streamplot", name, streamplot_run)

    if peers.streamtracer is not None:
        ds = 0.004

        def streamtracer_run():
            st = peers.streamtracer
            st_grid = P.make_streamtracer_grid(st, grid)
            t, xs = best_of(lambda: P.streamtracer_trace(st, st_grid, seeds_arr, ds, max_steps),
                            cfg.reps_mid)
            report.record(name, "streamtracer", t, sum(max(len(line) - 1, 0) for line in xs),
                          note=f"fixed step length {ds:g}", repeats=cfg.reps_mid)
        report.run_peer("streamtracer", name, streamtracer_run)

    report.finish_ratios(name)
    report.print_table(name, with_accuracy=False)
    report.print_identical(name)
    report.extra["bit_identical_line_currents"] = identical


def count_find_steps(lines):
    """RK4 steps behind find_fieldlines' result: a joined line of n points took
    n - 1 steps; a closed loop repeats its footpoint at the end."""
    steps = 0
    for xs, ys in lines:
        closed = len(xs) > 2 and xs[0] == xs[-1] and ys[0] == ys[-1]
        steps += len(xs) - (2 if closed else 1)
    return steps


def find(ctx):
    """(c) find_fieldlines on the line currents, 1024 x 1024 (nx, ny) arrays."""
    cfg, report = ctx.cfg, ctx.report
    name = "find_fieldlines"
    n = 1024
    x = np.linspace(-1.0, 1.0, n)
    y = np.linspace(-1.0, 1.0, n)
    X, Y = np.meshgrid(x, y, indexing="ij")  # (nx, ny), indexed [i, j]
    bx, by = line_current_field(X, Y)
    data = types.SimpleNamespace(x1=x, x2=y, bx=bx, by=by)
    foot = np.linspace(-0.9, 0.9, 10)
    fx, fy = np.meshgrid(foot, foot)
    x0, y0 = fx.ravel(), fy.ravel()
    print(f"\n(c) find_fieldlines: line currents on {n} x {n} points, (nx, ny) float64 "
          f"C-ordered arrays in a SimpleNamespace, {len(x0)} footpoints, default options")

    t_call, lines = best_of(lambda: torvelin.find_fieldlines(data, "bx", "by", x0=x0, y0=y0),
                            cfg.reps_find)
    t_coerce, empty = best_of(
        lambda: torvelin.find_fieldlines(data, "bx", "by", x0=x0, y0=y0, numsteps=0),
        cfg.reps_find)
    if empty != []:
        raise RuntimeError("find_fieldlines with numsteps=0 should return no lines")
    steps = count_find_steps(lines)
    share = t_coerce / t_call
    ns_trace = (t_call - t_coerce) / steps * 1e9 if steps else math.nan
    report.record(name, "torvelin", t_call, steps,
                  note=f"whole call, {len(lines)} lines, coercion included",
                  repeats=cfg.reps_find, seconds_per_call=t_call, coercion_seconds=t_coerce,
                  coercion_share=share, ns_per_step_tracing_only=ns_trace)

    data_f = types.SimpleNamespace(x1=x, x2=y, bx=np.asfortranarray(bx),
                                   by=np.asfortranarray(by))
    t_coerce_f, _ = best_of(
        lambda: torvelin.find_fieldlines(data_f, "bx", "by", x0=x0, y0=y0, numsteps=0),
        cfg.reps_find)
    report.extra["find_fieldlines_coercion_fortran_seconds"] = t_coerce_f

    report.finish_ratios(name)
    print(f"  {'':<30} {'ms/call':>11} {'share':>8} {'ns/step':>9} {'steps':>11}")
    print(f"  {'whole call':<30} {t_call * 1e3:>11.2f} {'100%':>8} "
          f"{steps and t_call / steps * 1e9:>9.1f} {steps:>11}")
    print(f"  {'input coercion (numsteps=0)':<30} {t_coerce * 1e3:>11.2f} {share * 100:>7.1f}%")
    print(f"  {'tracing and joining (rest)':<30} {(t_call - t_coerce) * 1e3:>11.2f} "
          f"{(1 - share) * 100:>7.1f}% {ns_trace:>9.1f}")
    print(f"  (the same coercion from Fortran-ordered arrays: {t_coerce_f * 1e3:.2f} ms)")


def overhead(ctx):
    """(d) Call overhead: one seed, 10 steps, 8 x 8 points."""
    cfg, report = ctx.cfg, ctx.report
    name = "call_overhead"
    calls = 10_000
    grid = Grid(0.0, 1.0, 0.0, 1.0, 8, 8, rotation_field)
    seeds = [(0.6, 0.5)]
    args = (grid.xmin, grid.xmax, grid.ymin, grid.ymax, grid.nx, grid.ny, grid.bx, grid.by,
            seeds, 0.01, 10)
    trace = torvelin.trace_fieldlines
    full = np.full
    nan = np.nan
    print(f"\n(d) call overhead: {calls} calls of trace_fieldlines, 1 seed, 10 steps, 8 x 8 grid")

    out = trace(*args)
    if int(steps_from_padded(out).sum()) != 10:
        raise RuntimeError("the overhead workload must take all 10 steps")

    def loop_trace():
        for _ in range(calls):
            trace(*args)

    def loop_full():
        for _ in range(calls):
            full((1, 11, 2), nan)

    t_trace, _ = best_of(loop_trace, cfg.reps_overhead)
    t_full, _ = best_of(loop_full, cfg.reps_overhead)
    us_trace = t_trace / calls * 1e6
    us_full = t_full / calls * 1e6
    report.record(name, "torvelin", t_trace, calls * 10, us_per_call=us_trace,
                  repeats=cfg.reps_overhead, note=f"{us_trace:.3f} us per call")
    report.results.append({
        "workload": name, "tool": "numpy.full((1, 11, 2), nan)", "seconds": t_full,
        "steps": 0, "unit": "call", "ns_per_step": None, "us_per_call": us_full,
        "ratio": us_full / us_trace, "accuracy": None, "repeats": cfg.reps_overhead,
        "note": "peer time / torvelin time per call",
    })
    print(f"  {'':<30} {'us/call':>9} {'vs torvelin':>12}")
    print(f"  {'torvelin.trace_fieldlines':<30} {us_trace:>9.3f} {1.0:>12.2f}")
    print(f"  {'numpy.full((1, 11, 2), nan)':<30} {us_full:>9.3f} {us_full / us_trace:>12.2f}")
    print(f"  one trace_fieldlines call costs {us_trace / us_full:.1f} numpy.full calls")
