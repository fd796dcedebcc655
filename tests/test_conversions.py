"""Conversion of bound arguments: one table per conversion kind, run through
one parameter of that kind, and the wiring of every parameter of both
functions to its kind, its name and its place in the order of conversion."""

import collections
import math
import warnings
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest

from conftest import (FIND_KEYWORD_ONLY, NOT_CONTIGUOUS, TRACE_PARAMS, Data, PanicException,
                      Raising, expect_raise, float_error, mismatch, misaligned, outcome,
                      raised_by, size_error, with_float, with_index)
from torvelin import find_fieldlines, trace_fieldlines

INF = math.inf

# --- the two calls every case varies ---------------------------------------------

BX = [1.0, 0.5, -0.25, 0.75, 1.25, 0.5]
BY = [0.5, -0.5, 0.25, 1.0, 0.0, -0.75]
TRACE = dict(xmin=0.0, xmax=1.0, ymin=0.0, ymax=1.0, nx=3, ny=2, bx=None, by=None,
             seeds=[(0.25, 0.5), (0.75, 0.125)], step=0.0625, max_steps=6)


def trace(**overrides):
    """trace_fieldlines on a 3 x 2 grid, every argument by position."""
    args = dict(TRACE, bx=np.array(BX), by=np.array(BY))
    args.update(overrides)
    return trace_fieldlines(*[args[name] for name in TRACE_PARAMS])


X1, X2 = [0.0, 0.5, 1.0], [0.0, 1.0]
# Every converted option given. Closure is allowed after two steps: the
# second line closes (when `close` is true), the others run into the step limit.
FIND = dict(x1=X1, x2=X2, x0=[0.25, 0.75, 0.5], y0=[0.5, 0.125, 0.875], maxstep=0.125,
            numsteps=6, step=0.0625, rtol=1e-3, atol=1e-6, order="rk4", dense=False,
            close=True, ctol=0.1, text=False, transpose=False)
FIND_CONVERTED = FIND_KEYWORD_ONLY[4:]   # the others are taken as they are


def find(**overrides):
    """find_fieldlines on the same field, by name from a data object."""
    data = Data(x1=X1, x2=X2, bx=BX, by=BY)
    return find_fieldlines(data, "bx", "by", **dict(FIND, **overrides))


class FloatSub(float):
    pass


class IntSub(int):
    pass


class StrSub(str):
    pass


class ArraySub(np.ndarray):
    pass


class MyTypeError(TypeError):
    pass


class Holder:
    class Nested:
        pass


def numpy_like_bool(truth):
    """An object whose type passes for NumPy's boolean scalar type by module and
    name; its truth is `truth`, or raises it, or (None) it has no truth test."""
    namespace = {}
    if truth is not None:
        def __bool__(self):
            if isinstance(truth, BaseException):
                raise truth
            return truth
        namespace["__bool__"] = __bool__
    cls = type("bool_" if truth is not None else "bool", (), namespace)
    cls.__module__ = "numpy"
    return cls()


def cause_of(exc, cause):
    exc.__cause__ = cause
    return exc


# --- wiring: each parameter, its kind, its name, its place --------------------------

KIND = {
    **dict.fromkeys(["xmin", "xmax", "ymin", "ymax", "step", "maxstep", "rtol", "atol", "ctol"],
                    "float64"),
    **dict.fromkeys(["nx", "ny", "max_steps", "numsteps"], "size"),
    **dict.fromkeys(["bx", "by"], "array"),
    "seeds": "pairs",
    "order": "text",
    **dict.fromkeys(["dense", "close", "text", "transpose"], "bool"),
}

REFUSAL = {
    "float64": float_error,
    "size": size_error,
    "array": lambda value: TypeError(mismatch(value, "ndarray")),
    "pairs": lambda value: TypeError(mismatch(value, "Sequence")),
    "text": lambda value: TypeError(mismatch(value, "str")),
    "bool": lambda value: TypeError(mismatch(value, "bool")),
}

