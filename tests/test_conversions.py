"""Conversion of bound arguments to native values, and the argument-name prefix."""

import collections
import operator
import types

import numpy as np
import pytest

from conftest import Raising, as_double, interpreter_error
from torvelin import find_fieldlines, trace_fieldlines

TRACE_NAMES = ["xmin", "xmax", "ymin", "ymax", "nx", "ny", "bx", "by", "seeds", "step", "max_steps"]
FLOAT_PARAMS = ["xmin", "xmax", "ymin", "ymax", "step"]
SIZE_PARAMS = ["nx", "ny", "max_steps"]
ARRAY_PARAMS = ["bx", "by"]

def float_error(value):
    return interpreter_error(as_double, value)


def trace_kwargs(**overrides):
    """Valid keyword arguments on the unit square with a zero 2 x 2 field."""
    kwargs = dict(
        xmin=0.0, xmax=1.0, ymin=0.0, ymax=1.0, nx=2, ny=2,
        bx=np.zeros(4), by=np.zeros(4), seeds=[(0.5, 0.5)], step=0.1, max_steps=1,
    )
    kwargs.update(overrides)
    return kwargs


def call_trace(**overrides):
    kwargs = trace_kwargs(**overrides)
    return trace_fieldlines(*[kwargs[name] for name in TRACE_NAMES])


def small_data():
    return types.SimpleNamespace(
        x1=[0.0, 1.0, 2.0], x2=[0.0, 1.0], bx=np.zeros((3, 2)), by=np.zeros((3, 2))
    )


def call_find(**options):
    return find_fieldlines(small_data(), "bx", "by", x0=[], y0=[], **options)


def check_exact(excinfo, exc_type, message):
    assert excinfo.type is exc_type
    assert excinfo.value.args == (message,)


class FloatSub(float):
    pass


class IntSub(int):
    pass


class WithFloat:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class WithIndex:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Holder:
    class Nested:
        pass


class MyTypeError(TypeError):
    pass


class StrSub(str):
    pass


class ArraySub(np.ndarray):
    pass


# --- float64 ----------------------------------------------------------------

@pytest.mark.parametrize(
    "value",
    [-1, FloatSub(-1.0), np.float64(-1.0), np.float32(-1.0), np.int64(-1), WithFloat(-1.0), WithIndex(-1)],
    ids=["int", "float-subclass", "np-float64", "np-float32", "np-int64", "__float__", "__index__"],
)
def test_float_accepts_convertible_values(value):
    # xmin converts to -1.0: a seed exactly on the new left edge is inside,
    # one just beyond it is outside.
    beyond = np.nextafter(-1.0, -2.0)
    out = call_trace(xmin=value, seeds=[(-1.0, 0.5), (beyond, 0.5)], max_steps=0)
    assert out[0, 0].tolist() == [-1.0, 0.5]
    assert np.isnan(out[1]).all()


@pytest.mark.parametrize(
    "value, expected",
    [(1, 1.0), (True, 1.0), (FloatSub(0.5), 0.5), (np.float32(0.25), 0.25), (WithFloat(0.125), 0.125), (WithIndex(2), 2.0)],
    ids=["int", "bool", "float-subclass", "np-float32", "__float__", "__index__"],
)
def test_step_value_converts(value, expected):
    # Uniform field (1, 0) on a wide grid: one step moves x by exactly `step`.
    ones = np.ones(4)
    out = call_trace(xmin=0.0, xmax=8.0, bx=ones, by=np.zeros(4), seeds=[(1.0, 0.5)], step=value, max_steps=1)
    assert out[0].tolist() == [[1.0, 0.5], [1.0 + expected, 0.5]]


@pytest.mark.parametrize("name", FLOAT_PARAMS)
@pytest.mark.parametrize(
    "value", ["1", None, 1j, b"1", WithFloat("1.0"), WithIndex(1.0)],
    ids=["str", "None", "complex", "bytes", "__float__-non-float", "__index__-non-int"],
)
def test_float_type_error_is_prefixed(name, value):
    original = float_error(value)
    assert type(original) is TypeError
    with pytest.raises(TypeError) as excinfo:
        call_trace(**{name: value})
    check_exact(excinfo, TypeError, f"argument '{name}': {original}")


