"""Workloads (e) to (i): how the cost per step grows with the grid, and the
costs that do not depend on the steps.

  (e) scaling        the rotation and the line currents on each grid size,
                     torvelin against the numba peers (per seed, and prange
                     over seeds), steps of about one grid cell;
  (f) pages          torvelin on the largest grid with the caller's field
                     arrays on huge pages and on 4 KiB pages;
  (g) fixed cost     trace_fieldlines with no step and find_fieldlines with
                     numsteps=0 on the largest grid, against copying the field;
  (h) find vs trace  find_fieldlines per returned point against
                     trace_fieldlines per step, same field and footpoints;
  (i) peak memory    the peak resident set of one trace on the largest grid,
                     beyond its result, in a fresh process.
"""

import importlib
import json
import os
import subprocess
import sys
import time
import types
from pathlib import Path

import numpy as np

import torvelin

from . import memory
from .common import (
    WIRE_X, Grid, best_of, best_of_with_cpu, line_current_field, rotation_field,
    rotation_ij, same_points, seed_list, steps_from_padded,
)
from .report import plot_scaling

ROOT = Path(__file__).resolve().parent.parent

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
             + (f"; prange on {threads} threads" if threads else "")
             + f"\n{ctx.cpu}, torvelin on its {ctx.kernel} kernel")
    Path(ctx.plot).parent.mkdir(parents=True, exist_ok=True)
    plot_scaling(ctx.peers.mpl.plt, rows, ctx.plot, title)
    ctx.report.extra.setdefault("scaling", {})["plot"] = str(ctx.plot)
    print(f"  wrote {ctx.plot}")


# --------------------------------------------------------------------------
# (f) 4 KiB pages on the caller's arrays
# --------------------------------------------------------------------------


def hugepage_advice_setter():
    """NumPy's switch for advising huge pages on the large arrays it
    allocates (returns the previous setting), or None."""
    for module in ("numpy._core.multiarray", "numpy.core.multiarray"):
        try:
            found = importlib.import_module(module)
        except ImportError:
            continue
        setter = getattr(found, "_set_madvise_hugepage", None)
        if setter is not None:
            return setter
    return None


def thp_mode():
    try:
        text = Path("/sys/kernel/mm/transparent_hugepage/enabled").read_text()
    except OSError:
        return "unknown"
    chosen = [w for w in text.split() if w.startswith("[")]
    return chosen[0].strip("[]") if chosen else text.strip()


def _pages_case(ctx, name, n, setter, advice):
    """Times (e)'s rotation on fields allocated with NumPy's huge-page advice
    on or off, and records how many of their pages are huge."""
    previous = setter(advice)
    try:
        grid = square_grid(n, rotation_field)
    finally:
        setter(previous)
    huge, resident = memory.huge_page_bytes(grid.bx, grid.by)
    seeds_arr, h = rotation_case(grid)
    seeds = seed_list(seeds_arr)
    reps = ctx.cfg.reps_scale
    t, out = best_of(lambda: grid.trace(seeds, h, MAX_STEPS), reps)
    return ctx.report.record(
        name, "torvelin", t, int(steps_from_padded(out).sum()), n=n, field="rotation",
        numpy_hugepage_advice=advice, anon_huge_bytes=huge, mapped_rss_bytes=resident,
        field_bytes=grid.field_bytes, repeats=reps,
        note="NumPy's huge-page advice" if advice else "advice off: 4 KiB pages")


def pages(ctx):
    report = ctx.report
    name = "pages"
    n = ctx.large
    print(f"\n(f) page size of the caller's field arrays: rotation on {n}^2 points "
          f"({2 * n * n * 8 / MIB:.0f} MiB), as in (e); transparent huge pages: {thp_mode()}")
    setter = hugepage_advice_setter()
    if setter is None:
        print("  skipped: this NumPy has no _set_madvise_hugepage")
        report.extra[name] = {"skipped": "no numpy _set_madvise_hugepage"}
        return
    print(f"  {'fields allocated with':<34} {'AnonHugePages / Rss':>20} {'ns/step':>9} "
          f"{'vs huge':>8} {'steps':>9}")
    rows = {}
    for advice in (True, False):
        key = "huge_pages" if advice else "4k_pages"
        rows[key] = _pages_case(ctx, name, n, setter, advice)
    base = rows["huge_pages"]["ns_per_step"]
    for row in rows.values():
        row["ratio"] = row["ns_per_step"] / base
        what = ("NumPy's huge-page advice (default)" if row["numpy_hugepage_advice"]
                else "advice off (4 KiB pages)")
        share = f"{row['anon_huge_bytes'] / MIB:.0f} / {row['mapped_rss_bytes'] / MIB:.0f} MiB"
        print(f"  {what:<34} {share:>20} {row['ns_per_step']:>9.1f} {row['ratio']:>8.2f} "
              f"{row['steps']:>9}")
    report.extra[name] = {"n": n, "thp": thp_mode(),
                          "ratio_4k_to_huge": rows["4k_pages"]["ratio"]}
    print("  (AnonHugePages and Rss of the mappings that hold bx and by, from /proc/self/smaps)")
    if rows["4k_pages"]["anon_huge_bytes"] > 0 or rows["huge_pages"]["anon_huge_bytes"] == 0:
        print("  (the page sizes are not the intended ones: the kernel's huge-page mode decides "
              "too, and arrays under 32 MiB may come from memory the allocator reuses)")


