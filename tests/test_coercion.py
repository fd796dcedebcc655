"""Input coercion of find_fieldlines: which Python objects become float64 vectors,
in which order their values arrive, and which objects are refused and how.

Footpoint values are observed directly: in a vanishing field with numsteps=1
every footpoint inside the box gives the three-point line [s, s, s], so the
middle point of each entry is the footpoint exactly as it was coerced.
Coordinates and field components are checked differentially against the same
values given as a plain list of Python floats.
"""

import array
import math
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest

import torvelin
from conftest import (GENERIC, NOT_CONTIGUOUS, Data, NoRavel, expect_raise, float_error,
                      misaligned, same_lines)

ff = torvelin.find_fieldlines

ZERO4 = [0.0, 0.0, 0.0, 0.0]


def observe_footpoints(x0, y0):
    lines = ff(None, ZERO4, ZERO4, x1=[-1000.0, 1000.0], x2=[-1000.0, 1000.0],
               x0=x0, y0=y0, numsteps=1)
    xs, ys = [], []
    for lx, ly in lines:
        assert len(lx) == 3 and len(ly) == 3
        xs.append(float(lx[1]))
        ys.append(float(ly[1]))
    return xs, ys


# Each runner feeds `values` (four numbers) through one input slot of
# find_fieldlines.  The field is small so that lines take many steps and depend
# on every coordinate bound and every field value.
SLOW_X = [0.1] * 8
SLOW_Y = [0.05] * 8
FP_X = [1.5, 2.5, 3.9]
FP_Y = [0.2, 0.5, 0.9]


# The other axis is coarse so that the default step follows the spacing of the
# coordinates under test.
def run_x1(values):
    return ff(None, SLOW_X, SLOW_Y, x1=values, x2=[0.0, 5.0], x0=FP_X, y0=FP_Y)


def run_x2(values):
    return ff(None, SLOW_Y, SLOW_X, x1=[0.0, 5.0], x2=values, x0=FP_Y, y0=FP_X)


def run_data_x1(values):
    return ff(Data(x1=values, x2=[0.0, 5.0]), SLOW_X, SLOW_Y, x0=FP_X, y0=FP_Y)


FIELD_GRID = dict(x1=[0.0, 1.0], x2=[0.0, 1.0], x0=[0.1, 0.3, 0.5], y0=[0.1, 0.4, 0.2],
                  step=0.02)


def run_var1(values):
    return ff(None, values, [0.5, -0.25, 0.75, 0.3], **FIELD_GRID)


def run_var2(values):
    return ff(None, [0.5, -0.25, 0.75, 0.3], values, **FIELD_GRID)


def run_named_field(values):
    return ff(Data(bx=values), "bx", [0.5, -0.25, 0.75, 0.3], **FIELD_GRID)


DIFF_RUNNERS = {
    "x1": run_x1,
    "x2": run_x2,
    "data.x1": run_data_x1,
    "var1": run_var1,
    "var2": run_var2,
    "data.<name>": run_named_field,
}


class PlainSequence:
    """A sequence that is neither a list nor a tuple and has no `ravel`."""

    def __init__(self, items):
        self._items = list(items)

    def __len__(self):
        return len(self._items)

    def __getitem__(self, i):
        return self._items[i]


class Indexable:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class RavelMissing(AttributeError):
    pass


class ListHidingRavel(list):
    def __getattribute__(self, name):
        if name == "ravel":
            raise RavelMissing(name)
        return super().__getattribute__(name)