@pytest.mark.parametrize("name", FLOAT_PARAMS)
def test_float_overflow_passes_without_prefix(name):
    huge = 10**400
    original = float_error(huge)
    with pytest.raises(OverflowError) as excinfo:
        call_trace(**{name: huge})
    check_exact(excinfo, OverflowError, str(original))
    assert "argument" not in str(excinfo.value)


# --- unsigned size ----------------------------------------------------------

@pytest.mark.parametrize("name", SIZE_PARAMS)
@pytest.mark.parametrize(
    "value", [2.0, "2", None, np.float64(2.0), WithIndex(2.0), WithFloat(2.0)],
    ids=["float", "str", "None", "np-float64", "__index__-non-int", "__float__-only"],
)
def test_size_type_error_is_prefixed(name, value):
    original = interpreter_error(operator.index, value)
    with pytest.raises(TypeError) as excinfo:
        call_trace(**{name: value})
    check_exact(excinfo, TypeError, f"argument '{name}': {original}")
    assert str(excinfo.value).startswith(f"argument '{name}': ")


@pytest.mark.parametrize("name", SIZE_PARAMS)
@pytest.mark.parametrize(
    "value, message",
    [
        (-1, "can't convert negative int to unsigned"),
        (-(2**70), "can't convert negative int to unsigned"),
        (2**64, "int too big to convert"),
        (WithIndex(-1), "can't convert negative int to unsigned"),
        (WithIndex(2**64), "int too big to convert"),
    ],
    ids=["-1", "-2**70", "2**64", "__index__-1", "__index__2**64"],
)
def test_size_out_of_range_is_overflow_without_prefix(name, value, message):
    with pytest.raises(OverflowError) as excinfo:
        call_trace(**{name: value})
    check_exact(excinfo, OverflowError, message)


@pytest.mark.parametrize(
    "value, steps",
    [(True, 1), (False, 0), (IntSub(3), 3), (np.uint64(2), 2), (np.int8(3), 3), (WithIndex(4), 4)],
    ids=["True", "False", "int-subclass", "np-uint64", "np-int8", "__index__"],
)
def test_size_accepts_integers(value, steps):
    out = call_trace(max_steps=value)
    assert out.shape == (1, steps + 1, 2)


def test_size_true_is_one_for_nx():
    # nx = True is 1, which the grid refuses.
    panic_type = _panic_type()
    with pytest.raises(panic_type) as excinfo:
        call_trace(nx=True)
    assert excinfo.value.args == ("nx must be at least 2",)


def test_size_largest_value_is_accepted():
    # 2**64 - 1 converts; only the later max_steps + 1 overflows.
    panic_type = _panic_type()
    with pytest.raises(panic_type) as excinfo:
        call_trace(max_steps=2**64 - 1)
    assert excinfo.value.args == ("attempt to add with overflow",)


def _panic_type():
    try:
        call_trace(nx=2, ny=3)
    except BaseException as exc:  # noqa: BLE001
        assert not isinstance(exc, Exception)
        return type(exc)
    raise AssertionError("length mismatch did not fault")


# --- 1-D float64 array ------------------------------------------------------

@pytest.mark.parametrize("name", ARRAY_PARAMS)
@pytest.mark.parametrize(
    "value, type_name",
    [
        ([0.0, 0.0, 0.0, 0.0], "list"),
        ((0.0, 0.0, 0.0, 0.0), "tuple"),
        (np.zeros(4, dtype=np.float32), "ndarray"),
        (np.zeros(4, dtype=np.int64), "ndarray"),
        (np.zeros(4, dtype=np.longdouble), "ndarray"),
        (np.zeros(4, dtype=np.complex128), "ndarray"),
        (np.zeros((2, 2)), "ndarray"),
        (np.zeros((4, 1)), "ndarray"),
        (np.array(0.0), "ndarray"),
        (np.zeros(4, dtype=">f8"), "ndarray"),
        (np.float64(0.0), "float64"),
        (memoryview(np.zeros(4)), "memoryview"),
        (Holder.Nested(), "Holder.Nested"),
    ],
    ids=["list", "tuple", "float32", "int64", "longdouble", "complex", "2-D", "column", "0-D",
         "big-endian", "np-scalar", "memoryview", "qualname"],
)
def test_array_refused(name, value, type_name):
    with pytest.raises(TypeError) as excinfo:
        call_trace(**{name: value})
    check_exact(excinfo, TypeError, f"argument '{name}': '{type_name}' object is not an instance of 'ndarray'")


