"""The benchmark harness's own logic: the bit-for-bit comparison and the exit
status it decides, the options, the step of the scaling cases, the peak
memory measurement, and the same-formula numba peers (where numba is
installed).

The harness lives in benchmarks/ of the source tree; these tests are skipped
where the suite runs without it (against an installed wheel).
"""

import importlib.util
import json
import os
import pathlib
import subprocess
import sys
import types

import numpy as np
import pytest

from conftest import SANITIZED

ROOT = pathlib.Path(__file__).resolve().parent.parent
HARNESS = ROOT / "benchmarks"

if not (HARNESS / "__init__.py").is_file():
    pytest.skip(f"{HARNESS} is not there (tests run outside the source tree)",
                allow_module_level=True)


def _import_harness():
    """The package `benchmarks` from the source tree, without putting the
    repository root on sys.path."""
    if "benchmarks" not in sys.modules:
        spec = importlib.util.spec_from_file_location(
            "benchmarks", HARNESS / "__init__.py", submodule_search_locations=[str(HARNESS)])
        module = importlib.util.module_from_spec(spec)
        sys.modules["benchmarks"] = module
        spec.loader.exec_module(module)
    from benchmarks import cli, common, machine, memory, report, scaling, threads

    return cli, common, machine, memory, report, scaling, threads


cli, common, machine, memory, report_mod, scaling, threads = _import_harness()

MIB = 2**20


def ulp_up(value):
    return np.nextafter(value, np.inf)


# --------------------------------------------------------------------------
# Bit-for-bit comparison
# --------------------------------------------------------------------------


def _traced():
    grid = common.Grid(-1.0, 1.0, -1.0, 1.0, 32, 32, common.rotation_field)
    # The last seed is outside: its row is all padding.
    return grid.trace([(0.5, 0.0), (0.0, 0.25), (3.0, 0.0)], 0.05, 40)


def _one_ulp(out):
    out[0, 7, 1] = ulp_up(out[0, 7, 1])


def _sign_of_zero(out):
    out[1, 0, 0] = -0.0  # the seed's x is +0.0


def _padding_to_number(out):
    out[2, 5, 0] = 0.0


def _other_nan_bits(out):
    out[2, 5, 0] = np.float64(-np.nan)  # padding with another NaN payload


def _one_step_less(out):
    return out[:, :-1]


@pytest.mark.parametrize("change, same", [
    (None, True),
    (_other_nan_bits, True),
    (_one_ulp, False),
    (_sign_of_zero, False),
    (_padding_to_number, False),
    (_one_step_less, False),
])
def test_same_points_is_bit_for_bit(change, same):
    ref = _traced()
    assert ref[1, 0, 0] == 0.0 and not np.signbit(ref[1, 0, 0])
    peer = ref.copy()
    if change is not None:
        peer = change(peer) if change is _one_step_less else (change(peer) or peer)
    assert common.same_points(peer, ref) is same
    assert common.same_points(ref, peer) is same


# --------------------------------------------------------------------------
# Exit status, through the scaling workload with stand-in peers
# --------------------------------------------------------------------------


class StandInTracers:
    """Stands in for the numba tracers: gives torvelin's own points, one of
    them moved by an ulp on the named driver, or raises on it."""

    threads = 2

    def __init__(self, fault=None, driver=None):
        self.fault, self.driver = fault, driver

    def threading_layer(self):
        return "stand-in"

    def _run(self, name, grid, seeds_arr, h, max_steps):
        out = grid.trace(common.seed_list(seeds_arr), h, max_steps)
        if name == self.driver:
            if self.fault == "raise":
                raise RuntimeError("stand-in failure")
            out[-1, 0, 1] = ulp_up(out[-1, 0, 1])  # the last seed's y: always a point
        return out

    def serial(self, *args):
        return self._run("serial", *args)

    def parallel(self, *args):
        return self._run("parallel", *args)


def _scaling_context(tracers, sizes=(16, 24)):
    cfg = cli.config(quick=True)
    peers = types.SimpleNamespace(numba_run=tracers, mpl=None, numba=None)
    return types.SimpleNamespace(cfg=cfg, report=report_mod.Report(), peers=peers,
                                 sizes=list(sizes), large=max(sizes), plot=None, cpu="test")