# Forms holding the four values 1, 2, 3, 4 (in this order once coerced).
FOUR = [1.0, 2.0, 3.0, 4.0]
FOUR_FORMS = [
    ("list-int", lambda: [1, 2, 3, 4]),
    ("list-float", lambda: [1.0, 2.0, 3.0, 4.0]),
    ("tuple", lambda: (1, 2.0, 3, 4.0)),
    ("range", lambda: range(1, 5)),
    ("bytes", lambda: bytes([1, 2, 3, 4])),
    ("bytearray", lambda: bytearray([1, 2, 3, 4])),
    ("array.array", lambda: array.array("d", [1, 2, 3, 4])),
    ("custom-sequence", lambda: PlainSequence([1, 2, 3, 4])),
    ("list-numpy-scalars", lambda: [np.int8(1), np.float32(2), np.uint64(3), np.float16(4)]),
    ("list-number-types", lambda: [True, Fraction(4, 2), Decimal("3"), Indexable(4)]),
    ("list-hiding-ravel", lambda: ListHidingRavel([1, 2, 3, 4])),
    ("int8", lambda: np.array([1, 2, 3, 4], dtype=np.int8)),
    ("int16", lambda: np.array([1, 2, 3, 4], dtype=np.int16)),
    ("int32", lambda: np.array([1, 2, 3, 4], dtype=np.int32)),
    ("int64", lambda: np.array([1, 2, 3, 4], dtype=np.int64)),
    ("uint8", lambda: np.array([1, 2, 3, 4], dtype=np.uint8)),
    ("uint16", lambda: np.array([1, 2, 3, 4], dtype=np.uint16)),
    ("uint32", lambda: np.array([1, 2, 3, 4], dtype=np.uint32)),
    ("uint64", lambda: np.array([1, 2, 3, 4], dtype=np.uint64)),
    ("float16", lambda: np.array([1, 2, 3, 4], dtype=np.float16)),
    ("float32", lambda: np.array([1, 2, 3, 4], dtype=np.float32)),
    ("float64", lambda: np.array([1, 2, 3, 4], dtype=np.float64)),
    ("longdouble", lambda: np.array([1, 2, 3, 4], dtype=np.longdouble)),
    ("big-endian-float64", lambda: np.array([1, 2, 3, 4], dtype=">f8")),
    ("strided-view", lambda: np.repeat(np.arange(1.0, 5.0), 2)[::2]),
    ("2d-column-major", lambda: np.array([[1, 3], [2, 4]])),
    ("2d-transposed-view", lambda: np.array([[1.0, 2.0], [3.0, 4.0]]).T),
    ("2d-fortran", lambda: np.asfortranarray(np.array([[1.0, 3.0], [2.0, 4.0]]))),
    ("3d", lambda: np.arange(1, 5).reshape((1, 2, 2), order="F")),
    ("column-vector", lambda: np.arange(1.0, 5.0).reshape(4, 1)),
    ("reversed-view", lambda: np.arange(4.0, 0.0, -1.0)[::-1]),
    ("misaligned", lambda: misaligned([1.0, 2.0, 3.0, 4.0])),
    ("read-only", lambda: np.frombuffer(np.arange(1.0, 5.0).tobytes())),
    ("subclass", lambda: np.arange(1.0, 5.0).view(type("Sub", (np.ndarray,), {}))),
    ("masked-unmasked", lambda: np.ma.masked_array([1.0, 2.0, 3.0, 4.0], mask=False)),
    # Without a reachable `ravel`: a float64 array is read directly, in logical
    # (row-major) order; any other dtype goes through iteration.
    ("no-ravel-1d", lambda: np.arange(1.0, 5.0).view(NoRavel)),
    ("no-ravel-2d-row-major", lambda: np.array([[1.0, 2.0], [3.0, 4.0]]).view(NoRavel)),
    ("no-ravel-2d-strided",
     lambda: np.array([[1.0, 9.0, 2.0], [3.0, 9.0, 4.0]])[:, ::2].view(NoRavel)),
    ("no-ravel-3d", lambda: np.array([[[1.0, 2.0]], [[3.0, 4.0]]]).view(NoRavel)),
    ("no-ravel-int", lambda: np.array([1, 2, 3, 4], dtype=np.int32).view(NoRavel)),
    ("no-ravel-big-endian", lambda: np.array([1, 2, 3, 4], dtype=">f8").view(NoRavel)),
    ("no-ravel-read-only", lambda: np.frombuffer(np.arange(1.0, 5.0).tobytes()).view(NoRavel)),
    ("no-ravel-2d-reversed",
     lambda: np.array([[4.0, 3.0], [2.0, 1.0]])[::-1, ::-1].view(NoRavel)),
    ("no-ravel-2d-misaligned-transposed",
     lambda: misaligned([1.0, 3.0, 2.0, 4.0]).reshape(2, 2).T.view(NoRavel)),
    ("no-ravel-broadcast", lambda: np.broadcast_to(np.arange(1.0, 5.0), (1, 4)).view(NoRavel)),
]