@pytest.mark.parametrize("name", ARRAY_PARAMS)
def test_array_none_refused(name):
    with pytest.raises(TypeError) as excinfo:
        call_trace(**{name: None})
    check_exact(excinfo, TypeError, f"argument '{name}': 'None' is not an instance of 'ndarray'")


@pytest.mark.parametrize(
    "make",
    [
        lambda: np.full(4, 1.0).view(ArraySub),
        lambda: np.full(4, 1.0, dtype="<f8"),
        lambda: np.full(4, 1.0, dtype="=f8"),
        lambda: np.ma.masked_array(np.full(4, 1.0)),
        lambda: np.frombuffer(np.full(4, 1.0).tobytes()),  # read-only
    ],
    ids=["subclass", "little-endian", "native", "masked", "read-only"],
)
def test_array_accepted(make):
    out = call_trace(xmax=8.0, bx=make(), seeds=[(1.0, 0.5)], step=0.5, max_steps=1)
    assert out[0].tolist() == [[1.0, 0.5], [1.5, 0.5]]


def test_array_arguments_left_unchanged():
    bx = np.arange(4.0)
    by = np.arange(4.0)[::-1].copy()
    flags = (bx.flags.writeable, by.flags.writeable)
    call_trace(bx=bx, by=by, max_steps=3)
    assert bx.tolist() == [0.0, 1.0, 2.0, 3.0]
    assert by.tolist() == [3.0, 2.0, 1.0, 0.0]
    assert (bx.flags.writeable, by.flags.writeable) == flags


# --- sequence of pairs ------------------------------------------------------

Pair = collections.namedtuple("Pair", "x y")


class TupleSub(tuple):
    pass


class IndexSequence:
    """A sequence through __getitem__/__len__ only."""

    def __init__(self, items, length_error=None):
        self.items = items
        self.length_error = length_error

    def __len__(self):
        if self.length_error is not None:
            raise self.length_error
        return len(self.items)

    def __getitem__(self, index):
        return self.items[index]


class FailingIteration:
    def __init__(self, exc):
        self.exc = exc

    def __len__(self):
        return 1

    def __getitem__(self, index):
        return (0.5, 0.5)

    def __iter__(self):
        raise self.exc


@pytest.mark.parametrize(
    "seeds, expected",
    [
        ([(0.5, 0.5), (0.25, 0.75)], [[0.5, 0.5], [0.25, 0.75]]),
        (((0.5, 0.5), (0.25, 0.75)), [[0.5, 0.5], [0.25, 0.75]]),
        ([Pair(0.5, 0.25)], [[0.5, 0.25]]),
        ([TupleSub((0.5, 0.25))], [[0.5, 0.25]]),
        ([(1, True)], [[1.0, 1.0]]),
        ([(np.float32(0.5), WithFloat(0.25))], [[0.5, 0.25]]),
        (IndexSequence([(0.5, 0.25), (0.75, 0.0)]), [[0.5, 0.25], [0.75, 0.0]]),
        (IndexSequence([(0.5, 0.25)], length_error=RuntimeError("no length")), [[0.5, 0.25]]),
        (IndexSequence([(0.5, 0.25)], length_error=TypeError("no length")), [[0.5, 0.25]]),
    ],
    ids=["list", "tuple", "namedtuple", "tuple-subclass", "int-and-bool", "numpy-and-__float__",
         "getitem-sequence", "len-fails", "len-type-error"],
)
def test_seeds_accepted(seeds, expected):
    out = call_trace(seeds=seeds, max_steps=0)
    assert out[:, 0, :].tolist() == expected


@pytest.mark.parametrize("seeds", [[], (), IndexSequence([])], ids=["list", "tuple", "sequence"])
def test_empty_seeds(seeds):
    out = call_trace(seeds=seeds, max_steps=4)
    assert out.shape == (0, 5, 2)


