"""torvelin's benchmark harness: `python benchmarks/run.py [--quick] [--json PATH]`.

Modules:

  common     grids and fields, timing, step counting, bit-for-bit comparison
  peers      the other tracers (numba, NumPy, SciPy, matplotlib, streamtracer)
  workloads  (a) to (d): torvelin against every peer on fixed problems
  scaling    (e) to (i): cost per step against grid size, page size, fixed
             costs, find_fieldlines against trace_fieldlines, peak memory
  stretches  (j): the longest stretch of a call without a look at pending signals
  threads    (k): one field shared by 1, 2, 4 and 8 threads
  memory     the process's memory from /proc; the peak-memory child process
  machine    the CPU, the lane kernel and the compiler; a copy of the module
             built to run a narrower kernel (--kernel)
  report     result rows, tables, JSON, the scaling plot, the exit status
  cli        options and the order of the workloads
"""