# For each converted parameter: a value its kind refuses with a TypeError,
# and a value of another form that its kind takes as the value of the base call.
WIRING = {
    "xmin": ("a", FloatSub(0.0)),
    "xmax": (None, np.float32(1.0)),
    "ymin": (1j, 0),
    "ymax": (b"1", with_float(lambda: 1.0)),
    "nx": (3.0, np.int64(3)),
    "ny": ("2", with_index(lambda: 2)),
    "bx": (list(BX), np.array(BX).view(ArraySub)),
    "by": (np.array(BY, dtype=np.float32), np.frombuffer(np.array(BY).tobytes())),
    "seeds": ({(0.25, 0.5)}, ((0.25, 0.5), (0.75, 0.125))),
    "step": ([0.0625], np.float64(0.0625)),
    "max_steps": (6.0, IntSub(6)),
    "maxstep": ("a", np.float32(0.125)),
    "numsteps": (6.0, np.uint8(6)),
    "rtol": ([1.0], 1),
    "atol": (1j, True),
    "order": (3, StrSub("rk4")),
    "dense": (0, np.False_),
    "close": (1, np.True_),
    "ctol": (b"1", Fraction(1, 10)),
    "text": (None, np.False_),
    "transpose": (1.0, numpy_like_bool(False)),
}

CALLS = {"trace_fieldlines": (trace, TRACE_PARAMS), "find_fieldlines": (find, FIND_CONVERTED)}
WIRED = [(function, name) for function, (_, names) in CALLS.items() for name in names]
WIRED_IDS = [f"{function.split('_')[0]}-{name}" for function, name in WIRED]


@pytest.mark.parametrize("function, first", WIRED, ids=WIRED_IDS)
def test_first_invalid_argument_is_reported_with_its_name(function, first):
    """Every converted argument from `first` on is invalid: the call fails on
    `first`, with its kind's message after its name."""
    call, names = CALLS[function]
    invalid = {name: WIRING[name][0] for name in names[names.index(first):]}
    expected = REFUSAL[KIND[first]](invalid[first])
    expect_raise(lambda: call(**invalid), expected, first)


@pytest.mark.parametrize("function, name", WIRED, ids=WIRED_IDS)
def test_each_parameter_takes_other_forms_of_its_kind(function, name):
    call, _ = CALLS[function]
    base = outcome(call)
    assert base[0] in ("array", "lines") and len(base[1]) > 1
    assert outcome(lambda: call(**{name: WIRING[name][1]})) == base


def test_the_base_calls_depend_on_the_effective_options():
    # so that the comparisons above see a misread value
    for function, names in (("trace_fieldlines", ["xmin", "xmax", "ymin", "ymax", "step",
                                                  "max_steps", "seeds"]),
                            ("find_fieldlines", ["maxstep", "numsteps", "step", "ctol"])):
        call, _ = CALLS[function]
        base = outcome(call)
        for name in names:
            value = {**TRACE, **FIND}[name]
            changed = value[:1] if name == "seeds" else value * 2 + 1
            assert outcome(lambda: call(**{name: changed})) != base, name
    assert outcome(lambda: find(close=False)) != outcome(find)


@pytest.mark.parametrize("name", FIND_KEYWORD_ONLY[:-2])
def test_none_is_the_same_as_omitting(name):
    without = {k: v for k, v in FIND.items() if k != name}
    data = Data(x1=X1, x2=X2, bx=BX, by=BY)
    assert outcome(lambda: find_fieldlines(data, "bx", "by", **without, **{name: None})) == \
        outcome(lambda: find_fieldlines(data, "bx", "by", **without))