@pytest.mark.parametrize(
    "seeds, message",
    [
        ([[0.5, 0.5]], "'list' object is not an instance of 'tuple'"),
        ([(0.5, 0.5), [0.5, 0.5]], "'list' object is not an instance of 'tuple'"),
        (np.array([[0.5, 0.5]]), "'ndarray' object is not an instance of 'tuple'"),
        (range(2), "'int' object is not an instance of 'tuple'"),
        ([None], "'None' is not an instance of 'tuple'"),
        ("ab", "Can't extract `str` to `Vec`"),
        ("", "Can't extract `str` to `Vec`"),
        (StrSub("ab"), "Can't extract `str` to `Vec`"),
        ({(0.5, 0.5)}, "'set' object is not an instance of 'Sequence'"),
        ({(0.5, 0.5): 1}, "'dict' object is not an instance of 'Sequence'"),
        (iter([(0.5, 0.5)]), "'list_iterator' object is not an instance of 'Sequence'"),
        ((p for p in [(0.5, 0.5)]), "'generator' object is not an instance of 'Sequence'"),
        (None, "'None' is not an instance of 'Sequence'"),
        (Holder.Nested(), "'Holder.Nested' object is not an instance of 'Sequence'"),
        ([(0.5, "x")], str(float_error("x"))),
        ([("x", 0.5)], str(float_error("x"))),
        ([(0.5, None)], str(float_error(None))),
        (FailingIteration(TypeError("cannot iterate")), "cannot iterate"),
    ],
    ids=["list-of-lists", "second-item-list", "2-D-array", "range", "None-item", "str", "empty-str",
         "str-subclass", "set", "dict", "iterator", "generator", "None", "qualname",
         "str-item-y", "str-item-x", "None-coordinate", "iteration-type-error"],
)
def test_seeds_type_error_is_prefixed(seeds, message):
    with pytest.raises(TypeError) as excinfo:
        call_trace(seeds=seeds)
    check_exact(excinfo, TypeError, f"argument 'seeds': {message}")


@pytest.mark.parametrize(
    "seeds, length",
    [([(0.5, 0.5, 0.5)], 3), ([(0.5,)], 1), ([()], 0), ([(0.5, 0.5), (0.5, 0.5, 0.5, 0.5)], 4), ([TupleSub((1.0, 2.0, 3.0))], 3)],
    ids=["three", "one", "empty", "second-four", "subclass-three"],
)
def test_seed_tuple_of_wrong_length(seeds, length):
    with pytest.raises(ValueError) as excinfo:
        call_trace(seeds=seeds)
    check_exact(excinfo, ValueError, f"expected tuple of length 2, but got tuple of length {length}")


def test_seed_coordinate_overflow_unprefixed():
    with pytest.raises(OverflowError) as excinfo:
        call_trace(seeds=[(10**400, 0.5)])
    check_exact(excinfo, OverflowError, str(float_error(10**400)))


def test_seed_iteration_error_passes_unchanged():
    error = ValueError("iteration broke")
    with pytest.raises(ValueError) as excinfo:
        call_trace(seeds=FailingIteration(error))
    assert excinfo.value is error


def test_seed_item_error_passes_unchanged():
    error = LookupError("coordinate broke")
    with pytest.raises(LookupError) as excinfo:
        call_trace(seeds=[(0.5, Raising(error))])
    assert excinfo.value is error


# --- the argument-name prefix rule ------------------------------------------

@pytest.mark.parametrize("name", ["xmin", "step"])
def test_prefix_for_exact_type_error_from_user_code(name):
    cause = KeyError("underlying")
    original = TypeError("boom")
    original.__cause__ = cause
    with pytest.raises(TypeError) as excinfo:
        call_trace(**{name: Raising(original)})
    exc = excinfo.value
    assert type(exc) is TypeError
    assert exc.args == (f"argument '{name}': boom",)
    assert exc is not original
    assert exc.__cause__ is cause
    assert exc.__suppress_context__ is True


def test_prefixed_error_without_cause():
    with pytest.raises(TypeError) as excinfo:
        call_trace(xmin="1")
    assert excinfo.value.__cause__ is None
    assert excinfo.value.__suppress_context__ is True


def test_prefix_for_size_type_error_from_index():
    original = TypeError("no index")
    with pytest.raises(TypeError) as excinfo:
        call_trace(nx=Raising(original))
    check_exact(excinfo, TypeError, "argument 'nx': no index")


@pytest.mark.parametrize(
    "name, error",
    [
        ("xmin", MyTypeError("subclass boom")),
        ("step", MyTypeError("subclass boom")),
        ("xmin", ValueError("value boom")),
        ("ymax", ArithmeticError("arith boom")),
        ("nx", MyTypeError("subclass boom")),
        ("max_steps", ValueError("value boom")),
        ("seeds", MyTypeError("subclass boom")),
    ],
    ids=["float-subclass-te", "step-subclass-te", "float-value-error", "arith", "size-subclass-te",
         "size-value-error", "seed-subclass-te"],
)
def test_other_exceptions_pass_unchanged(name, error):
    value = [(0.5, Raising(error))] if name == "seeds" else Raising(error)
    with pytest.raises(type(error)) as excinfo:
        call_trace(**{name: value})
    assert excinfo.value is error
    assert excinfo.value.args == (str(error),)


