"""Hostile arguments: callbacks that raise, lie, mutate or re-enter, and odd array layouts.

Every case must end in the documented exception or in the result of the
pure-Python model; none may crash, hang or return something else.
"""

import os
import subprocess
import sys
import textwrap
import types

import numpy as np
import pytest

from conftest import (GENERIC, TRACE_PARAMS, PanicException, assert_same_bits, expect_raise,
                      float_error, misaligned, model_trace_array, raised_by, with_float,
                      with_index)
from torvelin import find_fieldlines, trace_fieldlines
from reference import find_fieldlines as model_find


@pytest.fixture(autouse=True)
def quiet_faults(capfd):
    """Fault diagnostics go to stderr; they are expected here."""
    yield
    capfd.readouterr()


# --- the cases everything below is a variation of ---------------------------

NX, NY = 3, 2
BX = [1.0, 0.5, -0.25, 0.75, 1.25, 0.5]
BY = [0.5, -0.5, 0.25, 1.0, 0.0, -0.75]
SEEDS = [(0.25, 0.5), (0.75, 0.125)]
TRACE = dict(xmin=0.0, xmax=1.0, ymin=0.0, ymax=1.0, nx=NX, ny=NY, bx=BX, by=BY,
             seeds=SEEDS, step=0.0625, max_steps=6)

X1, X2 = [0.0, 0.5, 1.0], [0.0, 1.0]
FOOT_X, FOOT_Y = [0.25, 0.75, 0.5], [0.5, 0.125, 0.875]
FIND = dict(x0=FOOT_X, y0=FOOT_Y, step=0.0625, numsteps=6)


def data(**attrs):
    values = dict(x1=X1, x2=X2, bx=BX, by=BY)
    values.update(attrs)
    return types.SimpleNamespace(**values)


def trace(**overrides):
    args = dict(TRACE, **overrides)
    for name in ("bx", "by"):
        if isinstance(args[name], list):
            args[name] = np.array(args[name], dtype=np.float64)
    return trace_fieldlines(*[args[name] for name in TRACE_PARAMS])


def assert_trace_matches(got, **overrides):
    args = dict(TRACE, **overrides)
    assert_same_bits(got, *model_trace_array(*[args[name] for name in TRACE_PARAMS]))


def find(source=None, var1="bx", var2="by", **overrides):
    kwargs = dict(FIND, **overrides)
    return find_fieldlines(data() if source is None else source, var1, var2, **kwargs)


def assert_find_matches(got, xc=X1, yc=X2, bx=BX, by=BY, **overrides):
    kwargs = dict(FIND, **overrides)
    want = model_find(xc, yc, bx, by, **kwargs)
    assert type(got) is list and len(got) == len(want)
    for entry, (xs, ys) in zip(got, want):
        assert type(entry) is list and len(entry) == 2
        assert_same_bits(entry[0], np.array(xs, dtype=np.float64))
        assert_same_bits(entry[1], np.array(ys, dtype=np.float64))


# --- hostile numbers among footpoints -------------------------------------------
# (the conversion kinds of the arguments have their tables in test_conversions)


def raiser(exc_type, *args):
    def behaviour():
        raise exc_type(*args)
    return behaviour


FAILING_FLOATS = {
    "raises-ValueError": raiser(ValueError, "no float today"),
    "raises-TypeError": raiser(TypeError, "not a float today"),
    "raises-KeyboardInterrupt": raiser(KeyboardInterrupt, "interrupted"),
    "raises-PanicException": raiser(PanicException, "a fault in __float__"),
    "returns-str": lambda: "0.5",
    "returns-int": lambda: 1,
    "returns-None": lambda: None,
    "returns-complex": lambda: 1j,
}


@pytest.mark.parametrize("behaviour", FAILING_FLOATS.values(), ids=FAILING_FLOATS.keys())
def test_find_footpoint_item_that_fails(behaviour):
    obj = with_float(behaviour)
    expected = float_error(obj)
    # in a list: every ordinary failure becomes the generic message
    if isinstance(expected, Exception):
        expect_raise(lambda: find(x0=[0.5, obj, 0.25]), TypeError(GENERIC))
    elif isinstance(expected, PanicException):
        expect_raise(lambda: find(x0=[0.5, obj, 0.25]), expected)
    # through ravel and tolist: the item's own error, without any prefix
    holder = np.array([0.5, obj, 0.25], dtype=object)
    expect_raise(lambda: find(x0=holder), expected)