@pytest.mark.parametrize("call, exc", [
    # a conversion that fails without the prefix also ends the conversions
    (lambda: trace(ny=-1, bx=None), size_error(-1)),
    (lambda: trace(seeds=[(1.0, 2.0, 3.0)], step="a"),
     ValueError("expected tuple of length 2, but got tuple of length 3")),
    (lambda: find(numsteps=-1, text=1), size_error(-1)),
    (lambda: find(order="\ud800", dense=1), raised_by(str.encode, "\ud800")),
    # every argument is converted before the grid or the driver looks at any
    (lambda: trace(nx=1, max_steps=-1), size_error(-1)),
    (lambda: trace(bx=np.zeros(3), step="a"),
     TypeError("argument 'step': " + str(float_error("a")))),
    (lambda: trace(bx=np.zeros(12)[::2], max_steps=1.5),
     TypeError("argument 'max_steps': " + str(size_error(1.5)))),
    (lambda: find_fieldlines(None, None, None, transpose=None),
     TypeError("argument 'transpose': " + mismatch(None, "bool"))),
    (lambda: find(x1="not numbers", order=3), TypeError("argument 'order': " + mismatch(3, "str"))),
], ids=["size-overflow", "seed-length", "numsteps-overflow", "order-encoding",
        "before-grid-check", "before-length-check", "before-layout-check", "before-driver",
        "before-coercion"])
def test_a_failed_conversion_ends_the_call(call, exc):
    expect_raise(call, exc)


def test_later_arguments_are_not_examined():
    touched = []

    class Spy:
        def __float__(self):
            touched.append(True)
            return 0.0625

    with pytest.raises(TypeError):
        trace(seeds="ab", step=Spy())
    assert touched == []
    trace(step=Spy())
    assert touched == [True]


# --- float64 ---------------------------------------------------------------------

def converted_seed(value):
    """The seed (value, 0.5) as converted: with infinite bounds every number,
    NaN too, is inside, and with no step the seed is the line's only point."""
    out = trace_fieldlines(-INF, INF, -INF, INF, 2, 2, np.zeros(4), np.zeros(4),
                           [(value, 0.5)], 0.0, 0)
    return out[0, 0].view(np.uint64).tolist()


FLOAT_ACCEPTED = {
    "int": (lambda: 3, 3.0),
    "bool": (lambda: True, 1.0),
    "minus-one": (lambda: -1, -1.0),       # the C conversion's failure value
    "float-subclass": (lambda: FloatSub(0.5), 0.5),
    "np-float64": (lambda: np.float64(-1.0), -1.0),
    "np-float32": (lambda: np.float32(0.1), float(np.float32(0.1))),
    "np-int64": (lambda: np.int64(-7), -7.0),
    "decimal": (lambda: Decimal("0.1"), 0.1),
    "fraction": (lambda: Fraction(1, 3), 1 / 3),
    "__index__-rounds": (lambda: with_index(lambda: 2**53 + 1), 2.0**53),
    "__index__-minus-one": (lambda: with_index(lambda: -1), -1.0),
    "__float__-minus-one": (lambda: with_float(lambda: -1.0), -1.0),
    "__float__-nan": (lambda: with_float(lambda: math.nan), math.nan),
    "__float__-inf": (lambda: with_float(lambda: INF), INF),
    "__float__-minus-inf": (lambda: with_float(lambda: -INF), -INF),
    "__float__-minus-zero": (lambda: with_float(lambda: -0.0), -0.0),
    "__float__-subnormal": (lambda: with_float(lambda: 5e-324), 5e-324),
    "__float__-huge": (lambda: with_float(lambda: 1e308), 1e308),
}


@pytest.mark.parametrize("make, expected", FLOAT_ACCEPTED.values(), ids=FLOAT_ACCEPTED)
def test_float64_accepted(make, expected):
    assert converted_seed(make()) == np.array([expected, 0.5]).view(np.uint64).tolist()


