"""examples/dask_scaleout.py: chunked tracing on a Dask cluster gives exactly
the list of one find_fieldlines call, whatever the chunking."""

import importlib.util
import pathlib
import types

import numpy as np
import pytest

import torvelin

EXAMPLE = pathlib.Path(__file__).resolve().parent.parent / "examples" / "dask_scaleout.py"

if not EXAMPLE.exists():
    pytest.skip(f"{EXAMPLE} is not there (tests run outside the source tree)",
                allow_module_level=True)
distributed = pytest.importorskip("distributed", reason="dask.distributed is not installed")
import dask  # noqa: E402  (distributed brings it)


def _load_example():
    spec = importlib.util.spec_from_file_location("dask_scaleout", EXAMPLE)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


scaleout = _load_example()


def assert_identical(got, expected):
    """Same entries in the same order, every value bit for bit."""
    assert len(got) == len(expected)
    for k, (pair_got, pair_expected) in enumerate(zip(got, expected)):
        assert len(pair_got) == 2
        for a, b in zip(pair_got, pair_expected):
            assert a.dtype == np.float64 and a.shape == b.shape, k
            assert np.array_equal(a.view(np.uint64), b.view(np.uint64)), k


def rotation_data(n=33):
    """B = (-y, x) plus a shear: loops near the centre, lines that leave further out."""
    x = np.linspace(-1.0, 1.0, n)
    y = np.linspace(-1.0, 1.0, n + 4)
    X, Y = np.meshgrid(x, y, indexing="ij")
    return types.SimpleNamespace(x1=x, x2=y, bx=-Y + 0.3 * Y**2, by=X)


def footpoints(count=23, seed=7):
    rng = np.random.default_rng(seed)
    x0 = rng.uniform(-1.3, 1.3, count)  # some outside the grid: they give no entry
    y0 = rng.uniform(-1.3, 1.3, count)
    return x0, y0


@pytest.fixture(scope="module", autouse=True)
def no_worker_profiler():
    """Dask's statistical profiler reads the stacks of other threads from a
    thread of its own, which once crashed a free-threaded interpreter (no
    torvelin frame on any stack); these tests need no profile."""
    with dask.config.set({"distributed.worker.profile.enabled": False}):
        yield


@pytest.fixture(scope="module")
def thread_client():
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=False,
                                       dashboard_address=":0")
    client = distributed.Client(cluster)
    yield client
    client.close()
    cluster.close()


OPTIONS = {
    "closing": {"step": 0.02, "ctol": 0.02, "numsteps": 800},
    "open": {"step": 0.02, "close": False, "numsteps": 300},
    "defaults": {},
    "no_steps": {"numsteps": 0},
}


@pytest.mark.parametrize("chunk_size", [1, 4, 7, 23, 100])
@pytest.mark.parametrize("options", list(OPTIONS))
def test_chunks_equal_single_call(thread_client, chunk_size, options):
    data = rotation_data()
    x0, y0 = footpoints()
    opts = OPTIONS[options]
    expected = torvelin.find_fieldlines(data, "bx", "by", x0=x0, y0=y0, **opts)
    got = scaleout.trace_distributed(thread_client, data, "bx", "by", x0, y0, chunk_size,
                                     **opts)
    assert_identical(got, expected)
    if options == "closing":  # the case must hold closed loops, open lines and dropped points
        closed = sum(a[0] == a[-1] and b[0] == b[-1] for a, b in expected)
        assert 0 < closed < len(expected) < len(x0)


def test_field_values_and_coordinates_given_directly(thread_client):
    """var1/var2 as arrays and x1/x2 as options, NaN in the field included."""
    data = rotation_data()
    bx = data.bx.copy()
    bx[10:12, 5:9] = np.nan
    x0, y0 = footpoints(40, seed=1)
    opts = {"x1": list(data.x1), "x2": data.x2, "step": 0.03, "ctol": 0.03}
    by = data.by.ravel(order="F").tolist()  # a flat list, index j * nx + i
    expected = torvelin.find_fieldlines(None, bx, by, x0=x0, y0=y0, **opts)
    got = scaleout.trace_distributed(thread_client, None, bx, by, x0, y0, 6,
                                     **opts)
    assert any(np.isnan(a).any() for pair in expected for a in pair)
    assert_identical(got, expected)


def test_worker_of_every_entry(thread_client):
    data = rotation_data()
    x0, y0 = footpoints(30, seed=2)
    lines, workers = scaleout.trace_distributed(thread_client, data, "bx", "by", x0, y0, 5,
                                                with_workers=True, step=0.05, ctol=0.05)
    assert len(workers) == len(lines)
    assert set(workers) <= set(thread_client.scheduler_info()["workers"])


@pytest.mark.parametrize("chunk_size", [0, -3])
def test_chunk_size_below_one_is_refused(thread_client, chunk_size):
    with pytest.raises(ValueError, match="chunk_size"):
        scaleout.trace_distributed(thread_client, rotation_data(), "bx", "by", [0.1], [0.1],
                                   chunk_size)


def test_worker_processes_send_identical_lines():
    """Separate worker processes: the grid and the lines are pickled on the way."""
    data = rotation_data(65)
    x0, y0 = footpoints(50, seed=4)
    opts = {"step": 0.01, "ctol": 0.01}
    expected = torvelin.find_fieldlines(data, "bx", "by", x0=x0, y0=y0, **opts)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=":0") as cluster, \
            distributed.Client(cluster) as client:
        got, workers = scaleout.trace_distributed(client, data, "bx", "by", x0, y0, 9,
                                                  with_workers=True, **opts)
    assert_identical(got, expected)
    assert len(set(workers)) == 2  # both processes traced chunks