BOOL_FORMS = [
    ("list-bool", lambda: [True, False, True, True]),
    ("bool-array", lambda: np.array([True, False, True, True])),
]
BOOL_VALUES = [1.0, 0.0, 1.0, 1.0]

ALL_FORMS = [(n, f, FOUR) for n, f in FOUR_FORMS] + [(n, f, BOOL_VALUES) for n, f in BOOL_FORMS]


@pytest.mark.parametrize("name,make,expected", ALL_FORMS, ids=[f[0] for f in ALL_FORMS])
def test_footpoint_forms_give_their_values_in_order(name, make, expected):
    xs, _ = observe_footpoints(make(), [0.0] * len(expected))
    assert xs == expected
    _, ys = observe_footpoints([0.0] * len(expected), make())
    assert ys == expected


# Every form goes through var1; the other slots, which convert alike, take
# one form of each way of reading.
ONE_OF_EACH_WAY = {"list-int", "bytes", "custom-sequence", "list-hiding-ravel", "float64",
                   "2d-column-major", "bool-array", "no-ravel-1d", "no-ravel-2d-strided",
                   "no-ravel-int"}
assert ONE_OF_EACH_WAY <= {name for name, _, _ in ALL_FORMS}
DIFF_CASES = [pytest.param(slot, make, expected, id=f"{name}-{slot}")
              for slot in sorted(DIFF_RUNNERS) for name, make, expected in ALL_FORMS
              if slot == "var1" or name in ONE_OF_EACH_WAY]


@pytest.mark.parametrize("slot,make,expected", DIFF_CASES)
def test_coordinate_and_field_forms_match_float_lists(slot, make, expected):
    run = DIFF_RUNNERS[slot]
    reference = run(list(expected))
    assert same_lines(run(make()), reference)


@pytest.mark.parametrize("slot", sorted(DIFF_RUNNERS))
def test_differential_runners_see_every_value(slot):
    # The differential comparison above is only meaningful if a changed value
    # changes the lines.
    run = DIFF_RUNNERS[slot]
    reference = run(list(FOUR))
    # Coordinates only count through their number and first, second and last values.
    for k in ([0, 1, 3] if slot in ("x1", "x2", "data.x1") else range(4)):
        changed = list(FOUR)
        changed[k] += 0.5
        assert not same_lines(run(changed), reference), k


SCALAR_FORMS = [
    ("float64-scalar", lambda: np.float64(1.5), 1.5),
    ("float32-scalar", lambda: np.float32(1.5), 1.5),
    ("int64-scalar", lambda: np.int64(-7), -7.0),
    ("uint8-scalar", lambda: np.uint8(200), 200.0),
    ("bool-scalar", lambda: np.bool_(True), 1.0),
    ("0d-array", lambda: np.array(2.5), 2.5),
    ("1x1-array", lambda: np.array([[2.5]]), 2.5),
    ("no-ravel-0d", lambda: np.array(2.5).view(NoRavel), 2.5),
    ("single-item-list", lambda: [-3], -3.0),
]


@pytest.mark.parametrize("name,make,expected", SCALAR_FORMS, ids=[f[0] for f in SCALAR_FORMS])
def test_numpy_scalar_gives_one_value(name, make, expected):
    xs, ys = observe_footpoints(make(), make())
    assert xs == [expected]
    assert ys == [expected]


