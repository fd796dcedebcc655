"""Options, the order of the workloads, and the exit status of a run.

The entry point is benchmarks/run.py, which sets the thread counts of the
numerical libraries before NumPy is imported and then calls main().
"""

import argparse
import platform
import sys
import time
import traceback
import types
from importlib import metadata
from pathlib import Path

import numpy as np

import torvelin

from . import machine
from . import peers as P
from . import scaling, stretches, threads, workloads
from .common import available_cores
from .report import Report

ROOT = Path(__file__).resolve().parent.parent

# name -> (function, what it measures), in the order they run.
WORKLOADS = {
    "rotation": (workloads.rotation, "(a) rotation, 256^2, 64 seeds, every peer"),
    "line-currents": (workloads.line_currents,
                      "(b) line currents, 512^2, seed lattice, every peer"),
    "find": (workloads.find, "(c) find_fieldlines on 1024^2 (nx, ny) arrays"),
    "overhead": (workloads.overhead, "(d) call overhead, 8^2, one seed"),
    "scaling": (scaling.scaling, "(e) ns/step against grid size, torvelin and the numba peers"),
    "pages": (scaling.pages, "(f) huge against 4 KiB pages for the caller's arrays, largest size"),
    "fixed-cost": (scaling.fixed_cost,
                   "(g) calls without steps against copying the field, largest size"),
    "find-vs-trace": (scaling.find_vs_trace, "(h) find per point against trace per step, 512^2"),
    "memory": (scaling.peak_memory, "(i) peak memory of one trace, largest size, fresh process"),
    "stretches": (stretches.stretches,
                  "(j) longest stretch of a call without a look at pending signals"),
    "threads": (threads.threads,
                "(k) 1, 2, 4, 8 threads sharing one 512^2 field, speed-up over 1 thread"),
}
USES_NUMBA = {"rotation", "line-currents", "scaling"}

FULL_SIZES = (256, 1024, 2048, 4096, 8192)
QUICK_SIZES = (256, 1024)
DEFAULT_PLOT = ROOT / "benchmarks" / "scaling.png"


def workload_list(text):
    names = [w.strip() for w in text.split(",") if w.strip()]
    unknown = [w for w in names if w not in WORKLOADS]
    if unknown or not names:
        raise argparse.ArgumentTypeError(
            f"unknown workload {', '.join(unknown) or '(none given)'}; "
            f"choose from {', '.join(WORKLOADS)}")
    return [w for w in WORKLOADS if w in names]  # in the order they run, once each


def size_list(text):
    try:
        sizes = sorted({int(v) for v in text.split(",") if v.strip()})
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a list of integers: {text!r}") from None
    if not sizes or sizes[0] < 16:
        raise argparse.ArgumentTypeError("grid sizes are points per side, 16 or more")
    return sizes


