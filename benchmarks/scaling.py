"""Workload (e): how the cost per step grows with the grid.

  (e) scaling        the rotation and the line currents on each grid size,
                     torvelin against the numba peers (per seed, and prange
                     over seeds), steps of about one grid cell.
"""

from pathlib import Path

import numpy as np

from .common import (
    WIRE_X, Grid, best_of, best_of_with_cpu, line_current_field, rotation_field, seed_list,
    steps_from_padded,
)
from .report import plot_scaling

SEEDS = 256
MAX_STEPS = 2000
MIB = 2**20


# --------------------------------------------------------------------------
# The scaling cases: seeds and a step of about one grid cell
# --------------------------------------------------------------------------


def rotation_case(grid):
    """256 seeds on the x axis at radii 0.2..0.8; h r_mean = one grid spacing."""
    radii = np.linspace(0.2, 0.8, SEEDS)
    seeds = np.column_stack([radii, np.zeros_like(radii)])
    return seeds, grid.spacing / float(radii.mean())


def line_currents_case(grid):
    """256 seeds on the x axis outside the left wire, 0.15..0.45 from its axis:
    closed loops around it, all inside the domain; h times the mean |B| at
    the seeds = one grid spacing (|B| is 5.8 to 1.5 there, mean 2.9)."""
    d = np.linspace(0.15, 0.45, SEEDS)
    seeds = np.column_stack([-WIRE_X - d, np.zeros_like(d)])
    bx, by = line_current_field(seeds[:, 0], seeds[:, 1])
    return seeds, grid.spacing / float(np.mean(np.hypot(bx, by)))


SCALING_FIELDS = {
    "rotation": (rotation_field, rotation_case,
                 "rotation B = (-y, x), 256 seeds at r = 0.2..0.8, h = spacing / mean r"),
    "line_currents": (line_current_field, line_currents_case,
                      f"line currents at (+-{WIRE_X}, 0), 256 seeds at x = -0.65..-0.95, "
                      "y = 0 (loops around the left wire), h = spacing / mean |B(seed)|"),
}


def square_grid(n, field):
    return Grid(-1.0, 1.0, -1.0, 1.0, n, n, field)


def _fmt(value, spec, missing="-"):
    return format(value, spec) if value is not None else missing


# --------------------------------------------------------------------------
# (e) scaling
# --------------------------------------------------------------------------


def scaling(ctx):
    cfg, report, tracers = ctx.cfg, ctx.report, ctx.peers.numba_run
    name = "scaling"
    sizes = ctx.sizes
    print(f"\n(e) scaling: grids of {', '.join(f'{n}^2' for n in sizes)} points over [-1, 1]^2, "
          f"{SEEDS} seeds, {MAX_STEPS} RK4 steps of about one grid cell; every tool is "
          f"given the flat bx, by (B.ravel() of (ny, nx) arrays) as they are")
    if tracers is None:
        reason = report.skipped.get("numba") or report.failed.get("numba", "not available")
        print(f"  numba peers skipped: {reason}")
    else:
        print(f"  numba prange: {tracers.threads} threads ({tracers.threading_layer()} layer); "
              "cores busy = process CPU time / wall time of its fastest run")
    for field_name, (field, case, description) in SCALING_FIELDS.items():
        print(f"  {description}")
        print(f"  {'grid':>7} {'MiB':>6} {'steps':>8} {'ns/step: torvelin':>18} {'numba':>7} "
              f"{'prange':>7} {'numba/tv':>9} {'prange/tv':>10} {'cores busy':>11}  bit-identical")
        for n in sizes:
            _scaling_size(ctx, name, field_name, field, case, n)
    report.extra["scaling"] = {
        "sizes": list(sizes), "seeds": SEEDS, "max_steps": MAX_STEPS,
        "threads": tracers.threads if tracers else None,
        "threading_layer": tracers.threading_layer() if tracers else None,
        "fields": {k: v[2] for k, v in SCALING_FIELDS.items()},
        "repeats": cfg.reps_scale,
    }
    write_plot(ctx)


def _scaling_size(ctx, name, field_name, field, case, n):
    cfg, report, tracers = ctx.cfg, ctx.report, ctx.peers.numba_run
    grid = square_grid(n, field)
    seeds_arr, h = case(grid)
    seeds = seed_list(seeds_arr)
    common = {"field": field_name, "n": n, "step": h, "seeds": SEEDS, "max_steps": MAX_STEPS,
              "repeats": cfg.reps_scale}

    t, ref = best_of(lambda: grid.trace(seeds, h, MAX_STEPS), cfg.reps_scale)
    steps = int(steps_from_padded(ref).sum())
    base = report.record(name, "torvelin", t, steps, ratio=1.0, **common)
    cells = {"numba": None, "numba_prange": None}
    busy = None
    check = f"scaling {field_name} {n}"
    if tracers is not None:
        for tool, runner in (("numba", tracers.serial), ("numba_prange", tracers.parallel)):
            res = report.run_peer(tool, check, lambda: best_of_with_cpu(
                lambda: runner(grid, seeds_arr, h, MAX_STEPS), cfg.reps_scale))
            if res is None:
                continue
            tp, out, cpu = res
            report.check_identical(check, tool, out, ref)
            extra = {}
            if tool == "numba_prange":
                busy = cpu / tp
                extra = {"threads": tracers.threads, "cores_busy": busy}
            row = report.record(name, tool, tp, int(steps_from_padded(out).sum()), **common,
                                **extra)
            row["ratio"] = row["ns_per_step"] / base["ns_per_step"]
            cells[tool] = row
            del out
    identical = report.identical.get(check)
    same = "-" if not identical else ", ".join(
        f"{'yes' if v else 'NO'}" for v in identical.values())
    numba, prange = cells["numba"], cells["numba_prange"]
    print(f"  {f'{n}^2':>7} {grid.field_bytes / MIB:>6.0f} {steps:>8} "
          f"{base['ns_per_step']:>18.1f} "
          f"{_fmt(numba and numba['ns_per_step'], '>7.1f'):>7} "
          f"{_fmt(prange and prange['ns_per_step'], '>7.1f'):>7} "
          f"{_fmt(numba and numba['ratio'], '>9.2f'):>9} "
          f"{_fmt(prange and prange['ratio'], '>10.2f'):>10} "
          f"{_fmt(busy, '>11.2f'):>11}  {same}")


def write_plot(ctx):
    rows = [r for r in ctx.report.rows("scaling")]
    if not ctx.plot or not rows:
        return
    if ctx.peers.mpl is None:
        print(f"  plot not written: {ctx.report.skipped.get('streamplot', 'no matplotlib')}")
        return
    threads = ctx.peers.numba_run.threads if ctx.peers.numba_run else None
    title = (f"RK4 steps of one grid cell, {SEEDS} seeds x {MAX_STEPS} steps"
             + (f"; prange on {threads} threads" if threads else "") + f"\n{ctx.cpu}")
    Path(ctx.plot).parent.mkdir(parents=True, exist_ok=True)
    plot_scaling(ctx.peers.mpl.plt, rows, ctx.plot, title)
    ctx.report.extra.setdefault("scaling", {})["plot"] = str(ctx.plot)
    print(f"  wrote {ctx.plot}")
