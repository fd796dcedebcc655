"""The shortcuts taken for speed give exactly the bits of the general paths."""
import types
import zlib

import numpy as np
import pytest

import torvelin

from reference import find_fieldlines as reference_find_fieldlines

INTEGER_TYPES = [np.int8, np.uint8, np.int16, np.uint16, np.int32, np.uint32, np.int64,
                 np.uint64, np.longlong, np.ulonglong]
FLOAT_TYPES = [np.float16, np.float32, np.float64]
SHAPES = [(), (1,), (9,), (4, 5), (1, 7), (3, 2, 4), (0,), (2, 0)]


class Subclass(np.ndarray):
    """Takes the general path: ravel("F").tolist() and a float per item."""


def random_values(rng, dtype, shape):
    if dtype is np.bool_:
        return rng.integers(0, 2, size=shape).astype(bool)
    if np.issubdtype(dtype, np.integer):
        info = np.iinfo(dtype)
        values = rng.integers(info.min, info.max, size=shape, dtype=dtype, endpoint=True)
        if values.size:
            values.flat[0] = info.max  # 2**64 - 1 and 2**63 - 1 round up
        return values
    exponents = rng.integers(-8, 4 if dtype is np.float16 else 8, size=shape)
    values = (rng.normal(size=shape) * 10.0 ** exponents).astype(dtype)
    specials = [np.nan, -0.0, np.inf, -np.inf, np.finfo(dtype).tiny / 4]
    for k, special in enumerate(specials[: values.size]):
        values.flat[k * 3 % values.size] = special
    return values


def views_of(values):
    yield values
    if values.ndim >= 1:
        yield values[::-1]
        yield values[::2]
    if values.ndim >= 2:
        yield values.T
        yield np.asfortranarray(values)
        yield values[:, ::-1]


def coerced_footpoints(values):
    """The footpoints as find_fieldlines read them: with no step and no field,
    each footpoint is the middle point of its three-point line."""
    flat = np.asarray(values).size
    ds = types.SimpleNamespace(x1=[-np.inf, np.inf], x2=[-np.inf, np.inf])
    lines = torvelin.find_fieldlines(ds, [0.0] * 4, [0.0] * 4, x0=values, y0=np.zeros(flat),
                                     numsteps=1, step=0.0)
    return np.array([x[1] for x, _ in lines])


@pytest.mark.parametrize("dtype", [np.bool_] + INTEGER_TYPES + FLOAT_TYPES)
@pytest.mark.parametrize("shape", SHAPES)
def test_plain_arrays_read_like_the_general_path(dtype, shape):
    rng = np.random.default_rng(zlib.crc32(repr((np.dtype(dtype).str, shape)).encode()))
    for view in views_of(random_values(rng, dtype, shape)):
        fast = coerced_footpoints(view)
        general = coerced_footpoints(view.view(Subclass))
        expected = np.array([float(v) for v in view.ravel("F").tolist()])
        assert fast.view(np.uint64).tolist() == general.view(np.uint64).tolist()
        assert fast.view(np.uint64).tolist() == expected.view(np.uint64).tolist()


def test_big_endian_and_misaligned_arrays_read_like_the_general_path():
    rng = np.random.default_rng(5)
    values = rng.normal(size=(3, 4))
    raw = bytearray(values.size * 8 + 1)
    misaligned = np.ndarray(values.shape, dtype=np.float64, buffer=raw, offset=1)
    misaligned[...] = values
    for view in [values.astype(">f8"), values.astype(">i4"), misaligned]:
        assert (coerced_footpoints(view).view(np.uint64).tolist()
                == coerced_footpoints(view.view(Subclass)).view(np.uint64).tolist())


def rotation_data(n, perturbation, rng):
    xs = np.linspace(-1.0, 1.0, n)
    X, Y = np.meshgrid(xs, xs, indexing="ij")
    bx = -Y + perturbation * rng.normal(size=X.shape)
    by = X + perturbation * rng.normal(size=X.shape)
    return types.SimpleNamespace(x1=xs, x2=xs, bx=bx, by=by)