# --------------------------------------------------------------------------
# (g) fixed cost
# --------------------------------------------------------------------------


def _fixed_cost_trace(n, feet, reps):
    """trace_fieldlines without steps on flat (ny, nx) fields, and copying them."""
    grid = square_grid(n, rotation_field)
    t_call, out = best_of(lambda: grid.trace(seed_list(feet), 0.01, 0), reps)
    if out.shape != (len(feet), 1, 2):
        raise RuntimeError(f"trace_fieldlines with max_steps=0 gave shape {out.shape}")
    t_copy, _ = best_of(lambda: (grid.bx.copy(), grid.by.copy()), reps)
    return t_call, t_copy


def _fixed_cost_find(n, feet, reps):
    """find_fieldlines with numsteps=0 on (nx, ny) C-ordered fields, and copying them."""
    x = np.linspace(-1.0, 1.0, n)
    bx, by = rotation_ij(x, x)  # indexed [i, j]
    data = types.SimpleNamespace(x1=x, x2=x, bx=bx, by=by)
    t_call, lines = best_of(lambda: torvelin.find_fieldlines(
        data, "bx", "by", x0=feet[:, 0], y0=feet[:, 1], numsteps=0), reps)
    if lines != []:
        raise RuntimeError("find_fieldlines with numsteps=0 should return no lines")
    t_copy, _ = best_of(lambda: (bx.copy(), by.copy()), reps)
    return t_call, t_copy


def fixed_cost(ctx):
    cfg, report = ctx.cfg, ctx.report
    name = "fixed_cost"
    n = ctx.large
    reps = cfg.reps_large
    feet = np.array([[0.5, 0.0], [0.0, 0.5], [-0.5, 0.0], [0.0, -0.5]])
    print(f"\n(g) fixed cost on {n}^2 points ({2 * n * n * 8 / MIB:.0f} MiB of field), "
          f"{len(feet)} seeds, no step; against NumPy copying both components")

    t_trace, t_copy = _fixed_cost_trace(n, feet, reps)
    t_find, t_copy_ij = _fixed_cost_find(n, feet, reps)
    rows = [
        ("trace_fieldlines(..., max_steps=0)", "flat (ny, nx)", t_trace, t_copy),
        ("find_fieldlines(..., numsteps=0)", "(nx, ny) C-ordered", t_find, t_copy_ij),
    ]
    print(f"  {'call':<36} {'field arrays':<20} {'ms':>8} {'copy ms':>8} {'of copy':>8}")
    figures = {"n": n, "seeds": len(feet), "repeats": reps}
    for call, layout, t, copy in rows:
        print(f"  {call:<36} {layout:<20} {t * 1e3:>8.2f} {copy * 1e3:>8.2f} "
              f"{t / copy * 100:>7.1f}%")
        key = call.split("(")[0]
        figures[key] = {"seconds": t, "copy_seconds": copy, "percent_of_copy": t / copy * 100,
                        "layout": layout}
    report.extra[name] = figures


# --------------------------------------------------------------------------
# (h) find_fieldlines per point against trace_fieldlines per step
# --------------------------------------------------------------------------