@pytest.mark.parametrize("empty", [
    [], (), range(0), b"", np.array([]), np.zeros((0, 3)), np.array([], dtype=np.int64),
    np.array([]).view(NoRavel), misaligned([]).view(NoRavel),
], ids=["list", "tuple", "range", "bytes", "array", "array-0x3", "int-array", "no-ravel",
        "no-ravel-misaligned"])
def test_empty_inputs_give_empty_vectors(empty):
    assert observe_footpoints(empty, []) == ([], [])
    assert observe_footpoints([], empty) == ([], [])


def test_two_dimensional_field_is_flattened_column_major():
    nx, ny = 5, 3
    x = np.linspace(0.0, 2.0, nx)
    y = np.linspace(0.0, 1.0, ny)
    X, Y = np.meshgrid(x, y, indexing="ij")
    bx2d = 1.0 + 0.7 * Y + 0.2 * X * X
    by2d = 0.3 - 0.5 * X + 0.9 * Y * Y
    assert bx2d.shape == (nx, ny)
    flat_bx = [float(bx2d[i, j]) for j in range(ny) for i in range(nx)]
    flat_by = [float(by2d[i, j]) for j in range(ny) for i in range(nx)]
    opts = dict(x1=x, x2=y, x0=[0.1, 0.9, 1.3], y0=[0.1, 0.5, 0.7], step=0.01)

    from_2d = ff(None, bx2d, by2d, **opts)
    from_flat = ff(None, flat_bx, flat_by, **opts)
    assert len(from_flat) == 3
    assert same_lines(from_2d, from_flat)
    by_name = ff(Data(bx=bx2d, by=by2d), "bx", "by", **opts)
    assert same_lines(by_name, from_flat)
    # A row-major reading of the same arrays would trace other lines.
    row_major = ff(None, bx2d.ravel("C").tolist(), by2d.ravel("C").tolist(), **opts)
    assert not same_lines(row_major, from_flat)


# --- refusals -------------------------------------------------------------


class Unfloatable:
    def __float__(self):
        raise ValueError("no float for you")


def _gen():
    yield 1.0
    yield 2.0


REFUSED = [
    ("float", lambda: 1.5),
    ("float-subclass", lambda: type("F", (float,), {})(1.5)),
    ("int", lambda: 3),
    ("bool", lambda: True),
    ("str", lambda: "ab"),
    ("str-of-digits", lambda: "12"),
    ("dict", lambda: {0: 1.0, 1: 2.0}),
    ("set", lambda: {1.0, 2.0}),
    ("frozenset", lambda: frozenset([1.0, 2.0])),
    ("generator", lambda: _gen()),
    ("iterator", lambda: iter([1.0, 2.0])),
    ("nested-list", lambda: [[1, 2], [3, 4]]),
    ("list-with-str", lambda: [1, "a"]),
    ("list-with-none", lambda: [1.0, None]),
    ("list-with-complex", lambda: [1.0, 2j]),
    ("list-with-huge-int", lambda: [1.0, 2 ** 1100]),
    ("list-with-failing-float", lambda: [Unfloatable()]),
    ("tuple-of-str", lambda: ("1", "2")),
    ("object", lambda: object()),
]
REFUSED_WITH_NONE = REFUSED + [("none", lambda: None)]


def _refusal_call(slot, value):
    if slot == "x0":
        return lambda: ff(None, ZERO4, ZERO4, x1=[0.0, 1.0], x2=[0.0, 1.0], x0=value, y0=[0.5])
    if slot == "x2":
        return lambda: ff(None, ZERO4, ZERO4, x1=[0.0, 1.0], x2=value, x0=[0.5], y0=[0.5])
    if slot == "data.x1":
        return lambda: ff(Data(x1=value, x2=[0.0, 1.0]), ZERO4, ZERO4, x0=[0.5], y0=[0.5])
    if slot == "var1":
        return lambda: ff(None, value, ZERO4, x1=[0.0, 1.0], x2=[0.0, 1.0], x0=[0.5], y0=[0.5])
    if slot == "data.<name>":
        return lambda: ff(Data(bx=value), ZERO4, "bx", x1=[0.0, 1.0], x2=[0.0, 1.0],
                          x0=[0.5], y0=[0.5])
    raise AssertionError(slot)