@pytest.mark.parametrize("fault, driver, status, bad_tool", [
    (None, None, 0, None),
    ("ulp", "serial", 1, "numba"),
    ("ulp", "parallel", 1, "numba_prange"),
    ("raise", "parallel", 1, None),
])
def test_scaling_checks_decide_the_exit_status(fault, driver, status, bad_tool, monkeypatch,
                                               capsys):
    monkeypatch.setattr(scaling, "MAX_STEPS", 100)
    ctx = _scaling_context(StandInTracers(fault, driver))
    scaling.scaling(ctx)
    report = ctx.report
    assert report.exit_status() == status
    checks = [f"scaling {field} {n}" for field in scaling.SCALING_FIELDS for n in ctx.sizes]
    if bad_tool is not None:
        assert sorted(report.mismatches()) == sorted(f"{c}: {bad_tool}" for c in checks)
    elif fault == "raise":
        assert sorted(report.failed) == sorted(f"{c}/numba_prange" for c in checks)
        assert report.mismatches() == []
    else:
        assert set(report.identical) == set(checks)
        assert all(all(v.values()) for v in report.identical.values())
    # One row per tool, field and size, each prange row with its ratio to torvelin.
    rows = report.rows("scaling")
    assert {(r["tool"], r["field"], r["n"]) for r in rows if r["tool"] == "torvelin"} == {
        ("torvelin", f, n) for f in scaling.SCALING_FIELDS for n in ctx.sizes}
    for r in rows:
        assert r["steps"] > 0 and r["ratio"] > 0
    capsys.readouterr()


@pytest.mark.parametrize("fault", [False, True])
def test_threads_check_every_count_against_one_thread(fault, monkeypatch, capsys):
    monkeypatch.setattr(threads, "N", 24)
    monkeypatch.setattr(threads, "MAX_STEPS", 50)
    calls = []
    trace = common.Grid.trace

    def traced(self, *args):
        out = trace(self, *args)
        calls.append(None)
        if fault and len(calls) > threads.CALLS:  # every batch after the first
            out[0, 0, 0] = ulp_up(out[0, 0, 0])
        return out

    monkeypatch.setattr(common.Grid, "trace", traced)
    ctx = _scaling_context(None)
    threads.threads(ctx)
    report = ctx.report
    assert [r["threads"] for r in report.rows("threads")] == list(threads.THREAD_COUNTS)
    assert report.exit_status() == (1 if fault else 0)
    assert ("threads: 2 threads" in report.mismatches()) == fault
    capsys.readouterr()


def test_a_failed_peer_is_recorded_and_fails_the_run(capsys):
    report = report_mod.Report()

    def broken():
        raise ValueError("no")

    assert report.run_peer("numba", "rotation", broken) is None
    assert report.failed == {"rotation/numba": "ValueError: no"}
    assert report.exit_status() == 1
    capsys.readouterr()


# --------------------------------------------------------------------------
# Options
# --------------------------------------------------------------------------


@pytest.mark.parametrize("argv, sizes, only", [
    ([], list(cli.FULL_SIZES), list(cli.WORKLOADS)),
    (["--quick"], list(cli.QUICK_SIZES), list(cli.WORKLOADS)),
    (["--quick", "--sizes", "2048,256,256"], [256, 2048], list(cli.WORKLOADS)),
    (["--only", "scaling,find"], list(cli.FULL_SIZES), ["find", "scaling"]),
    (["--only", " memory , rotation,"], list(cli.FULL_SIZES), ["rotation", "memory"]),
])
def test_options(argv, sizes, only):
    args = cli.parse_args(argv)
    assert args.sizes == sizes
    assert args.only == only
    assert args.plot == cli.DEFAULT_PLOT


def test_plot_options():
    assert cli.parse_args(["--no-plot"]).plot is None
    assert cli.parse_args(["--plot", "out/s.png"]).plot == pathlib.Path("out/s.png")


