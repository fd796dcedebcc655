"""
How much memory and time a call takes
=====================================

The work and the memory of a call are bounded by its arguments, and both
grow with the points it records, 16 bytes each (an x and a y). This recipe
gives the formulas, checks them against the memory a fresh process gains,
and shows what happens when memory runs out.
"""

import json
import subprocess
import sys
import textwrap

from _machine import describe

print(describe())


def in_fresh_process(code):
    """Run ``code`` in a new interpreter and return what it prints as JSON:
    each measurement starts from a clean process."""
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=600, check=True)
    return json.loads(proc.stdout)


# %%
# The formulas
# ------------
# * :func:`~torvelin.trace_fieldlines` returns an array of
#   ``len(seeds) * (max_steps + 1) * 16`` bytes, whatever the lines do: slots
#   that no line reached are NaN. It is allocated, and filled with NaN, before
#   the tracing starts, and it is the call's only large allocation.
# * :func:`~torvelin.find_fieldlines` keeps exactly the points it returns: a
#   line of n points costs ``16 * n`` bytes. A line that never ends (a loop
#   that does not close, because ``close=False`` or ``ctol`` is too small) has
#   ``2 * numsteps + 1`` points: 512 KiB per footpoint with the default
#   ``numsteps=16384``. While the lines grow, the call needs working room
#   beyond them.
#
# Both, measured as the growth of a fresh process's peak memory (its largest
# resident set), on a rotating field whose lines are circles that never leave
# the grid:

SETUP = """
    import json, resource, time
    import numpy as np
    import torvelin

    def status(key):  # a line of /proc/self/status, in bytes
        with open("/proc/self/status") as f:
            return next(int(l.split()[1]) * 1024 for l in f if l.startswith(key + ":"))

    def peak():  # the largest resident set of this process so far
        return status("VmHWM")

    x = np.linspace(-1.0, 1.0, 101)
    X, Y = np.meshgrid(x, x)
    bx, by = (-Y).ravel(), X.ravel()                   # trace_fieldlines' layout
    data = dict(x1=x, x2=x, bx=-Y.T, by=X.T)           # find_fieldlines' (nx, ny)
    seeds = [(0.1 + 0.8 * k / 64, 0.0) for k in range(64)]
"""

trace = in_fresh_process(SETUP + """
    before = peak()
    t0 = time.perf_counter()
    out = torvelin.trace_fieldlines(-1, 1, -1, 1, 101, 101, bx, by, seeds, 0.01, 100_000)
    seconds = time.perf_counter() - t0
    print(json.dumps(dict(bytes=out.nbytes, grown=peak() - before, seconds=seconds,
                          steps=len(seeds) * 100_000)))
""")
find = in_fresh_process(SETUP + """
    before = peak()
    t0 = time.perf_counter()
    lines = torvelin.find_fieldlines(None, data["bx"], data["by"], x1=x, x2=x,
                                     x0=[s[0] for s in seeds[:16]], y0=[0.0] * 16,
                                     numsteps=200_000, close=False)
    seconds = time.perf_counter() - t0
    points = sum(len(lx) for lx, _ in lines)
    print(json.dumps(dict(points=points, grown=peak() - before, seconds=seconds)))
""")
MB = 1e6
print(f"trace_fieldlines, 64 seeds, max_steps=100000: result {trace['bytes'] / MB:.1f} MB "
      f"(64 * 100001 * 16 bytes); peak memory grew by {trace['grown'] / MB:.1f} MB")
print(f"find_fieldlines, 16 footpoints, close=False, numsteps=200000: {find['points']} "
      f"points, {16 * find['points'] / MB:.1f} MB; peak memory grew by "
      f"{find['grown'] / MB:.1f} MB ({find['grown'] / (16 * find['points']):.2f} times the points)")

# %%
# Time
# ----
# The time of a call is, to first order, the time of its steps. On a busy
# machine these figures vary from build to build; the performance page has
# careful ones.

print(f"trace_fieldlines: {trace['steps']} steps in {trace['seconds'] * 1e3:.0f} ms, "
      f"{trace['seconds'] / trace['steps'] * 1e9:.1f} ns a step")
print(f"find_fieldlines: {find['points'] - 16} steps in {find['seconds'] * 1e3:.0f} ms, "
      f"{find['seconds'] / (find['points'] - 16) * 1e9:.1f} ns a step")

# %%
# On large grids a step costs somewhat more, since the field no longer fits
# in the processor's caches (see the performance page).
#
# When memory runs out
# --------------------
# A request that the operating system refuses raises ``MemoryError``, whose
# message says what could not be had, and the process carries on.
# :func:`~torvelin.trace_fieldlines` knows the size of its result before it
# starts and fails at once; :func:`~torvelin.find_fieldlines` fails when a
# growing line no longer fits. Here each call runs under an address-space
# limit of 256 MiB above what the process already uses (``ulimit -v`` does the
# same from a shell):

limited = in_fresh_process(SETUP + """
    resource.setrlimit(resource.RLIMIT_AS, (status("VmSize") + 2**28, resource.RLIM_INFINITY))
    outcome = {}
    calls = {
        "trace_fieldlines(..., max_steps=10**9)": lambda: torvelin.trace_fieldlines(
            -1, 1, -1, 1, 101, 101, bx, by, [(0.5, 0.0)], 0.01, 10**9),
        "find_fieldlines(..., numsteps=10**9, close=False)": lambda: torvelin.find_fieldlines(
            None, data["bx"], data["by"], x1=x, x2=x, x0=[0.5], y0=[0.0],
            numsteps=10**9, close=False),
    }
    for name, call in calls.items():
        t0 = time.perf_counter()
        try:
            call()
            outcome[name] = "no error"
        except MemoryError as error:
            outcome[name] = f"{error!r} after {time.perf_counter() - t0:.2f} s"
    after = torvelin.trace_fieldlines(-1, 1, -1, 1, 101, 101, bx, by, [(0.5, 0.0)], 0.01, 10)
    outcome["a call after them"] = f"returns shape {after.shape}"
    print(json.dumps(outcome))
""")
for name, what in limited.items():
    print(f"{name}: {what}")

# %%
# Long calls can be stopped
# -------------------------
# Ctrl-C (SIGINT) raises ``KeyboardInterrupt`` within milliseconds: the
# tracing looks for pending signals every few milliseconds of work (and the
# conversion of a long Python sequence every 65,536 items), abandons its work
# and releases everything it has built. A signal handler that raises another
# exception has that exception raised unchanged, and the next call in the
# same process is unaffected. A call holds the interpreter lock throughout,
# so other threads of the process do not run during it: send the signal from
# outside the process (a terminal's Ctrl-C, ``kill -INT``, or
# ``Popen.send_signal``), not from a thread of the same process.