REFUSAL_CASES = [
    pytest.param(slot, make, id=f"{name}-{slot}")
    for name, make in REFUSED_WITH_NONE
    for slot in ("x0", "x2", "data.x1", "var1", "data.<name>")
    # x0 and var1 take every value, the slots that convert alike a few.
    if (slot in ("x0", "var1") or name in ("float", "str", "nested-list", "list-with-none", "none"))
    # None for a keyword option means "absent"; a str for var1 is a field name.
    and not (name == "none" and slot in ("x0", "x2"))
    and not (name.startswith("str") and slot == "var1")
]


@pytest.mark.parametrize("slot,make", REFUSAL_CASES)
def test_refused_inputs_raise_the_generic_type_error(slot, make):
    with pytest.raises(TypeError) as info:
        _refusal_call(slot, make())()
    assert type(info.value) is TypeError
    assert info.value.args == (GENERIC,)


@pytest.mark.parametrize("value,bad_item", [
    (np.array(["1.0", "2.0"]), "1.0"),
    (np.array(["a", "b"]), "a"),
    (np.ma.masked_array([1.0, 2.0], mask=[False, True]), None),
    (np.array([1.0, 2j]), 2j),
    (np.array([1.0, None], dtype=object), None),
], ids=["digit-strings", "strings", "masked", "complex", "object-none"])
def test_numpy_item_errors_pass_through_unchanged(value, bad_item):
    expect_raise(lambda: ff(None, ZERO4, ZERO4, x1=[0.0, 1.0], x2=[0.0, 1.0], x0=value,
                            y0=[0.5, 0.5]),
                 float_error(bad_item))


def test_failing_item_conversion_in_numpy_array_is_raised_as_is():
    exc = ValueError("no float for you")

    class Raising:
        def __float__(self):
            raise exc

    with pytest.raises(ValueError) as info:
        ff(None, ZERO4, ZERO4, x1=[0.0, 1.0], x2=[0.0, 1.0],
           x0=np.array([Raising()], dtype=object), y0=[0.5])
    assert info.value is exc


class Custom(Exception):
    pass


class RavelRaises:
    def __init__(self, exc):
        self.exc = exc

    def ravel(self, *args, **kwargs):
        raise self.exc


class RavelLookupRaises:
    def __init__(self, exc):
        self.exc = exc

    def __getattr__(self, name):
        if name == "ravel":
            raise self.exc
        raise AttributeError(name)


class ToListRaises:
    def __init__(self, exc):
        self.exc = exc

    def ravel(self, order):
        return self

    def tolist(self):
        raise self.exc


@pytest.mark.parametrize("make_obj,exc", [
    (RavelRaises, Custom("ravel failed")),
    (RavelRaises, TypeError("ravel type error")),
    (RavelRaises, AttributeError("ravel attr error")),
    (RavelLookupRaises, Custom("lookup failed")),
    (RavelLookupRaises, KeyError("ravel")),
    (ToListRaises, Custom("tolist failed")),
], ids=["ravel-custom", "ravel-typeerror", "ravel-attributeerror", "lookup-custom",
        "lookup-keyerror", "tolist-custom"])
@pytest.mark.parametrize("slot", ["x0", "var1"])
def test_exceptions_from_ravel_path_are_raised_unchanged(make_obj, exc, slot):
    with pytest.raises(type(exc)) as info:
        _refusal_call(slot, make_obj(exc))()
    assert info.value is exc