@pytest.mark.parametrize("argv", [
    ["--only", "scaling,nosuch"],
    ["--only", ","],
    ["--sizes", "8,256"],
    ["--sizes", "256,big"],
    ["--threads", "0"],
    ["--plot", "a.png", "--no-plot"],
    ["--kernel", "sse4"],
])
def test_bad_options_are_refused(argv, capsys):
    with pytest.raises(SystemExit) as exc:
        cli.parse_args(argv)
    assert exc.value.code == 2
    capsys.readouterr()


# --------------------------------------------------------------------------
# Where a run happens: the kernel by the module's rule, the compiler
# --------------------------------------------------------------------------


@pytest.mark.parametrize("machine_name, flags, widest, kernel", [
    ("x86_64", machine.X86_64_V4, "auto", "avx512"),
    ("x86_64", machine.X86_64_V4, "avx2", "avx2"),
    ("x86_64", machine.X86_64_V4, "baseline", "baseline"),
    ("x86_64", machine.X86_64_V3, "auto", "avx2"),
    ("x86_64", machine.X86_64_V3, "avx512", "avx2"),  # the CPU has no AVX-512
    ("x86_64", machine.X86_64_V4 - {"avx512bw"}, "auto", "avx2"),
    ("x86_64", machine.X86_64_V3 - {"movbe"}, "auto", "baseline"),
    ("aarch64", machine.X86_64_V4, "auto", "baseline"),
])
def test_lane_kernel_follows_the_modules_rule(machine_name, flags, widest, kernel):
    assert machine.lane_kernel(widest, machine_name, set(flags)) == kernel


def test_the_modules_compiler_is_read_from_its_elf_file(tmp_path):
    import torvelin

    comments = machine.elf_comments(torvelin.__file__)
    assert any(c.startswith("GCC:") or "clang" in c for c in comments), comments
    data = pathlib.Path(torvelin.__file__).read_bytes()
    for name, content in [("text", b"not an ELF file"), ("cut", data[:100])]:
        (tmp_path / name).write_bytes(content)
        assert machine.elf_comments(tmp_path / name) == []


# --------------------------------------------------------------------------
# The scaling cases step about one grid cell
# --------------------------------------------------------------------------


@pytest.mark.parametrize("field_name", list(scaling.SCALING_FIELDS))
@pytest.mark.parametrize("n", [256, 1024])
def test_scaling_steps_are_about_one_cell(field_name, n):
    field, case, _ = scaling.SCALING_FIELDS[field_name]
    grid = scaling.square_grid(n, field)
    seeds_arr, h = case(grid)
    assert seeds_arr.shape == (scaling.SEEDS, 2)
    out = grid.trace(common.seed_list(seeds_arr), h, 1)
    moved = np.hypot(*(out[:, 1] - out[:, 0]).T) / grid.spacing
    assert 0.8 < np.mean(moved) < 1.25
    assert 0.3 < moved.min() and moved.max() < 3.0


# --------------------------------------------------------------------------
# Peak memory
# --------------------------------------------------------------------------