@pytest.mark.parametrize("value", [float("nan"), float("inf"), -float("inf"), 1e308, -1e300, -0.0,
                                   5e-324], ids=repr)
def test_find_footpoint_item_returning_odd_values(value):
    obj = with_float(lambda: value)
    assert_find_matches(find(x0=[0.25, obj, 0.5]), x0=[0.25, value, 0.5])


# --- hostile sequences --------------------------------------------------------


def lying_length(length_behaviour):
    return type("LyingList", (list,), {"__len__": lambda self: length_behaviour()})


BAD_LENGTHS = {
    "raises-ValueError": raiser(ValueError, "no length"),
    "raises-TypeError": raiser(TypeError, "no length"),
    "returns-str": lambda: "2",
    "returns-negative": lambda: -5,
    "returns-2**100": lambda: 2**100,
    "returns-2**62": lambda: 2**62,
    "returns-0": lambda: 0,
    "returns-1000": lambda: 1000,
}


@pytest.mark.parametrize("behaviour", BAD_LENGTHS.values(), ids=BAD_LENGTHS.keys())
def test_length_is_only_a_hint(behaviour):
    cls = lying_length(behaviour)
    assert_trace_matches(trace(seeds=cls(SEEDS)))
    assert_find_matches(find(x0=cls(FOOT_X), y0=cls(FOOT_Y)))
    # also for what tolist hands back
    holder = types.SimpleNamespace(ravel=lambda order: holder, tolist=lambda: cls(BX))
    assert_find_matches(find(data(bx=holder)))


def test_length_raising_a_fault_stays_a_fault():
    cls = lying_length(raiser(PanicException, "a fault in __len__"))
    expected = PanicException("a fault in __len__")
    expect_raise(lambda: trace(seeds=cls(SEEDS)), expected)
    expect_raise(lambda: find(x0=cls(FOOT_X)), expected)


class Iterates:
    """A sequence whose iteration is whatever `make_iter` makes it."""

    def __init__(self, items, make_iter):
        self.items, self.make_iter = list(items), make_iter

    def __len__(self):
        return len(self.items)

    def __getitem__(self, index):
        return self.items[index]

    def __iter__(self):
        return self.make_iter(self.items)


def breaks_after(count, exc_type, message):
    def make_iter(items):
        def gen():
            yield from items[:count]
            raise exc_type(message)
        return gen()
    return make_iter


BAD_ITERATIONS = {
    "iter-raises-ValueError": raiser(ValueError, "cannot iterate"),
    "iter-raises-TypeError": raiser(TypeError, "cannot iterate"),
    "iter-raises-PanicException": raiser(PanicException, "a fault in __iter__"),
    "iter-returns-int": lambda: 5,
    "iter-returns-list": lambda: [1.0, 2.0],
}


@pytest.mark.parametrize("behaviour", BAD_ITERATIONS.values(), ids=BAD_ITERATIONS.keys())
def test_iteration_that_cannot_start(behaviour):
    seeds = Iterates(SEEDS, lambda items: behaviour())
    expected = raised_by(iter, seeds)
    expect_raise(lambda: trace(seeds=seeds), expected, "seeds")
    footpoints = Iterates(FOOT_X, lambda items: behaviour())
    if isinstance(expected, PanicException):
        expect_raise(lambda: find(x0=footpoints), expected)
    else:
        with pytest.raises(TypeError) as info:
            find(x0=footpoints)
        assert info.value.args == (GENERIC,)


@pytest.mark.parametrize("exc_type", [ValueError, TypeError, StopIteration, PanicException])
def test_iteration_that_breaks_midway(exc_type):
    if exc_type is StopIteration:
        # a generator turns a StopIteration inside it into RuntimeError
        expected = RuntimeError("generator raised StopIteration")
    else:
        expected = exc_type("broken after one item")
    seeds = Iterates(SEEDS, breaks_after(1, exc_type, "broken after one item"))
    expect_raise(lambda: trace(seeds=seeds), expected, "seeds")