# --- conversion order -------------------------------------------------------

@pytest.mark.parametrize(
    "overrides, exc_type, text",
    [
        ({"xmin": "a", "nx": 2.0}, TypeError, "argument 'xmin': "),
        ({"ymax": "a", "xmax": None}, TypeError, "argument 'xmax': "),
        ({"nx": 2.0, "bx": [0.0]}, TypeError, "argument 'nx': "),
        ({"ny": -1, "xmax": "a"}, TypeError, "argument 'xmax': "),
        ({"ny": -1, "bx": None}, OverflowError, "can't convert negative int to unsigned"),
        ({"bx": [0.0], "by": None}, TypeError, "argument 'bx': "),
        ({"by": None, "seeds": "ab"}, TypeError, "argument 'by': "),
        ({"seeds": [(1.0, 2.0, 3.0)], "step": "a"}, ValueError, "expected tuple"),
        ({"step": "a", "max_steps": -1}, TypeError, "argument 'step': "),
        ({"seeds": "ab", "max_steps": 2.0}, TypeError, "argument 'seeds': "),
        # conversions all happen before the grid is built
        ({"nx": 1, "max_steps": -1}, OverflowError, "can't convert negative int to unsigned"),
        ({"bx": np.zeros(3), "step": "a"}, TypeError, "argument 'step': "),
        ({"bx": np.zeros(8)[::2], "max_steps": 1.5}, TypeError, "argument 'max_steps': "),
    ],
)
def test_first_failing_argument_is_reported(overrides, exc_type, text):
    with pytest.raises(exc_type) as excinfo:
        call_trace(**overrides)
    assert type(excinfo.value) is exc_type
    assert str(excinfo.value).startswith(text)


def test_later_arguments_not_examined():
    touched = []

    class Spy:
        def __float__(self):
            touched.append(True)
            return 0.1

    with pytest.raises(TypeError):
        call_trace(seeds="ab", step=Spy())
    assert touched == []
    call_trace(step=Spy())
    assert touched == [True]


# --- strict boolean and text (through find_fieldlines) ----------------------

def test_find_reference_call():
    assert call_find() == []


BOOL_PARAMS = ["dense", "close", "text", "transpose"]


class FakeNumpyBool:
    """Looks like NumPy's boolean scalar type by module and name."""

    def __init__(self, truth):
        self.truth = truth

    def __bool__(self):
        if isinstance(self.truth, BaseException):
            raise self.truth
        return self.truth


FakeNumpyBool.__module__ = "numpy"
FakeNumpyBool.__name__ = "bool_"
FakeNumpyBool.__qualname__ = "bool_"


class FakeNumpyBoolNoTruth:
    pass


FakeNumpyBoolNoTruth.__module__ = "numpy"
FakeNumpyBoolNoTruth.__name__ = "bool"
FakeNumpyBoolNoTruth.__qualname__ = "bool"


@pytest.mark.parametrize("name", BOOL_PARAMS)
@pytest.mark.parametrize(
    "value",
    [True, False, np.True_, np.False_, FakeNumpyBool(True), FakeNumpyBool(False)],
    ids=["True", "False", "np.True_", "np.False_", "fake-true", "fake-false"],
)
def test_strict_bool_accepted(name, value):
    assert call_find(**{name: value}) == []


@pytest.mark.parametrize("name", ["dense", "close"])
def test_optional_bool_accepts_none(name):
    assert call_find(**{name: None}) == []


@pytest.mark.parametrize("name", BOOL_PARAMS)
@pytest.mark.parametrize(
    "value, type_name",
    [(1, "int"), (0, "int"), (1.0, "float"), ("True", "str"), (np.int64(1), "int64"), (np.array(True), "ndarray"),
     (Holder.Nested(), "Holder.Nested")],
    ids=["1", "0", "float", "str", "np-int64", "0-D-array", "qualname"],
)
def test_strict_bool_refused(name, value, type_name):
    with pytest.raises(TypeError) as excinfo:
        call_find(**{name: value})
    check_exact(excinfo, TypeError, f"argument '{name}': '{type_name}' object is not an instance of 'bool'")