def test_attribute_error_subclass_on_lookup_means_no_ravel():
    seq = ListHidingRavel([3.0, -2.0])
    with pytest.raises(RavelMissing):
        seq.ravel
    assert observe_footpoints(seq, [0.0, 0.0])[0] == [3.0, -2.0]


class Holder:
    class NotASequence:
        pass


class ToListReturns:
    def __init__(self, result):
        self.result = result

    def ravel(self, order):
        return self

    def tolist(self):
        return self.result


@pytest.mark.parametrize("result,message", [
    ("ab", "Can't extract `str` to `Vec`"),
    ("", "Can't extract `str` to `Vec`"),
    (type("S", (str,), {})("12"), "Can't extract `str` to `Vec`"),
    (5, "'int' object is not an instance of 'Sequence'"),
    (2.5, "'float' object is not an instance of 'Sequence'"),
    (None, "'None' is not an instance of 'Sequence'"),
    ({1.0, 2.0}, "'set' object is not an instance of 'Sequence'"),
    ({0: 1.0}, "'dict' object is not an instance of 'Sequence'"),
    (Holder.NotASequence(), "'Holder.NotASequence' object is not an instance of 'Sequence'"),
], ids=["str", "empty-str", "str-subclass", "int", "float", "none", "set", "dict", "qualname"])
def test_tolist_result_that_is_not_a_sequence(result, message):
    with pytest.raises(TypeError) as info:
        observe_footpoints(ToListReturns(result), [0.0])
    assert type(info.value) is TypeError
    assert info.value.args == (message,)


@pytest.mark.parametrize("result,expected", [
    ([1, 2.5], [1.0, 2.5]),
    ((True, -4), [1.0, -4.0]),
    (range(2), [0.0, 1.0]),
    (PlainSequence([7, 8]), [7.0, 8.0]),
], ids=["list", "tuple", "range", "custom-sequence"])
def test_tolist_result_sequences_are_accepted(result, expected):
    assert observe_footpoints(ToListReturns(result), [0.0, 0.0])[0] == expected


def test_tolist_items_report_their_own_errors():
    # Unlike a plain list (generic message), an item error on the ravel path
    # comes through as the interpreter reports it.
    with pytest.raises(TypeError) as info:
        observe_footpoints(ToListReturns([1.0, "a"]), [0.0, 0.0])
    assert info.value.args == float_error("a").args


def test_ravel_is_asked_for_column_major_order_then_tolist_on_its_result():
    calls = []

    class Flat:
        def tolist(self):
            calls.append(("tolist",))
            return [0.25, 0.75]

    class Spy:
        def ravel(self, *args, **kwargs):
            calls.append(("ravel", args, kwargs))
            return Flat()

        def tolist(self):
            raise AssertionError("tolist must be called on the flattened object")

    assert observe_footpoints(Spy(), [0.0, 0.0])[0] == [0.25, 0.75]
    assert calls == [("ravel", ("F",), {}), ("tolist",)]


@pytest.mark.parametrize("make, expected", [
    (lambda: np.arange(1.0, 7.0)[::2], TypeError(NOT_CONTIGUOUS)),
    (lambda: np.arange(1.0, 5.0)[::-1], TypeError(NOT_CONTIGUOUS)),
    (lambda: misaligned([1.0, 2.0, 3.0]), TypeError(NOT_CONTIGUOUS)),
    (lambda: np.ndarray((3,), np.float64, bytearray(25), offset=1), TypeError(NOT_CONTIGUOUS)),
    (lambda: np.broadcast_to(0.5, (3,)), TypeError(NOT_CONTIGUOUS)),
    (lambda: np.broadcast_to(0.5, (1 << 40,)), TypeError(NOT_CONTIGUOUS)),
    pytest.param(lambda: np.broadcast_to(0.5, (1 << 30, 1 << 29)), MemoryError,
                 marks=pytest.mark.exhausts_memory),
    (lambda: np.array([[1.0, 2.0], [3.0, 4.0]], dtype=">f8"), TypeError(GENERIC)),
], ids=["strided", "reversed", "misaligned-frombuffer", "misaligned-ndarray", "broadcast",
        "huge-broadcast-1d", "huge-broadcast-2d", "big-endian-2d"])