FLOAT_REFUSED = {
    "str": lambda: "1",
    "None": lambda: None,
    "complex": lambda: 1j,
    "bytes": lambda: b"1",
    "list": lambda: [1.0],
    "qualname": lambda: Holder.Nested(),
    "huge-int": lambda: 10**400,
    "__index__-huge": lambda: with_index(lambda: 10**400),
    "__index__-returns-float": lambda: with_index(lambda: 1.0),
    "__float__-returns-str": lambda: with_float(lambda: "0.5"),
    "__float__-returns-int": lambda: with_float(lambda: 1),
    "__float__-returns-None": lambda: with_float(lambda: None),
    "raises-ValueError": lambda: Raising(ValueError("no float today")),
    "raises-TypeError": lambda: Raising(cause_of(TypeError("boom"), KeyError("underlying"))),
    "raises-TypeError-subclass": lambda: Raising(MyTypeError("subclass boom")),
    "raises-KeyboardInterrupt": lambda: Raising(KeyboardInterrupt("interrupted")),
    "raises-PanicException": lambda: Raising(PanicException("a fault in __float__")),
    "raises-PanicException-subclass":
        lambda: Raising(type("PanicSubclass", (PanicException,), {})("m6")),
    "raises-PanicException-not-text": lambda: Raising(PanicException(42)),
}

FLOAT_SLOTS = {
    "xmin": lambda value: trace(xmin=value),
    "seeds": lambda value: trace(seeds=[(0.25, 0.5), (value, 0.5)]),
    "step": lambda value: find(step=value),
}


@pytest.mark.parametrize("make, slot", [
    pytest.param(make, slot, id=f"{name}-{slot}")
    for name, make in FLOAT_REFUSED.items() for slot in FLOAT_SLOTS
    if not (name == "None" and slot == "step")   # None is no value for an optional one
])
def test_float64_refused(make, slot, capfd):
    value = make()
    expected = float_error(value)
    got = expect_raise(lambda: FLOAT_SLOTS[slot](value), expected, slot)
    if isinstance(value, Raising) and not isinstance(got, (TypeError, PanicException)):
        assert got is value.exc           # the caller's own exception, unchanged
    capfd.readouterr()                    # fault diagnostics


@pytest.mark.parametrize("value, oracle, call, expected", [
    (with_float(lambda: FloatSub(0.375)), float_error,
     lambda value: trace(seeds=[(value, 0.5)], max_steps=0)[0, 0, 0], 0.375),
    (with_index(lambda: IntSub(4)), size_error, lambda value: trace(max_steps=value).shape[1] - 1,
     4),
], ids=["__float__", "__index__"])
def test_a_subclass_from_a_conversion_is_a_warning_then_a_value(value, oracle, call, expected):
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        warning = oracle(value)
        assert type(warning) is DeprecationWarning
        expect_raise(lambda: call(value), warning)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        assert call(value) == expected


# --- unsigned size -----------------------------------------------------------------

@pytest.mark.parametrize("value, steps", [
    (True, 1), (False, 0), (0, 0), (IntSub(3), 3), (np.uint64(2), 2), (np.int8(3), 3),
    (with_index(lambda: 4), 4),
], ids=["True", "False", "zero", "int-subclass", "np-uint64", "np-int8", "__index__"])
def test_size_accepted(value, steps):
    assert outcome(lambda: trace(max_steps=value)) == outcome(lambda: trace(max_steps=steps))
    assert trace(max_steps=value).shape == (2, steps + 1, 2)


def test_size_largest_value_converts():
    # 2**64 - 1 converts; only max_steps + 1 then overflows.
    with pytest.raises(PanicException) as info:
        trace(max_steps=2**64 - 1)
    assert info.value.args == ("attempt to add with overflow",)