def _touch(nbytes, keep):
    block = np.ones(nbytes // 8)
    return block if keep else None


needs_clear_refs = pytest.mark.skipif(not os.access("/proc/self/clear_refs", os.W_OK),
                                      reason="needs a writable /proc/self/clear_refs")


@needs_clear_refs
@pytest.mark.measures_process_memory
def test_peak_reset_is_seen_to_work():
    assert memory.peak_reset_works()


@needs_clear_refs
@pytest.mark.measures_process_memory
@pytest.mark.parametrize("nbytes, keep", [(0, False), (96 * MIB, False), (48 * MIB, True)])
def test_peak_growth_sees_what_a_call_touched(nbytes, keep):
    result, rss_before, hwm_after, _ = memory.peak_growth(lambda: _touch(nbytes, keep))
    grown = hwm_after - rss_before
    assert nbytes - 2 * MIB <= grown <= nbytes + memory.SLACK_BYTES
    if keep:
        assert memory.rss() - rss_before >= nbytes - 2 * MIB
    del result


@pytest.mark.measures_process_memory
def test_huge_page_bytes_follow_numpys_advice():
    if scaling.thp_mode() != "madvise":
        pytest.skip("transparent huge pages are not in madvise mode here")
    setter = scaling.hugepage_advice_setter()
    if setter is None:
        pytest.skip("this NumPy cannot switch its huge-page advice")
    found = {}
    for advice in (True, False):
        previous = setter(advice)
        try:
            block = np.ones(64 * MIB // 8)  # past the allocator's threshold: a mapping of its own
        finally:
            setter(previous)
        found[advice], resident = memory.huge_page_bytes(block)
        assert resident >= block.nbytes
        del block
    assert found[False] == 0
    assert found[True] >= 32 * MIB


@needs_clear_refs
@pytest.mark.measures_process_memory
def test_memory_child_reports_one_trace():
    rec = scaling.run_memory_child(256, seeds=4, steps=10, timeout=60)
    assert rec["n"] == 256 and rec["method"] == "clear_refs"
    assert rec["field_bytes"] == 2 * 8 * 256 * 256
    assert rec["result_bytes"] == 4 * 11 * 2 * 8
    assert rec["hwm_after"] >= rec["rss_before"] > 0


# --------------------------------------------------------------------------
# The entry point
# --------------------------------------------------------------------------


@pytest.mark.skipif(SANITIZED, reason="the leak checker reports the peers' one-time "
                                      "allocations in the child process")
def test_run_py_from_another_directory(tmp_path):
    out = tmp_path / "figures.json"
    proc = subprocess.run(
        [sys.executable, str(HARNESS / "run.py"), "--quick", "--only", "overhead", "--no-plot",
         "--json", str(out)],
        cwd=tmp_path, capture_output=True, text=True, timeout=120, check=False,
        env={k: v for k, v in os.environ.items() if k != "PYTHONPATH"})
    assert proc.returncode == 0, proc.stderr
    assert "(d) call overhead" in proc.stdout and "(a) rotation" not in proc.stdout
    figures = json.loads(out.read_text())
    assert figures["options"]["only"] == ["overhead"]
    assert {r["workload"] for r in figures["results"]} == {"call_overhead"}


@pytest.mark.skipif(SANITIZED, reason="the leak checker reports matplotlib's one-time "
                                      "allocations at exit")
def test_plot_writes_a_png(tmp_path):
    plt = pytest.importorskip("matplotlib.pyplot")
    rows = [{"tool": t, "field": f, "n": n, "ns_per_step": 10.0 * k * n ** 0.1}
            for k, t in enumerate(("torvelin", "numba", "numba_prange"), 1)
            for f in scaling.SCALING_FIELDS for n in (256, 1024, 4096)]
    path = tmp_path / "scaling.png"
    report_mod.plot_scaling(plt, rows, path, "test")
    assert path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert path.stat().st_size > 10_000


# --------------------------------------------------------------------------
# The same-formula numba peers
# --------------------------------------------------------------------------


@pytest.fixture(scope="module")
def numba_tracers():
    numba = pytest.importorskip("numba")
    from benchmarks.peers import NumbaTracers

    tracers = NumbaTracers(numba)
    tracers.set_threads(2)
    tracers.warm_up()
    return tracers


def _lattice(count, lo=-0.97, hi=0.97):
    g = np.linspace(lo, hi, count)
    gx, gy = np.meshgrid(g, g)
    return np.column_stack([gx.ravel(), gy.ravel()])


@pytest.mark.parametrize("driver", ["serial", "parallel"])
@pytest.mark.parametrize("field, seeds_arr, h, steps", [
    (common.rotation_field, np.array([[0.5, 0.0], [0.95, 0.0], [2.0, 0.0], [0.0, -0.3]]),
     0.02, 300),
    (common.line_current_field, _lattice(9), 0.004, 600),  # many lines leave early
])
def test_numba_peers_match_torvelin_bit_for_bit(numba_tracers, driver, field, seeds_arr, h,
                                                steps):
    grid = common.Grid(-1.0, 1.0, -1.0, 1.0, 97, 89, field)
    ref = grid.trace(common.seed_list(seeds_arr), h, steps)
    taken = common.steps_from_padded(ref)
    assert taken.min() < steps  # some line ends early, or a seed is outside
    out = getattr(numba_tracers, driver)(grid, seeds_arr, h, steps)
    assert common.same_points(out, ref)