class ItemsThen:
    """An iterator object (not a generator): `items`, then `ending` raised from __next__."""

    def __init__(self, items, ending):
        self.items, self.ending = list(items), ending

    def __iter__(self):
        return self

    def __next__(self):
        if self.items:
            return self.items.pop(0)
        raise self.ending()


class StopSub(StopIteration):
    pass


ITERATOR_ENDINGS = {
    "StopIteration": StopIteration,
    "StopIteration-with-value": lambda: StopIteration("a value"),
    "StopIteration-subclass": StopSub,
}


@pytest.mark.parametrize("ending", ITERATOR_ENDINGS.values(), ids=ITERATOR_ENDINGS.keys())
def test_stop_iteration_from_next_ends_the_items(ending):
    seeds = Iterates(SEEDS, lambda items: ItemsThen(items[:1], ending))
    assert_trace_matches(trace(seeds=seeds), seeds=SEEDS[:1])
    footpoints = Iterates(FOOT_X, lambda items: ItemsThen(items[:2], ending))
    assert_find_matches(find(x0=footpoints, y0=FOOT_Y[:2]), x0=FOOT_X[:2], y0=FOOT_Y[:2])


ITERATOR_FAILURES = {
    "ValueError": lambda: ValueError("broken in __next__"),
    "TypeError": lambda: TypeError("broken in __next__"),
    "KeyboardInterrupt": lambda: KeyboardInterrupt("interrupted in __next__"),
    "PanicException": lambda: PanicException("a fault in __next__"),
}


@pytest.mark.parametrize("failure", ITERATOR_FAILURES.values(), ids=ITERATOR_FAILURES.keys())
def test_exception_from_next_after_some_items(failure):
    expected = failure()
    seeds = Iterates(SEEDS, lambda items: ItemsThen(items[:1], failure))
    expect_raise(lambda: trace(seeds=seeds), expected, "seeds")
    footpoints = Iterates(FOOT_X, lambda items: ItemsThen(items[:2], failure))
    if isinstance(expected, Exception):
        # an ordinary failure of a footpoint sequence is reported as the generic TypeError
        with pytest.raises(TypeError) as info:
            find(x0=footpoints)
        assert info.value.args == (GENERIC,)
    else:
        expect_raise(lambda: find(x0=footpoints), expected)


def test_iteration_yielding_more_or_fewer_items_than_the_length():
    longer = Iterates(SEEDS[:1], lambda items: iter(SEEDS + SEEDS))
    assert_trace_matches(trace(seeds=longer), seeds=SEEDS + SEEDS)
    shorter = Iterates(SEEDS, lambda items: iter(SEEDS[1:]))
    assert_trace_matches(trace(seeds=shorter), seeds=SEEDS[1:])
    footpoints = Iterates([0.0], lambda items: iter(FOOT_X))
    assert_find_matches(find(x0=footpoints))


def test_seed_tuples_of_hostile_subclasses_use_their_real_items():
    class Lying(tuple):
        def __len__(self):
            return 5

        def __getitem__(self, index):
            raise AssertionError("the items are read directly")

        def __iter__(self):
            raise AssertionError("the items are read directly")

    seeds = [Lying(s) for s in SEEDS]
    assert_trace_matches(trace(seeds=seeds))


class Flattens:
    """ravel(order) returns `flat`; flat.tolist() returns `values`."""

    def __init__(self, values=None, flat=None):
        self.values, self.flat = values, flat

    def ravel(self, order):
        return self if self.flat is None else self.flat

    def tolist(self):
        return self.values


def sequence_refusal(obj):
    return TypeError(f"'{type(obj).__qualname__}' object is not an instance of 'Sequence'")


@pytest.mark.parametrize("make,expected", [
    (lambda: Flattens([0.5, 10**400]), lambda: float_error(10**400)),
    (lambda: Flattens([0.5, [0.25]]), lambda: float_error([0.25])),
    (lambda: Flattens([0.5, "0.25"]), lambda: float_error("0.25")),
    (lambda: Flattens(flat=3), lambda: raised_by(lambda n: n.tolist(), 3)),
    (lambda: Flattens(iter([0.5, 0.25])), lambda: sequence_refusal(iter([]))),
], ids=["huge-int-item", "list-item", "str-item", "ravel-returns-int", "tolist-returns-iterator"])
def test_flattening_that_returns_the_wrong_things(make, expected):
    # errors on the flattening path come through as they are, without any prefix
    expect_raise(lambda: find(x0=make()), expected())