SIZE_REFUSED = {
    "float": lambda: 2.0,
    "str": lambda: "2",
    "None": lambda: None,
    "np-float64": lambda: np.float64(2.0),
    "__float__-only": lambda: with_float(lambda: 2.0),
    "__index__-returns-float": lambda: with_index(lambda: 2.0),
    "__index__-returns-str": lambda: with_index(lambda: "3"),
    "-1": lambda: -1,
    "-2**70": lambda: -(2**70),
    "2**64": lambda: 2**64,
    "__index__-minus-one": lambda: with_index(lambda: -1),
    "__index__-2**64": lambda: with_index(lambda: 2**64),
    "__index__-huge": lambda: with_index(lambda: 10**400),
    "__index__-huge-negative": lambda: with_index(lambda: -(10**400)),
    "raises-ValueError": lambda: Raising(ValueError("no index today")),
    "raises-TypeError": lambda: Raising(TypeError("not an index today")),
    "raises-TypeError-subclass": lambda: Raising(MyTypeError("subclass boom")),
    "raises-KeyboardInterrupt": lambda: Raising(KeyboardInterrupt("interrupted")),
    "raises-PanicException": lambda: Raising(PanicException("a fault in __index__")),
}


@pytest.mark.parametrize("make", SIZE_REFUSED.values(), ids=SIZE_REFUSED)
def test_size_refused(make, capfd):
    value = make()
    got = expect_raise(lambda: trace(nx=value), size_error(value), "nx")
    if isinstance(value, Raising) and not isinstance(got, (TypeError, PanicException)):
        assert got is value.exc
    capfd.readouterr()


# --- strict boolean ------------------------------------------------------------------

@pytest.mark.parametrize("value, truth", [
    (True, True), (False, False), (np.True_, True), (np.False_, False),
    (numpy_like_bool(True), True), (numpy_like_bool(False), False),
], ids=["True", "False", "np.True_", "np.False_", "numpy-like-true", "numpy-like-false"])
def test_bool_accepted(value, truth):
    assert outcome(lambda: find(close=value)) == outcome(lambda: find(close=truth))


BOOL_REFUSED = {
    "1": lambda: 1,
    "0": lambda: 0,
    "float": lambda: 1.0,
    "str": lambda: "True",
    "np-int64": lambda: np.int64(1),
    "0-D-array": lambda: np.array(True),
    "qualname": lambda: Holder.Nested(),
}


@pytest.mark.parametrize("make", BOOL_REFUSED.values(), ids=BOOL_REFUSED)
def test_bool_refused(make):
    value = make()
    expect_raise(lambda: find(close=value), TypeError(mismatch(value, "bool")), "close")


@pytest.mark.parametrize("name", ["text", "transpose"])
def test_bool_that_is_not_optional_refuses_none(name):
    expect_raise(lambda: find(**{name: None}), TypeError(mismatch(None, "bool")), name)


@pytest.mark.parametrize("truth", [
    None, ValueError("bad truth"), MyTypeError("bad truth"), TypeError("bad truth"),
    PanicException("a fault in __bool__"),
], ids=["no-truth-slot", "ValueError", "TypeError-subclass", "TypeError", "PanicException"])
def test_numpy_like_bool_whose_truth_test_fails(truth, capfd):
    value = numpy_like_bool(truth)
    if truth is None:
        expected = TypeError(
            f"object of type '{type(value)}' does not define a '__bool__' conversion")
    else:
        expected = raised_by(bool, value)
    expect_raise(lambda: find(close=value), expected, "close")
    capfd.readouterr()


# --- text ------------------------------------------------------------------------------

@pytest.mark.parametrize("value", ["", "rk45", StrSub("dop853"), "\u00e9\u4e2d", None],
                         ids=["empty", "plain", "subclass", "non-ascii", "None"])
def test_text_accepted(value):
    assert outcome(lambda: find(order=value)) == outcome(find)


@pytest.mark.parametrize("value", [3, b"rk4", True, ["rk4"]], ids=["int", "bytes", "bool", "list"])
def test_text_refused(value):
    expect_raise(lambda: find(order=value), TypeError(mismatch(value, "str")), "order")


def test_text_that_cannot_be_encoded_is_refused_without_the_name():
    expect_raise(lambda: find(order="\ud800"), raised_by(str.encode, "\ud800"), "order")


# --- one-dimensional float64 array -------------------------------------------------------