def positive_int(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError("must be 1 or more")
    return value


def parse_args(argv=None, description=None):
    parser = argparse.ArgumentParser(
        description=description,
        epilog="workloads: " + "; ".join(f"{k}: {v[1]}" for k, v in WORKLOADS.items()))
    parser.add_argument("--quick", action="store_true",
                        help="fewer repetitions, smaller slow-peer runs and grid sizes "
                             f"{','.join(map(str, QUICK_SIZES))} (smoke test)")
    parser.add_argument("--json", metavar="PATH", help="also write all figures to this JSON file")
    parser.add_argument("--only", metavar="NAMES", type=workload_list,
                        help="run only these workloads, comma-separated: "
                             + ",".join(WORKLOADS))
    parser.add_argument("--sizes", metavar="N,N,...", type=size_list,
                        help="points per side of the scaling grids (default "
                             f"{','.join(map(str, FULL_SIZES))}); the largest is also the "
                             "grid of pages, fixed-cost and memory")
    parser.add_argument("--threads", metavar="N", type=positive_int,
                        help="threads of the numba prange peer (default: the cores "
                             f"available, here {available_cores()})")
    parser.add_argument("--kernel", choices=("auto",) + machine.KERNELS, default="auto",
                        help="run on a copy of torvelin built to choose no wider lane kernel "
                             "than this one (built with pip into a temporary folder, then run "
                             "in a fresh process); auto: the installed module")
    # Given by --kernel to the process it starts: the kernel its module was
    # built for, and where that module must have been imported from.
    parser.add_argument("--built-for-kernel", choices=machine.KERNELS, help=argparse.SUPPRESS)
    parser.add_argument("--expect-module-in", type=Path, help=argparse.SUPPRESS)
    plot = parser.add_mutually_exclusive_group()
    plot.add_argument("--plot", metavar="PATH", type=Path, default=DEFAULT_PLOT,
                      help="where the scaling workload writes its log-log PNG "
                           "(default benchmarks/scaling.png in the repository)")
    plot.add_argument("--no-plot", dest="plot", action="store_const", const=None,
                      help="write no plot")
    args = parser.parse_args(argv)
    if args.sizes is None:
        args.sizes = list(QUICK_SIZES if args.quick else FULL_SIZES)
    if args.only is None:
        args.only = list(WORKLOADS)
    return args


def config(quick):
    if quick:
        return types.SimpleNamespace(
            reps_fast=3, reps_mid=2, reps_slow=1, reps_find=3, reps_overhead=2,
            reps_scale=2, reps_large=2, reps_threads=2,
            lattice=16, scipy_rot_seeds=4, scipy_rot_steps=200, scipy_lc_seeds=8,
            streamplot_rot_seeds=16, streamplot_rot_maxlength=2.0, streamplot_lc_seeds=16,
        )
    return types.SimpleNamespace(
        reps_fast=7, reps_mid=3, reps_slow=2, reps_find=5, reps_overhead=5,
        reps_scale=5, reps_large=3, reps_threads=5,
        lattice=32, scipy_rot_seeds=64, scipy_rot_steps=2000, scipy_lc_seeds=64,
        streamplot_rot_seeds=64, streamplot_rot_maxlength=8.0, streamplot_lc_seeds=64,
    )


def versions(peers):
    out = {"python": platform.python_version(), "numpy": np.__version__}
    try:
        out["torvelin"] = metadata.version("torvelin")
    except metadata.PackageNotFoundError:
        out["torvelin"] = getattr(torvelin, "__version__", "unknown")
    out.update(P.versions(peers))
    return out


def compile_numba(peers, report, threads):
    """The numba tracers, compiled outside any timed region; a failure is
    recorded as a failed peer."""
    if peers.numba is None:
        return
    try:
        t0 = time.perf_counter()
        tracers = P.NumbaTracers(peers.numba)
        used = tracers.set_threads(threads)
        tracers.warm_up()
        print(f"numba tracers compiled in {time.perf_counter() - t0:.1f} s (not timed); "
              f"prange peer: {used} threads, {tracers.threading_layer()} threading layer")
        peers.numba_run = tracers
    except Exception as exc:
        report.failed["numba"] = f"compilation failed: {type(exc).__name__}: {exc}"
        traceback.print_exc()


def main(argv=None, description=None):
    argv = sys.argv[1:] if argv is None else list(argv)
    args = parse_args(argv, description)
    if args.kernel != "auto" and args.built_for_kernel is None:
        return machine.run_with_forced_kernel(args.kernel, argv)
    module = Path(torvelin.__file__).resolve()
    if args.expect_module_in and args.expect_module_in.resolve() not in module.parents:
        print(f"!! torvelin was imported from {module}, not from the copy built for "
              f"{args.built_for_kernel} in {args.expect_module_in}", file=sys.stderr)
        return 1
    cfg = config(args.quick)
    report = Report()
    started = time.perf_counter()
    peers = P.load(report)
    where = machine.describe(module, args.built_for_kernel)
    cpu = where["cpu"]
    vers = versions(peers)
    print(f"CPU: {cpu}")
    print(f"lane kernel: {where['kernel']}, {where['kernel_choice']}")
    print(f"module built by: {where['compiler']} ({module})")
    print("versions: " + ", ".join(f"{k} {v}" for k, v in vers.items()))
    print(f"mode: {'quick' if args.quick else 'full'}; best of N runs, time.perf_counter; "
          "ratio = peer time / torvelin time")
    if args.only != list(WORKLOADS):
        print(f"workloads: {', '.join(args.only)}")
    if set(args.only) & {"scaling", "pages", "fixed-cost", "memory"}:
        print(f"grid sizes: {', '.join(map(str, args.sizes))} points per side")
    for tool, reason in report.skipped.items():
        print(f"skipped {P.label(tool)}: {reason}")

    if set(args.only) & USES_NUMBA:
        compile_numba(peers, report, args.threads)

    ctx = types.SimpleNamespace(cfg=cfg, report=report, peers=peers, sizes=args.sizes,
                                large=max(args.sizes), plot=args.plot, cpu=cpu,
                                kernel=where["kernel"])
    for name in args.only:
        WORKLOADS[name][0](ctx)

    total = time.perf_counter() - started
    print(f"\ntotal run time {total:.1f} s")

    for key, reason in report.failed.items():
        print(f"FAILED {key}: {reason}", file=sys.stderr)
    for m in report.mismatches():
        print(f"NOT bit-identical to torvelin: {m}", file=sys.stderr)

    if args.json:
        report.write_json(
            args.json, cpu=cpu, lane_kernel=where["kernel"],
            lane_kernel_choice=where["kernel_choice"], compiler=where["compiler"], versions=vers,
            quick=args.quick, platform=platform.platform(),
            options={"only": args.only, "sizes": args.sizes, "threads": args.threads,
                     "kernel": args.built_for_kernel or "auto",
                     "plot": str(args.plot) if args.plot else None},
            total_seconds=total)
        print(f"wrote {args.json}")

    return report.exit_status()