def test_arrays_without_ravel_that_cannot_be_read(make, expected):
    call = _refusal_call("x0", make().view(NoRavel))
    if expected is MemoryError:
        with pytest.raises(MemoryError):
            call()
    else:
        expect_raise(call, expected)


# --- fields given by name ---------------------------------------------------


FIELD_ARGS = dict(x1=[0.0, 1.0], x2=[0.0, 1.0], x0=[0.3, 0.6], y0=[0.2, 0.4], step=0.05)
BX = [0.5, 0.7, 0.2, 0.9]
BY = [0.1, -0.3, 0.4, 0.2]


def test_field_names_are_attributes_of_data():
    by_value = ff(None, BX, BY, **FIELD_ARGS)
    assert len(by_value) == 2
    data = Data(bx=np.array(BX), by=tuple(BY))
    assert same_lines(ff(data, "bx", "by", **FIELD_ARGS), by_value)
    named = type("Name", (str,), {})
    assert same_lines(ff(data, named("bx"), "by", **FIELD_ARGS), by_value)
    # The names decide which attribute is which component.
    swapped = Data(bx=tuple(BY), by=np.array(BX))
    assert same_lines(ff(swapped, "by", "bx", **FIELD_ARGS), by_value)


@pytest.mark.parametrize("which", ["var1", "var2"])
def test_missing_field_attribute_raises_attribute_error_unchanged(which):
    data = Data(bx=BX, by=BY)
    names = {"var1": "bx", "var2": "by"}
    names[which] = "nope"
    with pytest.raises(AttributeError) as expected:
        getattr(data, "nope")
    with pytest.raises(AttributeError) as info:
        ff(data, names["var1"], names["var2"], **FIELD_ARGS)
    assert type(info.value) is AttributeError
    assert str(info.value) == str(expected.value)


def test_field_lookup_errors_are_the_objects_own():
    exc = Custom("lookup of field failed")
    attr_exc = AttributeError("no such field here")

    class Source:
        def __getattr__(self, name):
            raise attr_exc if name == "missing" else exc

    for name, raised in (("missing", attr_exc), ("bx", exc)):
        with pytest.raises(type(raised)) as info:
            ff(Source(), name, BY, **FIELD_ARGS)
        assert info.value is raised


def test_field_name_that_cannot_be_encoded():
    with pytest.raises(UnicodeEncodeError):
        ff(Data(bx=BX), "\ud800", BY, **FIELD_ARGS)


class Untouchable:
    def __getattribute__(self, name):
        raise AssertionError(f"data must not be consulted (asked for {name!r})")


@pytest.mark.parametrize("make_data", [lambda: None, Untouchable], ids=["none", "untouchable"])
@pytest.mark.parametrize("make_bx", [
    lambda: list(BX), lambda: tuple(BX), lambda: np.array(BX), lambda: np.array(BX).reshape(2, 2, order="F"),
], ids=["list", "tuple", "array", "2d"])
def test_field_values_never_touch_data(make_data, make_bx):
    reference = ff(None, BX, BY, **FIELD_ARGS)
    assert len(reference) == 2
    assert same_lines(ff(make_data(), make_bx(), np.array(BY), **FIELD_ARGS), reference)


def test_bytes_as_field_are_values_not_names():
    # 4 bytes on a 2 x 2 grid: values 1, 2, 3, 4, never an attribute name.
    reference = ff(None, [1.0, 2.0, 3.0, 4.0], BY, **FIELD_ARGS)
    assert same_lines(ff(Untouchable(), b"\x01\x02\x03\x04", BY, **FIELD_ARGS), reference)


# --- special values and copying ---------------------------------------------