@pytest.mark.parametrize("values", [[float("nan"), 0.5, 0.25], [1e308, -1e308, 0.5],
                                    [10**300, -(2**1023), 0.5]], ids=["nan", "huge", "huge-ints"])
def test_flattening_that_returns_odd_values(values):
    assert_find_matches(find(x0=Flattens(values)), x0=[float(v) for v in values])


# --- arguments changed while they are converted --------------------------------


class Mutates:
    """A number that runs `action` (once) when it is converted."""

    def __init__(self, value, action):
        self.value, self.action, self.done = value, action, False

    def __float__(self):
        if not self.done:
            self.done = True
            self.action()
        return self.value


def test_seeds_list_shrunk_while_iterated():
    seeds = [SEEDS[0], SEEDS[1], (0.5, 0.5), (0.125, 0.875)]
    seeds[1] = (Mutates(SEEDS[1][0], lambda: seeds.clear()), SEEDS[1][1])
    assert_trace_matches(trace(seeds=seeds), seeds=SEEDS[:2])
    assert seeds == []


def test_seeds_list_grown_while_iterated():
    seeds = [SEEDS[0]]
    seeds.append((Mutates(SEEDS[1][0], lambda: seeds.append((0.5, 0.5))), SEEDS[1][1]))
    assert_trace_matches(trace(seeds=seeds), seeds=SEEDS + [(0.5, 0.5)])


def test_footpoints_shrunk_while_iterated():
    x0 = list(FOOT_X)
    x0[0] = Mutates(FOOT_X[0], lambda: x0.clear())
    with pytest.raises(ValueError) as info:
        find(x0=x0)
    assert info.value.args == ("x0 and y0 must have the same length",)


def test_footpoints_grown_while_iterated():
    x0, y0 = list(FOOT_X), list(FOOT_Y)

    def grow():
        x0.append(0.625)
        y0.append(0.375)

    x0[1] = Mutates(FOOT_X[1], grow)
    assert_find_matches(find(x0=x0, y0=y0), x0=FOOT_X + [0.625], y0=FOOT_Y + [0.375])


def test_footpoints_changed_after_they_were_read():
    x0, y0 = list(FOOT_X), list(FOOT_Y)

    def rewrite():
        x0[:] = [0.0] * len(x0)

    y0[2] = Mutates(FOOT_Y[2], rewrite)
    assert_find_matches(find(x0=x0, y0=y0))


def test_data_attributes_replaced_while_coordinates_are_read():
    source = data()

    class Coordinates:
        def ravel(self, order):
            return self

        def tolist(self):
            source.bx = [v * 2.0 for v in BX]   # read later: the new values count
            source.x1 = [9.0, 9.5, 10.0]        # already read: no effect
            return X1

    source.x1 = Coordinates()
    assert_find_matches(find(source), bx=[v * 2.0 for v in BX])


@pytest.mark.parametrize("which", ["bx", "by"])
@pytest.mark.parametrize("new_size", [0, 3, 12, 1 << 16])
def test_field_array_resized_by_a_seed(which, new_size):
    """The arrays are read after every argument has been converted: the
    length check sees the new length."""
    fields = {"bx": np.array(BX), "by": np.array(BY)}

    def resize():
        fields[which].resize(new_size, refcheck=False)

    with pytest.raises(BaseException) as info:
        trace(bx=fields["bx"], by=fields["by"], seeds=[(Mutates(0.25, resize), 0.5)])
    assert type(info.value) is PanicException
    assert f"{which} length must be nx * ny" in str(info.value)
    assert f"left: {new_size}" in str(info.value)