@pytest.mark.parametrize("seed", range(6))
def test_lane_tracing_of_many_footpoints_matches_the_model(seed):
    # Many footpoints of very different line lengths keep lanes retiring and
    # refilling; every line must still be the one traced on its own.
    rng = np.random.default_rng(seed)
    ds = rotation_data(int(rng.integers(5, 30)), 0.3 * rng.random(), rng)
    count = int(rng.integers(1, 40))
    x0 = rng.uniform(-1.2, 1.2, size=count).tolist()
    y0 = rng.uniform(-1.2, 1.2, size=count).tolist()
    options = dict(step=float(rng.choice([-1, 1]) * rng.uniform(0.01, 0.2)),
                   numsteps=int(rng.integers(0, 400)), ctol=float(rng.uniform(0.0, 0.1)),
                   maxstep=float(rng.uniform(0.05, 2.0)))
    got = torvelin.find_fieldlines(ds, "bx", "by", x0=x0, y0=y0, **options)
    flat = dict(bx=ds.bx.ravel("F").tolist(), by=ds.by.ravel("F").tolist())
    want = reference_find_fieldlines(ds.x1.tolist(), ds.x2.tolist(), flat["bx"], flat["by"],
                                     x0, y0, **options)
    assert len(got) == len(want)
    for (gx, gy), (wx, wy) in zip(got, want):
        assert gx.view(np.uint64).tolist() == np.array(wx).view(np.uint64).tolist()
        assert gy.view(np.uint64).tolist() == np.array(wy).view(np.uint64).tolist()


def field_forms(grid_values):
    """The same nx-by-ny component (indexed [i, j]) in every form a caller
    might pass it, each with the values find_fieldlines must read from it."""
    nx, ny = grid_values.shape
    flat = grid_values.ravel("F")
    bigger = np.zeros((2 * nx, 3 * ny))
    bigger[::2, ::3] = grid_values
    reversed_base = np.ascontiguousarray(grid_values[::-1, ::-1])
    return {
        "c-ordered": grid_values,
        "fortran-ordered": np.asfortranarray(grid_values),
        "flat": flat,
        "strided": bigger[::2, ::3],
        "reversed strides": reversed_base[::-1, ::-1],
        "float32": grid_values.astype(np.float32),
        "int16": np.round(grid_values * 4).astype(np.int16),
        "list": flat.tolist(),
        "subclass": grid_values.view(Subclass),
    }


FORMS = list(field_forms(np.zeros((2, 3))))


@pytest.mark.parametrize("by_form", FORMS)
@pytest.mark.parametrize("bx_form", FORMS)
def test_field_components_in_any_pairing_of_forms_read_like_lists(bx_form, by_form):
    # A grid with nx != ny, so reading either component transposed shows,
    # and fewer steps than grid points, so that the forms that qualify are
    # read in place rather than copied.
    rng = np.random.default_rng(zlib.crc32(f"{bx_form}/{by_form}".encode()))
    nx, ny = 70, 110
    xs, ys = np.linspace(-1.0, 1.0, nx), np.linspace(-1.5, 1.5, ny)
    X, Y = np.meshgrid(xs, ys, indexing="ij")
    bx = field_forms(-Y + 0.4 * rng.normal(size=X.shape))[bx_form]
    by = field_forms(X + 0.4 * rng.normal(size=X.shape))[by_form]
    as_list = lambda values: [float(v) for v in np.asarray(values).ravel("F").tolist()]
    x0 = rng.uniform(-1.0, 1.0, size=40).tolist()
    y0 = rng.uniform(-1.5, 1.5, size=40).tolist()
    options = dict(step=0.01, numsteps=80)
    got = torvelin.find_fieldlines(types.SimpleNamespace(x1=xs, x2=ys, bx=bx, by=by),
                                   "bx", "by", x0=x0, y0=y0, **options)
    want = torvelin.find_fieldlines(None, as_list(bx), as_list(by), x1=xs.tolist(),
                                    x2=ys.tolist(), x0=x0, y0=y0, **options)
    assert len(got) == len(want) > 0
    for (gx, gy), (wx, wy) in zip(got, want):
        assert gx.view(np.uint64).tolist() == wx.view(np.uint64).tolist()
        assert gy.view(np.uint64).tolist() == wy.view(np.uint64).tolist()


@pytest.mark.parametrize("bx_size, by_size", [(76, 77), (77, 76), (76, 76), (78, 77)])
def test_field_components_of_the_wrong_size_are_reported_with_both_sizes(bx_size, by_size):
    # A component of the right size is an (nx, ny) array, read in place.
    component = lambda size: np.ones((7, 11)) if size == 77 else np.ones(size)
    ds = types.SimpleNamespace(x1=np.linspace(0, 1, 7), x2=np.linspace(0, 1, 11),
                               bx=component(bx_size), by=component(by_size))
    message = (f"Field arrays must have length nx * ny (got bx={bx_size}, by={by_size}, "
               "nx*ny=77)")
    with pytest.raises(ValueError) as caught:
        torvelin.find_fieldlines(ds, "bx", "by", x0=[0.5], y0=[0.5])
    assert str(caught.value) == message