@pytest.mark.parametrize("make", [
    lambda: np.array(BX).view(ArraySub),
    lambda: np.array(BX, dtype="<f8"),
    lambda: np.array(BX, dtype="=f8"),
    lambda: np.ma.masked_array(BX),
    lambda: np.frombuffer(np.array(BX).tobytes()),
], ids=["subclass", "little-endian", "native", "masked", "read-only"])
def test_array_accepted(make):
    assert outcome(lambda: trace(bx=make())) == outcome(trace)


@pytest.mark.parametrize("value", [
    list(BX), tuple(BX), np.array(BX, dtype=np.float32), np.array(BX, dtype=np.int64),
    np.array(BX, dtype=np.longdouble), np.array(BX, dtype=np.complex128),
    np.array(BX).reshape(2, 3), np.array(BX).reshape(6, 1), np.array(0.0),
    np.array(BX, dtype=">f8"), np.float64(0.0), memoryview(np.array(BX)), Holder.Nested(), None,
], ids=["list", "tuple", "float32", "int64", "longdouble", "complex", "2-D", "column", "0-D",
        "big-endian", "np-scalar", "memoryview", "qualname", "None"])
def test_array_refused(value):
    expect_raise(lambda: trace(bx=value), TypeError(mismatch(value, "ndarray")), "bx")


def strided(values):
    base = np.full(2 * len(values), -99.0)
    base[::2] = values
    return base[::2]


@pytest.mark.parametrize("name", ["bx", "by"])
@pytest.mark.parametrize("make", [
    strided,
    lambda v: np.array(v[::-1])[::-1],
    lambda v: np.broadcast_to(v[0], (len(v),)),
    lambda v: np.broadcast_to(v[0], (1 << 40,)),
    misaligned,
    lambda v: np.ndarray((len(v),), np.float64, bytearray(8 * len(v) + 1), offset=1),
    lambda v: np.column_stack([v, v, v])[:, 1],
], ids=["strided", "reversed", "broadcast", "huge-broadcast", "misaligned-frombuffer",
        "misaligned-ndarray", "column-of-2-D"])
def test_array_not_contiguous_or_misaligned(make, name):
    arr = make(np.array(BX if name == "bx" else BY))
    expect_raise(lambda: trace(**{name: arr}), TypeError(NOT_CONTIGUOUS))


@pytest.mark.parametrize("name, make", [
    ("bx", lambda: np.zeros(0)),
    ("bx", lambda: np.zeros(4)[::-1][:0]),
    ("bx", lambda: np.zeros(4)[::4][:0]),
    ("bx", lambda: misaligned([])),
    ("bx", lambda: np.ndarray((0,), np.float64, bytearray(9), offset=1)),
    ("bx", lambda: np.broadcast_to(1.0, (0,))),
    ("by", lambda: np.zeros(4)[::-1][:0]),
], ids=["plain", "reversed", "strided", "misaligned-frombuffer", "misaligned-ndarray",
        "broadcast", "by-reversed"])
def test_empty_array_passes_the_layout_test_and_fails_the_length(name, make, capfd):
    with pytest.raises(PanicException) as info:
        trace(**{name: make()})
    assert info.value.args == (
        f"assertion `left == right` failed: {name} length must be nx * ny\n  left: 0\n right: 6",)
    capfd.readouterr()


@pytest.mark.parametrize("overrides", [
    dict(nx=1, bx=np.zeros(6)[::-1]), dict(bx=np.zeros(3), by=strided(np.zeros(6))),
], ids=["bx-before-nx", "by-before-bx-length"])
def test_layouts_are_checked_before_the_grid(overrides):
    expect_raise(lambda: trace(**overrides), TypeError(NOT_CONTIGUOUS))


def test_arrays_are_left_unchanged():
    bx, by = np.array(BX), np.array(BY)
    by.flags.writeable = False
    trace(bx=bx, by=by)
    assert bx.tolist() == BX and by.tolist() == BY
    assert bx.flags.writeable and not by.flags.writeable


