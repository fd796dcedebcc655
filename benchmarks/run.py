#!/usr/bin/env python
"""Time torvelin's tracers against other ways of tracing field lines.

    python benchmarks/run.py [--quick] [--json PATH] [--only NAMES] [--sizes N,N,...]
                             [--threads N] [--plot PATH | --no-plot]
                             [--kernel auto|avx512|avx2|baseline]

Everything runs in one process on the same data (the peak memory in a fresh
one) and prints, per workload, the cost per step (total time / steps actually
taken; per point for tools that report points) and the ratio of each peer to
torvelin (peer time / torvelin time, so a ratio above 1 means the peer is
slower).

Workloads (--only takes their names, comma-separated):

  (a) rotation       B = (-y, x) on 256 x 256 points over [-1, 1]^2, 64 seeds on
                     the x axis at radii 0.2 to 0.8, step 0.01, 2000 steps; no
                     line leaves. Accuracy: largest |r_end - r_seed|.
  (b) line-currents  two antiparallel wires at (+-0.5, 0), field regularised
                     inside a wire radius of 0.1, 512 x 512 points, seeds on a
                     lattice; most lines leave the domain after a few hundred
                     steps, the loops around the wires use the whole budget.
  (c) find           find_fieldlines on the line-current field with 1024 x 1024
                     points given as (nx, ny) float64 arrays of a data object,
                     100 footpoints, default options; the input coercion is
                     timed on its own as a call with numsteps=0.
  (d) overhead       10,000 calls with one seed and 10 steps on 8 x 8 points,
                     next to numpy.full((1, 11, 2), nan).
  (e) scaling        the rotation (256 seeds at r = 0.2..0.8) and the line
                     currents (256 seeds on closed loops around one wire) on
                     each grid of --sizes (default 256^2 to 8192^2), 2000 steps
                     of about one grid cell; torvelin against the numba tracer
                     per seed and the same numba code in a prange loop over the
                     seeds (--threads, default all cores). Writes a log-log
                     plot of ns/step against grid size (--plot).
  (f) pages          (e)'s rotation on the largest grid with the field arrays
                     allocated with NumPy's huge-page advice and without it.
  (g) fixed-cost     trace_fieldlines with max_steps=0 and find_fieldlines with
                     numsteps=0 on the largest grid, as a share of the time
                     NumPy takes to copy both field components.
  (h) find-vs-trace  find_fieldlines per returned point against trace_fieldlines
                     per step on a 512 x 512 rotation, same footpoints.
  (i) memory         growth of the peak resident set during one trace of (e)'s
                     rotation on the largest grid, beyond the result's size, as
                     a share of the field's size; measured in a fresh process.
  (j) stretches      the longest stretch without a look at pending signals (how
                     late Ctrl-C can be answered) in calls that pad many rows
                     with NaN, convert tens of millions of footpoints, or copy
                     a large field; a stretch over 50 ms fails the run.
  (k) threads        8 calls on one 512 x 512 rotation, each with its own 256
                     seeds x 2000 steps, spread over 1, 2, 4 and 8 threads of a
                     ThreadPoolExecutor: speed-up over 1 thread, and every
                     count's points against 1 thread's, bit for bit. With a
                     GIL the calls take turns (a call holds it throughout).

Peers (each skipped, with the reason, when it cannot be imported): numba RK4
per seed and in a prange loop, and a NumPy RK4 vectorised over seeds, all with
torvelin's exact formulas (their points are checked to be bit-identical to
torvelin's), SciPy's solve_ivp (RK45) on a RegularGridInterpolator,
matplotlib's streamplot and the streamtracer package.

Every run names the CPU, the lane kernel torvelin runs on it (AVX-512, AVX2
or baseline, chosen as the module chooses it) and the compiler that built the
module. --kernel builds a copy of the module that chooses no wider kernel
than the one named (pip, into a temporary folder; about a minute) and runs
the workloads with it in a fresh process, so that kernels can be timed
against each other on one CPU. benchmarks/native/lane_kernel_timing.cpp
(built with CMake's TORVELIN_NATIVE_TESTS) times every kernel directly.

--quick shrinks the slow peers, the repetition counts and the grid sizes (256
and 1024 points per side unless --sizes says otherwise) so that the whole run
takes well under a minute (a smoke test; nothing is asserted about timings).
The exit status is 1 when a peer that could be imported fails, or when the
points of a same-formula peer differ from torvelin's.
"""

import os
import sys

# One thread for BLAS and OpenMP: the machine has few cores and a spinning
# worker thread disturbs the timings. This must precede the NumPy import.
for _var in (
    "OPENBLAS_NUM_THREADS",
    "OMP_NUM_THREADS",
    "MKL_NUM_THREADS",
    "NUMEXPR_NUM_THREADS",
    "VECLIB_MAXIMUM_THREADS",
    "BLIS_NUM_THREADS",
):
    os.environ[_var] = "1"
# numba's prange peer runs on numba's own workqueue threads, which the OpenMP
# setting above does not limit (numba's OpenMP layer would be held to one
# thread by it). The pool has one thread per core; the peer sets the count it
# uses, and every other numba peer is single-threaded code.
os.environ["NUMBA_THREADING_LAYER"] = "workqueue"

if not __package__:
    # Run as a script: import the harness as the package `benchmarks` from the
    # repository root, not its modules from this directory.
    sys.path[0] = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

from benchmarks.cli import main  # noqa: E402

if __name__ == "__main__":
    sys.exit(main(description=__doc__.splitlines()[0]))