def test_nan_footpoint_is_copied_and_counts_as_inside():
    lines = ff(None, ZERO4, ZERO4, x1=[-1.0, 1.0], x2=[-1.0, 1.0],
               x0=np.array([np.nan, 0.5]), y0=[0.25, np.nan], numsteps=1)
    assert len(lines) == 2
    assert math.isnan(lines[0][0][1]) and lines[0][1][1] == 0.25
    assert lines[1][0][1] == 0.5 and math.isnan(lines[1][1][1])


@pytest.mark.parametrize("x1", [[0.0, 1.0, math.inf], np.array([0.0, 1.0, np.inf]), (0.0, 1.0, float("inf"))],
                         ids=["list", "array", "tuple"])
def test_infinite_coordinate_and_footpoint_are_copied(x1):
    # An infinite last coordinate keeps far footpoints inside, even an infinite
    # one (inf > inf is false); the largest finite value would not.
    lines = ff(None, [0.0] * 6, [0.0] * 6, x1=x1, x2=[0.0, 1.0], x0=[1e300, 1e300, math.inf],
               y0=[0.5, 2.0, 0.25], numsteps=1)
    assert len(lines) == 2
    assert list(lines[0][0]) == [1e300] * 3
    assert list(lines[0][1]) == [0.5] * 3
    assert lines[1][0][1] == math.inf and lines[1][1][1] == 0.25


@pytest.mark.parametrize("value", [math.inf, -math.inf])
def test_infinite_field_value_is_copied(value):
    # With a zero step an infinite field turns the next point into NaN
    # (0 * inf); a finite field, however large, would keep the footpoint.
    common = dict(x1=[0.0, 1.0], x2=[0.0, 1.0], x0=[0.5], y0=[0.5], step=0.0, numsteps=1)
    finite = ff(None, [1e300] * 4, ZERO4, **common)
    assert list(finite[0][0]) == [0.5] * 3
    lines = ff(None, np.full(4, value), ZERO4, **common)
    xs = lines[0][0]
    assert len(xs) == 3 and xs[1] == 0.5
    assert math.isnan(xs[0]) and math.isnan(xs[2])


def test_nan_field_values_flow_into_the_line():
    lines = ff(None, [math.nan] * 4, ZERO4, x1=[0.0, 1.0], x2=[0.0, 1.0], x0=[0.5],
               y0=[0.5], numsteps=2)
    xs, ys = lines[0]
    assert len(xs) == 5 and xs[2] == 0.5 and ys[2] == 0.5
    assert all(math.isnan(v) for i, v in enumerate(xs) if i != 2)


def test_inputs_are_copied_and_left_unchanged():
    x = np.linspace(0.0, 1.0, 3)
    y = np.linspace(0.0, 1.0, 4)
    bx = np.linspace(0.2, 0.8, 12).reshape(3, 4)
    by = np.linspace(-0.3, 0.4, 12)
    x0 = np.array([0.2, 0.7])
    y0 = [0.3, 0.6]
    inputs = [x, y, bx, by, x0]
    before = [a.copy() for a in inputs]
    flags = [(a.flags.writeable, a.flags.c_contiguous, a.flags.f_contiguous) for a in inputs]
    lines = ff(None, bx, by, x1=x, x2=y, x0=x0, y0=y0, step=0.05)
    assert len(lines) == 2
    snapshot = [(lx.copy(), ly.copy()) for lx, ly in lines]
    for a, b, f in zip(inputs, before, flags):
        assert np.array_equal(a, b)
        assert (a.flags.writeable, a.flags.c_contiguous, a.flags.f_contiguous) == f
    for a in inputs:
        a[...] = 123.0
    y0[:] = [9.0, 9.0]
    for (lx, ly), (sx, sy) in zip(lines, snapshot):
        assert lx.tobytes() == sx.tobytes() and ly.tobytes() == sy.tobytes()
        for a in inputs:
            assert not np.shares_memory(lx, a) and not np.shares_memory(ly, a)