# --- sequence of pairs ------------------------------------------------------------------

Pair = collections.namedtuple("Pair", "x y")


class TupleSub(tuple):
    pass


class IndexSequence:
    """A sequence through __getitem__/__len__ only."""

    def __init__(self, items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, index):
        return self.items[index]


@pytest.mark.parametrize("seeds, expected", [
    ([(0.5, 0.5), (0.25, 0.75)], [[0.5, 0.5], [0.25, 0.75]]),
    (((0.5, 0.5), (0.25, 0.75)), [[0.5, 0.5], [0.25, 0.75]]),
    ([Pair(0.5, 0.25)], [[0.5, 0.25]]),
    ([TupleSub((0.5, 0.25))], [[0.5, 0.25]]),
    ([(1, True)], [[1.0, 1.0]]),
    ([(np.float32(0.5), with_float(lambda: 0.25))], [[0.5, 0.25]]),
    (IndexSequence([(0.5, 0.25), (0.75, 0.0)]), [[0.5, 0.25], [0.75, 0.0]]),
], ids=["list", "tuple", "namedtuple", "tuple-subclass", "int-and-bool", "numpy-and-__float__",
        "getitem-sequence"])
def test_seeds_accepted(seeds, expected):
    out = trace(seeds=seeds, max_steps=0)
    assert out[:, 0, :].tolist() == expected


@pytest.mark.parametrize("seeds, max_steps", [([], 0), ((), 1), (IndexSequence([]), 5)],
                         ids=["list", "tuple", "sequence"])
def test_no_seeds(seeds, max_steps):
    out = trace(seeds=seeds, max_steps=max_steps)
    assert out.shape == (0, max_steps + 1, 2) and out.dtype == np.float64


@pytest.mark.parametrize("seeds, message", [
    ([[0.5, 0.5]], mismatch([], "tuple")),
    ([(0.5, 0.5), [0.5, 0.5]], mismatch([], "tuple")),
    (np.array([[0.5, 0.5]]), mismatch(np.zeros(0), "tuple")),
    (range(2), mismatch(0, "tuple")),
    ([None], mismatch(None, "tuple")),
    ([(0.5, "x")], str(float_error("x"))),
    ("ab", "Can't extract `str` to `Vec`"),
    ("", "Can't extract `str` to `Vec`"),
    (StrSub("ab"), "Can't extract `str` to `Vec`"),
    ({(0.5, 0.5)}, mismatch(set(), "Sequence")),
    ({(0.5, 0.5): 1}, mismatch({}, "Sequence")),
    (iter([(0.5, 0.5)]), "'list_iterator' object is not an instance of 'Sequence'"),
    ((p for p in [(0.5, 0.5)]), "'generator' object is not an instance of 'Sequence'"),
    (None, mismatch(None, "Sequence")),
    (Holder.Nested(), "'Holder.Nested' object is not an instance of 'Sequence'"),
], ids=["list-of-lists", "second-item-list", "2-D-array", "range", "None-item", "str-y", "str",
        "empty-str",
        "str-subclass", "set", "dict", "iterator", "generator", "None", "qualname"])
def test_seeds_refused(seeds, message):
    expect_raise(lambda: trace(seeds=seeds), TypeError(message), "seeds")


@pytest.mark.parametrize("seeds, length", [
    ([(0.5, 0.5, 0.5)], 3), ([(0.5,)], 1), ([()], 0), ([(0.5, 0.5), (0.5, 0.5, 0.5, 0.5)], 4),
    ([TupleSub((1.0, 2.0, 3.0))], 3),
], ids=["three", "one", "empty", "second-four", "subclass-three"])
def test_seed_tuple_of_wrong_length(seeds, length):
    expect_raise(lambda: trace(seeds=seeds),
                 ValueError(f"expected tuple of length 2, but got tuple of length {length}"))