def test_both_field_arrays_grown_by_a_seed_are_read_with_their_new_values():
    bx, by = np.array(BX), np.array(BY)

    def grow():
        for arr, values in ((bx, BX), (by, BY)):
            arr.resize(12, refcheck=False)
            arr[6:] = [v * -0.5 for v in values]

    got = trace(bx=bx, by=by, ny=4, ymax=2.0, seeds=[(Mutates(0.25, grow), 1.5)])
    assert_trace_matches(got, bx=BX + [v * -0.5 for v in BX], by=BY + [v * -0.5 for v in BY],
                         ny=4, ymax=2.0, seeds=[(0.25, 1.5)])


# --- calls made from inside a call --------------------------------------------


def test_nested_calls_from_callbacks_give_their_own_results():
    inner = {}

    def trace_inside():
        inner["trace"] = trace(max_steps=3)
        return 0.25

    def find_inside():
        inner["find"] = find(numsteps=2)
        return NX

    class FieldValues:
        def ravel(self, order):
            return self

        def tolist(self):
            inner["trace-in-tolist"] = trace(step=-0.0625)
            inner["find-in-tolist"] = find(x0=FOOT_Y, y0=FOOT_X)
            return BX

    got = trace(seeds=[(with_float(trace_inside), 0.5)], nx=with_index(find_inside))
    assert_trace_matches(got, seeds=[(0.25, 0.5)])
    assert_trace_matches(inner["trace"], max_steps=3)
    assert_find_matches(inner["find"], numsteps=2)
    assert_find_matches(find(var1=FieldValues()))
    assert_trace_matches(inner["trace-in-tolist"], step=-0.0625)
    assert_find_matches(inner["find-in-tolist"], x0=FOOT_Y, y0=FOOT_X)


def test_nested_failures_travel_outward():
    def binding_error():
        trace_fieldlines(1, 2, 3)

    def fault():
        trace(nx=1)

    def swallowed():
        try:
            trace(nx=1)
        except BaseException:  # noqa: BLE001
            pass
        try:
            find(x0=[0.5])
        except ValueError:
            pass
        return 0.5

    with pytest.raises(TypeError) as info:
        trace(xmin=with_float(binding_error))
    assert info.value.args == (
        "argument 'xmin': trace_fieldlines() missing 8 required positional arguments: "
        "'ymax', 'nx', 'ny', 'bx', 'by', 'seeds', 'step', and 'max_steps'",)
    with pytest.raises(BaseException) as info:
        find(step=with_float(fault))
    assert type(info.value) is PanicException
    assert info.value.args == ("nx must be at least 2",)
    assert_trace_matches(trace(seeds=[(with_float(swallowed), 0.5)]), seeds=[(0.5, 0.5)])


def test_unbounded_recursion_ends_in_recursion_error():
    class Recurse:
        def __float__(self):
            trace(xmin=self)
            return 0.0

    with pytest.raises(RecursionError):
        trace(xmin=Recurse())
    assert_trace_matches(trace())


# --- a PanicException raised by the caller's own code ---------------------------


class RavelFault:
    def ravel(self, order):
        raise PanicException("a fault in ravel")


class ToListFault:
    def ravel(self, order):
        return self

    def tolist(self):
        raise PanicException("a fault in tolist")


class RavelLookupFault:
    def __getattr__(self, name):
        raise PanicException("a fault looking up " + name)


class CoordinatesFault:
    @property
    def x1(self):
        raise PanicException("a fault reading x1")


class FieldFault:
    x1, x2, by = X1, X2, BY

    @property
    def bx(self):
        raise PanicException("a fault reading bx")


def panic_hooks():
    return {
        "ravel": (lambda: find(x2=RavelFault()), "a fault in ravel"),
        "tolist": (lambda: find(var2=ToListFault()), "a fault in tolist"),
        "ravel-lookup": (lambda: find(y0=RavelLookupFault()), "a fault looking up ravel"),
        "data-attribute": (lambda: find(CoordinatesFault()), "a fault reading x1"),
        "field-attribute": (lambda: find(FieldFault()), "a fault reading bx"),
    }


PANIC_HOOKS = panic_hooks()


@pytest.mark.parametrize("call,message", PANIC_HOOKS.values(), ids=PANIC_HOOKS.keys())
def test_panic_raised_by_user_code_returns_as_a_panic(call, message):
    with pytest.raises(BaseException) as info:
        call()
    assert type(info.value) is PanicException
    assert info.value.args == (message,)