def find_vs_trace(ctx):
    cfg, report = ctx.cfg, ctx.report
    name = "find_vs_trace"
    n = 512
    reps = cfg.reps_find
    grid = square_grid(n, rotation_field)
    bx, by = rotation_ij(grid.x, grid.y)  # the same values, (nx, ny) indexed [i, j]
    data = types.SimpleNamespace(x1=grid.x, x2=grid.y, bx=bx, by=by)
    radii = np.linspace(0.2, 0.8, 64)
    feet = np.column_stack([radii, np.zeros_like(radii)])
    h = grid.spacing / float(radii.mean())
    steps = MAX_STEPS
    print(f"\n(h) find_fieldlines per returned point against trace_fieldlines per step: "
          f"rotation on {n}^2 points, {len(feet)} footpoints at r = 0.2..0.8, h = {h:.4g}, "
          f"max_steps = numsteps = {steps}; find with its default closure test "
          f"(close, ctol 1e-6), so it traces each line both ways")

    t_trace, out = best_of(lambda: grid.trace(seed_list(feet), h, steps), reps)
    trace_steps = int(steps_from_padded(out).sum())

    def call(numsteps):
        return torvelin.find_fieldlines(data, "bx", "by", x0=feet[:, 0], y0=feet[:, 1],
                                        step=h, numsteps=numsteps)

    t_find, lines = best_of(lambda: call(steps), reps)
    t_read, _ = best_of(lambda: call(0), reps)
    points = sum(len(xs) for xs, _ in lines)
    ns_step = t_trace / trace_steps * 1e9
    ns_point = t_find / points * 1e9
    # Each open line is its backward half reversed, then its forward half:
    # the forward half should be trace's line, point for point.
    forward_same = len(lines) == len(feet) and all(
        len(xs) == 2 * steps + 1
        and same_points(np.column_stack([xs[steps:], ys[steps:]]), out[k])
        for k, (xs, ys) in enumerate(lines))
    report.record(name, "trace_fieldlines", t_trace, trace_steps, repeats=reps,
                  note="per step")
    report.record(name, "find_fieldlines", t_find, points, unit="point", repeats=reps,
                  ratio=ns_point / ns_step, note="per returned point",
                  read_seconds=t_read)
    print(f"  {'call':<18} {'ms':>8} {'count':>9} {'ns each':>8} {'vs trace':>9}")
    print(f"  {'trace_fieldlines':<18} {t_trace * 1e3:>8.2f} {trace_steps:>9} {ns_step:>8.1f} "
          f"{1.0:>9.2f}  per step")
    print(f"  {'find_fieldlines':<18} {t_find * 1e3:>8.2f} {points:>9} {ns_point:>8.1f} "
          f"{ns_point / ns_step:>9.2f}  per returned point, {len(lines)} lines; "
          f"{t_read * 1e3:.2f} ms of it reading the field (numsteps=0)")
    print(f"  find's forward halves are trace's lines bit for bit: "
          f"{'yes' if forward_same else 'no'}")
    report.extra[name] = {"n": n, "footpoints": len(feet), "step": h, "numsteps": steps,
                          "trace_ns_per_step": ns_step, "find_ns_per_point": ns_point,
                          "ratio": ns_point / ns_step, "find_lines": len(lines),
                          "forward_halves_identical": forward_same}


# --------------------------------------------------------------------------
# (i) peak memory
# --------------------------------------------------------------------------


def run_memory_child(n, seeds=SEEDS, steps=MAX_STEPS, timeout=600):
    """The peak-memory figures of one trace, measured in a fresh process."""
    cmd = [sys.executable, "-m", "benchmarks.memory", str(n), str(seeds), str(steps)]
    proc = subprocess.run(cmd, cwd=ROOT, capture_output=True, text=True, timeout=timeout,
                          env=dict(os.environ), check=False)
    if proc.returncode != 0:
        raise RuntimeError(f"{' '.join(cmd)} exited with {proc.returncode}:\n{proc.stderr}")
    return json.loads(proc.stdout.strip().splitlines()[-1])


def peak_memory(ctx):
    report = ctx.report
    n = ctx.large
    print(f"\n(i) peak memory of one trace on {n}^2 points (rotation, {SEEDS} seeds, "
          f"{MAX_STEPS} steps, as in (e)), in a fresh process")
    t0 = time.perf_counter()
    rec = run_memory_child(n)
    growth = rec["hwm_after"] - rec["rss_before"] - rec["result_bytes"]
    rec["growth_beyond_result"] = growth
    rec["percent_of_field"] = growth / rec["field_bytes"] * 100
    print(f"  {'field':>9} {'result':>9} {'RSS before':>11} {'peak':>9} "
          f"{'beyond result':>14} {'of field':>9}  (MiB; peak reset: {rec['method']})")
    print(f"  {rec['field_bytes'] / MIB:>9.1f} {rec['result_bytes'] / MIB:>9.1f} "
          f"{rec['rss_before'] / MIB:>11.1f} {rec['hwm_after'] / MIB:>9.1f} "
          f"{growth / MIB:>14.1f} {rec['percent_of_field']:>8.1f}%")
    if rec["method"] != "clear_refs":
        above = (rec["hwm_before"] - rec["rss_before"]) / MIB
        print(f"  (the peak could not be reset here; it stood {above:.1f} MiB above the "
              "resident set before the call, and growth below that is not seen)")
    print(f"  measured in {time.perf_counter() - t0:.1f} s")
    report.extra["peak_memory"] = rec
