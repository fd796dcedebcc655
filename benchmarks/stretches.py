"""(j) The longest stretch of a call without a look at pending signals.

A call runs Python signal handlers (and so answers Ctrl-C) only where it
looks for pending signals. A 1 kHz interval timer whose handler notes the
time therefore sees a gap wherever a call went long without a look; the
longest gap of a call, its first and last stretches included, bounds how
late a Ctrl-C can be answered during it.
"""

import signal
import time
import types

import numpy as np

import torvelin

# A stretch longer than this is a failure of the run.
LIMIT_SECONDS = 0.05


def longest_stretch(call):
    """(longest gap, call time, looks): the timer's ticks are only seen
    where the call looks at pending signals."""
    stamps = []
    previous = signal.signal(signal.SIGALRM, lambda signum, frame: stamps.append(time.perf_counter()))
    signal.setitimer(signal.ITIMER_REAL, 0.001, 0.001)
    start = time.perf_counter()
    try:
        call()
    finally:
        end = time.perf_counter()
        signal.setitimer(signal.ITIMER_REAL, 0, 0)
        signal.signal(signal.SIGALRM, previous)
    marks = [start] + [t for t in stamps if t <= end] + [end]
    return max(b - a for a, b in zip(marks, marks[1:])), end - start, len(stamps)


def _cases(quick):
    scale = 4 if quick else 1
    zero = (0.0, 1.0, 0.0, 1.0, 2, 2, np.zeros(4), np.zeros(4))
    xs = np.linspace(0.0, 1.0, 4)
    small = types.SimpleNamespace(x1=xs, x2=xs, bx=np.zeros((4, 4)), by=np.zeros((4, 4)))
    n_feet = 20_000_000 // scale
    feet64 = np.full(n_feet, 5.0)
    n_f32 = 50_000_000 // scale
    feet32 = np.full(n_f32, 5.0, np.float32)
    side = 6000 // (2 if quick else 1)
    field = np.zeros(side * side)
    return [
        ("trace, 60 rows of seeds outside padded (16 MB each)",
         lambda: torvelin.trace_fieldlines(*zero, [(5.0, 5.0)] * 60 + [(0.5, 0.5)], 0.1,
                                           1_000_000 // scale)),
        (f"find, {n_feet:,} float64 footpoints",
         lambda: torvelin.find_fieldlines(small, "bx", "by", x0=feet64, y0=feet64, numsteps=10)),
        (f"find, {n_f32:,} float32 footpoints",
         lambda: torvelin.find_fieldlines(small, "bx", "by", x0=feet32, y0=feet32, numsteps=10)),
        (f"trace, {side}^2 field copied into the interleaved layout",
         lambda: torvelin.trace_fieldlines(0.0, 1.0, 0.0, 1.0, side, side, field, field,
                                           [(0.5, 0.5)] * 100, 1e-4, side * side // 100)),
    ]


def stretches(ctx):
    report = ctx.report
    print(f"\n(j) longest stretch of a call without a look at pending signals (limit "
          f"{LIMIT_SECONDS * 1e3:.0f} ms); a 1 kHz timer")
    print(f"  {'call':<58} {'longest ms':>10} {'call s':>8} {'looks':>7}")
    figures = {}
    for what, call in _cases(ctx.cfg.reps_large < 3):
        gap, total, looks = longest_stretch(call)
        print(f"  {what:<58} {gap * 1e3:>10.1f} {total:>8.2f} {looks:>7}")
        figures[what] = {"longest_seconds": gap, "call_seconds": total, "looks": looks}
        if gap > LIMIT_SECONDS:
            report.failed[f"stretches/{what}"] = (
                f"{gap * 1e3:.0f} ms without a look at pending signals")
    report.extra["stretches"] = figures