def test_an_unrelated_exception_called_panic_is_not_a_fault():
    Impostor = type("PanicException", (BaseException,), {})
    with pytest.raises(Impostor):
        trace(xmin=with_float(raiser(Impostor, "just a namesake")))


# --- NumPy arrays of every layout ------------------------------------------------


def grid_values(values):
    """Flat values (x fastest) as the (nx, ny) array that find_fieldlines flattens."""
    return np.array(values, dtype=np.float64).reshape(NY, NX).T


@pytest.mark.parametrize("make", [
    lambda v: grid_values(v),                       # a transposed view
    lambda v: np.ascontiguousarray(grid_values(v)),
    lambda v: np.asfortranarray(grid_values(v)),
    lambda v: grid_values(v)[::-1, ::-1][::-1, ::-1],
    lambda v: grid_values(v).astype(">f8"),
    lambda v: np.stack([grid_values(v)] * 3, axis=2)[:, :, 1],
    lambda v: misaligned(v).reshape(NY, NX).T,
    lambda v: np.broadcast_to(grid_values(v)[:, :, None], (NX, NY, 4))[:, :, 2],
], ids=["transposed", "c-order", "f-order", "double-reversed", "big-endian", "sliced-3d",
        "misaligned", "broadcast-3d-slice"])
def test_find_fields_in_two_dimensional_layouts(make):
    assert_find_matches(find(data(bx=make(BX), by=make(BY))))


@pytest.mark.parametrize("value", [0.75, -0.0, 3])
def test_find_constant_fields_broadcast_from_one_value(value):
    flat = [float(value)] * (NX * NY)
    got = find(data(bx=np.broadcast_to(value, (NX, NY)), by=np.broadcast_to(0.5, (NX, 1, NY))))
    assert_find_matches(got, bx=flat, by=[0.5] * (NX * NY))


@pytest.mark.exhausts_memory
def test_find_huge_broadcast_values_are_refused_for_lack_of_memory():
    huge = np.broadcast_to(0.5, (1 << 24, 1 << 24))  # 2 PiB: beyond any address space
    with pytest.raises(MemoryError):
        find(x0=huge, y0=huge)


# --- defects found here ------------------------------------------------------------


def test_field_name_is_looked_up_whole():
    """A field name holding a NUL character names no attribute of data.

    The whole name is the attribute's name, as getattr() sees it; looking up
    only the text before the NUL finds another attribute and traces the wrong
    field.
    """
    name = "bx\x00not-a-field"
    source = data()
    with pytest.raises(AttributeError):
        getattr(source, name)
    with pytest.raises(AttributeError):
        find(source, name, "by")


DTYPE_CHANGE = textwrap.dedent(
    """
    import sys
    import numpy as np
    from torvelin import trace_fieldlines

    which = sys.argv[1]
    arrays = {"bx": np.zeros(1 << 22), "by": np.zeros(1 << 22)}

    class Seed:
        def __float__(self):
            # an int8 view of the same 32 MiB: eight times as many elements
            arrays[which].dtype = np.int8
            return 0.5

    try:
        trace_fieldlines(0.0, 1.0, 0.0, 1.0, 2, 2, arrays["bx"], arrays["by"],
                         [(Seed(), 0.5)], 0.1, 1)
    except BaseException as exc:
        print(type(exc).__name__)
    else:
        print("result")
    """
)


@pytest.mark.parametrize("which", ["bx", "by"])
def test_field_dtype_changed_by_a_seed_does_not_crash(which):
    """A seed's __float__ turns an accepted float64 field into an int8 array.

    The array now holds eight times as many (one-byte) elements in the same
    buffer; reading that many float64 values runs far past its end.  The call
    must fail cleanly (the array is no longer float64, or its length does not
    fit the grid) instead of crashing the interpreter.
    """
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "PYTHONHOME")}
    proc = subprocess.run([sys.executable, "-c", DTYPE_CHANGE, which], capture_output=True,
                          text=True, timeout=60, env=env)
    assert proc.returncode == 0, f"exit status {proc.returncode}: {proc.stderr[-2000:]}"
    assert proc.stdout.split() in (["TypeError"], ["PanicException"])
