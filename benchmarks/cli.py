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

import numpy as np

import torvelin

from . import peers as P
from . import workloads
from .report import Report

# name -> (function, what it measures), in the order they run.
WORKLOADS = {
    "rotation": (workloads.rotation, "(a) rotation, 256^2, 64 seeds, every peer"),
    "line-currents": (workloads.line_currents,
                      "(b) line currents, 512^2, seed lattice, every peer"),
    "find": (workloads.find, "(c) find_fieldlines on 1024^2 (nx, ny) arrays"),
    "overhead": (workloads.overhead, "(d) call overhead, 8^2, one seed"),
}
USES_NUMBA = {"rotation", "line-currents"}


def workload_list(text):
    names = [w.strip() for w in text.split(",") if w.strip()]
    unknown = [w for w in names if w not in WORKLOADS]
    if unknown or not names:
        raise argparse.ArgumentTypeError(
            f"unknown workload {', '.join(unknown) or '(none given)'}; "
            f"choose from {', '.join(WORKLOADS)}")
    return [w for w in WORKLOADS if w in names]  # in the order they run, once each


def parse_args(argv=None, description=None):
    parser = argparse.ArgumentParser(
        description=description,
        epilog="workloads: " + "; ".join(f"{k}: {v[1]}" for k, v in WORKLOADS.items()))
    parser.add_argument("--quick", action="store_true",
                        help="fewer repetitions and smaller slow-peer runs (smoke test)")
    parser.add_argument("--json", metavar="PATH", help="also write all figures to this JSON file")
    parser.add_argument("--only", metavar="NAMES", type=workload_list,
                        help="run only these workloads, comma-separated: "
                             + ",".join(WORKLOADS))
    args = parser.parse_args(argv)
    if args.only is None:
        args.only = list(WORKLOADS)
    return args


def config(quick):
    if quick:
        return types.SimpleNamespace(
            reps_fast=3, reps_mid=2, reps_slow=1, reps_find=3, reps_overhead=2,
            lattice=16, scipy_rot_seeds=4, scipy_rot_steps=200, scipy_lc_seeds=8,
            streamplot_rot_seeds=16, streamplot_rot_maxlength=2.0, streamplot_lc_seeds=16,
        )
    return types.SimpleNamespace(
        reps_fast=7, reps_mid=3, reps_slow=2, reps_find=5, reps_overhead=5,
        lattice=32, scipy_rot_seeds=64, scipy_rot_steps=2000, scipy_lc_seeds=64,
        streamplot_rot_seeds=64, streamplot_rot_maxlength=8.0, streamplot_lc_seeds=64,
    )


def cpu_model():
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine() or "unknown"


def versions(peers):
    out = {"python": platform.python_version(), "numpy": np.__version__}
    try:
        out["torvelin"] = metadata.version("torvelin")
    except metadata.PackageNotFoundError:
        out["torvelin"] = getattr(torvelin, "__version__", "unknown")
    out.update(P.versions(peers))
    return out


def compile_numba(peers, report):
    """The numba tracer, compiled outside any timed region; a failure is
    recorded as a failed peer."""
    if peers.numba is None:
        return
    try:
        t0 = time.perf_counter()
        tracers = P.NumbaTracers(peers.numba)
        tracers.warm_up()
        print(f"numba tracer compiled in {time.perf_counter() - t0:.1f} s (not timed)")
        peers.numba_run = tracers
    except Exception as exc:
        report.failed["numba"] = f"compilation failed: {type(exc).__name__}: {exc}"
        traceback.print_exc()


def main(argv=None, description=None):
    args = parse_args(argv, description)
    cfg = config(args.quick)
    report = Report()
    started = time.perf_counter()
    peers = P.load(report)
    cpu = cpu_model()
    vers = versions(peers)
    print(f"CPU: {cpu}")
    print("versions: " + ", ".join(f"{k} {v}" for k, v in vers.items()))
    print(f"mode: {'quick' if args.quick else 'full'}; best of N runs, time.perf_counter; "
          "ratio = peer time / torvelin time")
    if args.only != list(WORKLOADS):
        print(f"workloads: {', '.join(args.only)}")
    for tool, reason in report.skipped.items():
        print(f"skipped {P.label(tool)}: {reason}")

    if set(args.only) & USES_NUMBA:
        compile_numba(peers, report)

    ctx = types.SimpleNamespace(cfg=cfg, report=report, peers=peers, cpu=cpu)
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
            args.json, cpu=cpu, versions=vers, quick=args.quick, platform=platform.platform(),
            options={"only": args.only},
            total_seconds=total)
        print(f"wrote {args.json}")

    return report.exit_status()