@pytest.mark.parametrize("name", ["text", "transpose"])
def test_non_optional_bool_refuses_none(name):
    with pytest.raises(TypeError) as excinfo:
        call_find(**{name: None})
    check_exact(excinfo, TypeError, f"argument '{name}': 'None' is not an instance of 'bool'")


def test_numpy_like_bool_without_truth_slot():
    value = FakeNumpyBoolNoTruth()
    with pytest.raises(TypeError) as excinfo:
        call_find(text=value)
    check_exact(
        excinfo, TypeError,
        f"argument 'text': object of type '{type(value)}' does not define a '__bool__' conversion",
    )


@pytest.mark.parametrize(
    "error, prefixed",
    [(ValueError("bad truth"), False), (MyTypeError("bad truth"), False), (TypeError("bad truth"), True)],
    ids=["value-error", "type-error-subclass", "type-error"],
)
def test_numpy_like_bool_truth_failure(error, prefixed):
    with pytest.raises(type(error)) as excinfo:
        call_find(dense=FakeNumpyBool(error))
    if prefixed:
        check_exact(excinfo, TypeError, "argument 'dense': bad truth")
    else:
        assert excinfo.value is error


@pytest.mark.parametrize("value", ["", "rk4", StrSub("dop853"), "\u00e9\u4e2d", None], ids=["empty", "plain", "subclass", "non-ascii", "None"])
def test_text_accepted(value):
    assert call_find(order=value) == []


@pytest.mark.parametrize(
    "value, type_name",
    [(3, "int"), (b"rk4", "bytes"), (True, "bool"), (["rk4"], "list")],
    ids=["int", "bytes", "bool", "list"],
)
def test_text_refused(value, type_name):
    with pytest.raises(TypeError) as excinfo:
        call_find(order=value)
    check_exact(excinfo, TypeError, f"argument 'order': '{type_name}' object is not an instance of 'str'")


def test_text_lone_surrogate_passes_unchanged():
    expected = interpreter_error(lambda s: s.encode("utf-8"), "\ud800")
    with pytest.raises(UnicodeEncodeError) as excinfo:
        call_find(order="\ud800")
    assert type(excinfo.value) is UnicodeEncodeError
    assert "argument" not in str(excinfo.value)
    assert excinfo.value.encoding == expected.encoding
    assert excinfo.value.reason == expected.reason
    assert excinfo.value.object == "\ud800"


@pytest.mark.parametrize(
    "options, exc_type, text",
    [
        ({"numsteps": 1.0, "text": 1}, TypeError, "argument 'numsteps': "),
        ({"maxstep": "a", "numsteps": 1.0}, TypeError, "argument 'maxstep': "),
        ({"numsteps": -1, "rtol": "a"}, OverflowError, "can't convert negative int to unsigned"),
        ({"atol": "a", "order": 3}, TypeError, "argument 'atol': "),
        ({"order": 3, "dense": 1}, TypeError, "argument 'order': "),
        ({"order": "\ud800", "dense": 1}, UnicodeEncodeError, ""),
        ({"dense": 1, "close": 1}, TypeError, "argument 'dense': "),
        ({"close": 1, "ctol": "a"}, TypeError, "argument 'close': "),
        ({"ctol": "a", "text": None}, TypeError, "argument 'ctol': "),
        ({"transpose": None, "text": 1}, TypeError, "argument 'text': "),
    ],
)
def test_find_conversion_order(options, exc_type, text):
    with pytest.raises(exc_type) as excinfo:
        call_find(**options)
    assert type(excinfo.value) is exc_type
    assert str(excinfo.value).startswith(text)


@pytest.mark.parametrize(
    "options, message",
    [
        ({"maxstep": "a"}, f"argument 'maxstep': {float_error('a')}"),
        ({"rtol": "a"}, f"argument 'rtol': {float_error('a')}"),
        ({"numsteps": 100.0}, f"argument 'numsteps': {interpreter_error(operator.index, 100.0)}"),
    ],
    ids=["maxstep", "rtol", "numsteps"],
)
def test_find_numeric_options_prefixed(options, message):
    with pytest.raises(TypeError) as excinfo:
        call_find(**options)
    check_exact(excinfo, TypeError, message)
