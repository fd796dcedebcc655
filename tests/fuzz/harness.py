"""Structured fuzz target for both functions of torvelin.

`run_one(data)` turns a byte string into one call of `trace_fieldlines` or
`find_fieldlines` with hostile arguments, runs it, and raises `Finding` when
the call ends in anything but the documented outcome.

Every case is built by a recipe, a function that makes a fresh, independent
set of argument objects each time it is called.  One set goes to the module;
another goes through `simulate_trace` / `simulate_find`, an executable Python
account of the documented conversions, checks and order of events.  Hostile
objects (callbacks that raise, lie, count their calls or change other
arguments) therefore behave the same way in both, and the simulation's
outcome is the expected one: the same exception (type and message), or a
result that `reference.py` recomputes bit for bit.  Where the documented
behaviour leaves a choice (an array whose dtype changes while it is held,
for example) the simulation answers with `Loose`, a set of acceptable
exception types.

The byte string is read by `Source`, which never runs out (missing bytes
read as zero, which picks the plainest choice everywhere), so every byte
string is a valid case and the stored corpus is independent of the fuzzing
engine.
"""

import contextlib
import ctypes
import io
import math
import operator
import os
import signal
import struct
import sys
import time
import types
import warnings
from fractions import Fraction

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))

import reference  # noqa: E402
import torvelin  # noqa: E402

# --- limits ------------------------------------------------------------------

RESULT_CAP = 32 << 20        # bytes of a result array the harness lets a call make
ENORMOUS = 1 << 40           # results at least this big must fail before allocating
MODEL_STEPS = 4000           # tracer steps the pure-Python model may take for one case
PREFIX_STEPS = 150           # steps of a long line compared with the model
GRID_CAP = 40_000            # grid points of the larger cases

OPTIONS = {
    # where a call may run longer than this after a signal became pending,
    # counted in CPU time, it is a finding (None: not checked)
    "interrupt_limit": 2.0,
    # windows of sizes with a known, reported defect: not called
    "avoid_known": False,
    # allow result arrays up to 1 GiB (slow; for local campaigns)
    "large": False,
}



def known_defect(num_seeds, max_steps):
    """The reported, not yet fixed defect that this trace_fieldlines call would
    meet, or None.  Only consulted with OPTIONS["avoid_known"] (which CI sets):
    when a defect is fixed, its entry goes, and its input moves from findings/
    to corpus/."""
    return None

TRACE_NAMES = ["xmin", "xmax", "ymin", "ymax", "nx", "ny", "bx", "by", "seeds", "step",
               "max_steps"]


NOT_CONTIGUOUS = "The given array is not contiguous or is misaligned."
GENERIC = "Expected a 1D sequence or NumPy array of numeric values"
QUIET_NAN = 0x7FF8000000000000


class Finding(AssertionError):
    """The call ended in something other than the documented outcome."""


class HostileError(Exception):
    """Raised by the harness's own callbacks."""


class HostileBase(BaseException):
    """Raised by the harness's own callbacks; not an Exception."""


class Loose(Exception):
    """The simulation's answer where several exception types are acceptable."""

    def __init__(self, *types_):
        super().__init__(", ".join(t.__name__ for t in types_))
        self.types = types_


class Skip(Exception):
    """The case would need more memory or time than the harness allows."""


class Discard(io.TextIOBase):
    def write(self, text):
        return len(text)


def _panic_type():
    with contextlib.redirect_stderr(Discard()):
        try:
            torvelin.trace_fieldlines(0, 1, 0, 1, 1, 2, np.zeros(2), np.zeros(2), [], 0.1, 1)
        except BaseException as exc:  # noqa: BLE001
            return type(exc)
    raise RuntimeError("nx = 1 did not fault")


PanicException = _panic_type()

# The interpreter's own conversions, the ones the module calls.
as_double = ctypes.pythonapi.PyFloat_AsDouble
as_double.restype = ctypes.c_double
as_double.argtypes = [ctypes.py_object]
_as_u64 = ctypes.pythonapi.PyLong_AsUnsignedLongLong
_as_u64.restype = ctypes.c_ulonglong
_as_u64.argtypes = [ctypes.py_object]
_is_sequence = ctypes.pythonapi.PySequence_Check
_is_sequence.restype = ctypes.c_int
_is_sequence.argtypes = [ctypes.py_object]


# --- the byte source -----------------------------------------------------------


class Source:
    """Choices read from a byte string; past its end every byte reads as 0."""

    def __init__(self, data):
        self.data, self.pos = bytes(data), 0

    def byte(self):
        if self.pos < len(self.data):
            self.pos += 1
            return self.data[self.pos - 1]
        return 0

    def below(self, n):
        """An integer in [0, n)."""
        if n <= 1:
            return 0
        width = (n - 1).bit_length() + 7 >> 3
        value = int.from_bytes(bytes(self.byte() for _ in range(width)), "little")
        return value % n

    def between(self, lo, hi):
        return lo + self.below(hi - lo + 1)

    def pick(self, options):
        return options[self.below(len(options))]

    def rarely(self, one_in=8):
        """True about once in `one_in`; a missing byte reads as False."""
        return self.byte() % one_in == one_in - 1

    def raw_float(self):
        return struct.unpack("<d", bytes(self.byte() for _ in range(8)))[0]


INF, NAN = math.inf, math.nan
SIGNALLING_NAN = struct.unpack("<d", struct.pack("<Q", 0x7FF0000000000001))[0]
NEGATIVE_NAN = struct.unpack("<d", struct.pack("<Q", 0xFFF8000000000000))[0]
SPECIAL = [0.0, -0.0, INF, -INF, NAN, 1e300, -1e300, 1e-300, 5e-324, -5e-324, 1.0, -1.0,
           0.5, 2.0**53, 1.7976931348623157e308, 2.2250738585072014e-308, SIGNALLING_NAN,
           NEGATIVE_NAN, 1e-9, 3.0]


def some_float(src, lo=-4.0, hi=4.0):
    kind = src.below(8)
    if kind < 5:
        return lo + (hi - lo) * (src.below(1 << 16) / 65535.0)
    if kind < 7:
        return src.pick(SPECIAL)
    return src.raw_float()


def bounds(src):
    """(lo, hi) of one axis: ordinary, reversed, collapsed or extreme."""
    kind = src.below(10)
    lo = some_float(src) if kind < 8 else 0.0
    hi = lo + 0.25 + src.below(64) / 8.0
    if kind == 6:
        lo, hi = hi, lo
    elif kind == 7:
        hi = lo
    elif kind >= 8:
        lo, hi = src.pick([(-1e300, 1e300), (-1e308, 1e308), (0.0, 5e-324), (-0.0, 0.0),
                           (0.0, INF), (-INF, 0.0), (NAN, 1.0), (0.0, NAN), (1e-300, 2e-300),
                           (-1.0, 1e300), (-INF, INF)])
    return lo, hi


def field_values(src, nx, ny):
    """Flat (bx, by), index j * nx + i."""
    n = nx * ny
    kind = src.below(7)
    if kind in (0, 1, 2, 6):
        a, b, c, d, e, f = (some_float(src, -2.0, 2.0) if kind != 6 else 0.0 for _ in range(6))
        if kind == 2:
            a, b, c, d, e, f = 0.0, 0.0, -1.0, 0.0, 1.0, 0.0
        if kind == 6:   # uniform and strong: every line leaves the grid soon
            a, d = src.pick([(40.0, 3.0), (-40.0, 7.0), (5.0, -60.0), (33.0, 33.0)])
        cells = [(i / (nx - 1), j / (ny - 1)) for j in range(ny) for i in range(nx)]
        bx = [a + b * u + c * (v - 0.5) for u, v in cells]
        by = [d + e * (u - 0.5) + f * v for u, v in cells]
    elif kind == 3 and n <= 4096:
        bx = [some_float(src, -3.0, 3.0) for _ in range(n)]
        by = [some_float(src, -3.0, 3.0) for _ in range(n)]
    else:
        bx = [math.sin(0.37 * k + 1.0) for k in range(n)]
        by = [math.cos(0.21 * k - 0.5) for k in range(n)]
    if kind == 5 or src.rarely(12):
        for values in (bx, by):
            for _ in range(src.between(1, 3)):
                values[src.below(n)] = src.pick(SPECIAL)
    return bx, by


def coordinate(src, lo, hi):
    kind = src.below(8)
    if kind < 5:
        return lo + (src.below(1 << 16) / 65535.0) * (hi - lo)
    if kind == 5:
        return src.pick([lo, hi])
    if kind == 6:
        return math.nextafter(src.pick([lo, hi]), src.pick([INF, -INF]))
    return src.pick(SPECIAL)


def points(src, xb, yb, count):
    return [(coordinate(src, *xb), coordinate(src, *yb)) for _ in range(count)]


# --- hostile objects -----------------------------------------------------------


class FloatSub(float):
    pass


class IntSub(int):
    pass


class StrSub(str):
    pass


class TupleSub(tuple):
    pass


class HasFloat:
    def __init__(self, behaviour):
        self.behaviour = behaviour

    def __float__(self):
        return self.behaviour()


class HasIndex:
    def __init__(self, behaviour):
        self.behaviour = behaviour

    def __index__(self):
        return self.behaviour()


def raises(exc_type, message="from a callback"):
    def behaviour(*args):
        raise exc_type(message)
    return behaviour


def once(action, value):
    """A behaviour that runs `action` the first time and gives `value` every time."""
    done = []

    def behaviour():
        if not done:
            done.append(True)
            action()
        return value
    return behaviour


def float_object(src, value, action=None):
    """An object that the float conversion turns into `value`, or that fails."""
    if action is not None:
        return HasFloat(once(action, value))
    kind = src.below(24) if src.rarely(3) else 0
    finite = math.isfinite(value)
    integral = finite and value == int(value) and abs(value) < 2**62
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        options = {
            0: lambda: value,
            1: lambda: int(value) if integral else value,
            2: lambda: np.float64(value),
            3: lambda: np.float32(value),
            4: lambda: np.float16(value),
            5: lambda: np.int64(int(value)) if integral else np.longdouble(value),
            6: lambda: FloatSub(value),
            7: lambda: HasFloat(lambda: value),
            8: lambda: HasIndex(lambda: int(value)) if integral else HasFloat(lambda: value),
            9: lambda: bool(value) if value in (0.0, 1.0) else value,
            10: lambda: str(value),
            11: lambda: None,
            12: lambda: complex(value, 1.0),
            13: lambda: 10**400,
            14: lambda: HasFloat(raises(HostileError)),
            15: lambda: HasFloat(lambda: "0.5"),
            16: lambda: HasFloat(raises(HostileBase)),
            17: lambda: HasFloat(lambda: FloatSub(value)),
            18: lambda: np.array(value),
            19: lambda: Fraction(value) if finite else value,
            20: lambda: HasFloat(raises(TypeError, "no float here")),
            21: lambda: HasFloat(raises(PanicException, "a fault from a callback")),
            22: lambda: np.array([value]),
            23: lambda: HasIndex(lambda: 2**70),
        }
        return options[kind]()


def size_object(src, n):
    kind = src.below(16) if src.rarely(4) else 0
    options = {
        0: lambda: n,
        1: lambda: bool(n) if n in (0, 1) else n,
        2: lambda: np.int64(n) if n < 2**63 else np.uint64(n),
        3: lambda: IntSub(n),
        4: lambda: HasIndex(lambda: n),
        5: lambda: -1 - n % 3,
        6: lambda: 2**64 + n % 5,
        7: lambda: float(n),
        8: lambda: None,
        9: lambda: HasIndex(raises(HostileError)),
        10: lambda: str(n),
        11: lambda: HasIndex(lambda: IntSub(n)),
        12: lambda: np.float64(n),
        13: lambda: HasIndex(raises(HostileBase)),
        14: lambda: HasIndex(lambda: -(10**30)),
        15: lambda: HasIndex(lambda: float(n)),
    }
    return options[kind]()


def misaligned(values, dtype=np.float64):
    item = np.dtype(dtype).itemsize
    raw = bytearray(item * len(values) + 1)
    arr = np.frombuffer(raw, dtype=dtype, offset=1)
    arr[:] = values
    return arr


def strided(values):
    base = np.full(2 * len(values), -99.0)
    base[::2] = values
    return base[::2]


class NoRavel(np.ndarray):
    """An array without ravel: find_fieldlines reads its memory in place."""

    def __getattribute__(self, attr):
        if attr == "ravel":
            raise AttributeError(attr)
        return super().__getattribute__(attr)


class Sub(np.ndarray):
    pass


DTYPES = [np.float32, np.float16, np.int64, np.int32, np.int16, np.int8, np.uint64, np.uint32,
          np.uint16, np.uint8, np.bool_, np.complex128, np.complex64, object, np.longdouble,
          ">f8", ">f4", "<f8", ">i8", ">i2", ">u4", "<i4", "<u2"]


def trace_field(src, values):
    """A field component for trace_fieldlines: mostly right, sometimes not."""
    kind = src.below(20) if src.rarely(3) else 0
    n = len(values)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        options = {
            0: lambda: np.array(values),
            1: lambda: np.array(values)[::-1].copy()[::-1],
            2: lambda: strided(values),
            3: lambda: misaligned(values),
            4: lambda: cast(values, src.pick(DTYPES)),
            5: lambda: np.array(values).reshape(1, n),
            6: lambda: np.array(values[0] if n else 0.0),
            7: lambda: list(values),
            8: lambda: None,
            9: lambda: np.broadcast_to(values[0] if n else 0.0, (n,)),
            10: lambda: np.broadcast_to(0.5, (1 << 40,)),
            11: lambda: np.array(values + [0.25]),
            12: lambda: np.array(values[:-1]),
            13: lambda: np.zeros(0),
            14: lambda: np.array(values).view(Sub),
            15: lambda: np.asfortranarray(values),
            16: lambda: _read_only(np.array(values)),
            17: lambda: np.zeros(4)[::4][:0],
            18: lambda: np.array(values, dtype=np.float64)[::-1],
            19: lambda: np.ndarray(shape=(n,), dtype=np.float64, buffer=bytearray(8 * n + 1),
                                   offset=1),
        }
        return options[kind]()


def cast(values, dtype):
    """`values` as an array of `dtype`, or of float32 where they do not convert."""
    try:
        return np.array(values, dtype=dtype)
    except (OverflowError, ValueError):
        return np.array(values, dtype=np.float32)


def _read_only(arr):
    arr.flags.writeable = False
    return arr


class LyingLength(list):
    behaviour = None

    def __len__(self):
        return type(self).behaviour()


def lying_list(items, behaviour):
    return type("LyingList", (LyingLength,), {"behaviour": staticmethod(behaviour)})(items)


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


def breaks_after(count, exc_type):
    def make_iter(items):
        def gen():
            yield from items[:count]
            raise exc_type("broken while iterating")
        return gen()
    return make_iter


class ItemsThen:
    """An iterator object: the items, then StopIteration (or a subclass)."""

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


def sequence(src, items):
    """`items` in a container: list, tuple, or one of several hostile sequences."""
    kind = src.below(14) if src.rarely(3) else 0
    cut = src.below(len(items) + 1)
    options = {
        0: lambda: list(items),
        1: lambda: tuple(items),
        2: lambda: lying_length_for(src, items),
        3: lambda: Iterates(items, breaks_after(cut, src.pick([HostileError, TypeError,
                                                                HostileBase, StopIteration]))),
        4: lambda: Iterates(items, lambda its: ItemsThen(its[:cut], src.pick([StopIteration,
                                                                                StopSub]))),
        5: lambda: Iterates(items[:1], lambda its: iter(items)),
        6: lambda: Iterates(items, raises(HostileError)),
        7: lambda: Iterates(items, lambda its: 5),
        8: lambda: (x for x in items),
        9: lambda: set(items) if all(_hashable(x) for x in items) else list(items),
        10: lambda: {k: v for k, v in enumerate(items)},
        11: lambda: "ab",
        12: lambda: StrSub("ab"),
        13: lambda: None,
    }
    return options[kind]()


def _hashable(x):
    try:
        hash(x)
    except TypeError:
        return False
    return True


def lying_length_for(src, items):
    return lying_list(items, src.pick([raises(HostileError), raises(TypeError), lambda: "2",
                                       lambda: -5, lambda: 2**100, lambda: 2**62, lambda: 0,
                                       lambda: 1000]))


def seed_tuple(src, point, action=None):
    x, y = point
    kind = src.below(10) if src.rarely(4) else 0
    fx = float_object(src, x, action)
    fy = float_object(src, y)
    options = {
        0: lambda: (fx, fy),
        1: lambda: TupleSub((fx, fy)),
        2: lambda: [fx, fy],
        3: lambda: (fx, fy, 0.0),
        4: lambda: (fx,),
        5: lambda: (),
        6: lambda: np.array([x, y]),
        7: lambda: LyingTuple((fx, fy)),
        8: lambda: complex(x, y),
        9: lambda: (fx, fy),
    }
    return options[kind]()


class LyingTuple(tuple):
    def __len__(self):
        return 5

    def __getitem__(self, index):
        raise HostileError("the items are read directly")

    def __iter__(self):
        raise HostileError("the items are read directly")


# --- the simulation: what the module is documented to do -----------------------


def prefixed(name, exc):
    """The argument-name prefix rule."""
    if type(exc) is TypeError:
        new = TypeError(f"argument '{name}': {exc}")
        new.__cause__ = exc.__cause__
        return new
    return exc


def type_mismatch(obj, expected):
    if obj is None:
        return TypeError(f"'None' is not an instance of '{expected}'")
    return TypeError(f"'{type(obj).__qualname__}' object is not an instance of '{expected}'")


def convert_float(obj):
    if type(obj) is float:
        return obj
    return as_double(obj)


def convert_size(obj):
    if not isinstance(obj, int):
        obj = operator.index(obj)
    return _as_u64(obj)


def is_float64_array(obj, native=True):
    if not isinstance(obj, np.ndarray):
        return False
    dtype = np.ndarray.__getattribute__(obj, "dtype")
    return dtype == np.dtype(np.float64) and (dtype.isnative or not native)


def convert_field_array(obj):
    if not (isinstance(obj, np.ndarray) and obj.ndim == 1 and is_float64_array(obj)):
        raise type_mismatch(obj, "ndarray")
    return obj


def convert_seeds(obj):
    if isinstance(obj, str):
        raise TypeError("Can't extract `str` to `Vec`")
    if not _is_sequence(obj):
        raise type_mismatch(obj, "Sequence")
    try:
        len(obj)
    except Exception:  # noqa: BLE001  (a hint only)
        pass
    pairs = []
    for item in obj:
        if not isinstance(item, tuple):
            raise type_mismatch(item, "tuple")
        length = tuple.__len__(item)
        if length != 2:
            raise ValueError(f"expected tuple of length 2, but got tuple of length {length}")
        pairs.append((convert_float(tuple.__getitem__(item, 0)),
                      convert_float(tuple.__getitem__(item, 1))))
    return pairs


def readable_in_place(arr):
    flags = np.ndarray.__getattribute__(arr, "flags")
    return arr.size == 0 or (flags.aligned and (flags.c_contiguous or flags.f_contiguous))


def read_field(arr, name, nx, ny):
    """Step 1 and 2 of trace_fieldlines, done after every argument was converted."""
    if not (arr.ndim == 1 and is_float64_array(arr)):
        raise Loose(TypeError, PanicException)        # changed while it was held
    if not readable_in_place(arr):
        raise TypeError(NOT_CONTIGUOUS)
    return [float(v) for v in np.ndarray.view(arr, np.ndarray)]


def check_grid(nx, ny, bx_len, by_len):
    if nx < 2:
        raise PanicException("nx must be at least 2")
    if ny < 2:
        raise PanicException("ny must be at least 2")
    for name, length in (("bx", bx_len), ("by", by_len)):
        if nx * ny > reference.U64_MAX:
            raise PanicException("attempt to multiply with overflow")
        if length != nx * ny:
            raise PanicException(f"assertion `left == right` failed: {name} length must be "
                                 f"nx * ny\n  left: {length}\n right: {nx * ny}")


def simulate_trace(args):
    """What trace_fieldlines(*args) is documented to do, without the tracing.

    Returns (grid arguments, seeds, step, max_steps), or raises the call's
    exception."""
    kinds = [convert_float] * 4 + [convert_size] * 2 + [convert_field_array] * 2 + [
        convert_seeds, convert_float, convert_size]
    values = []
    for name, kind, obj in zip(TRACE_NAMES, kinds, args):
        try:
            values.append(kind(obj))
        except BaseException as exc:  # noqa: BLE001
            raise prefixed(name, exc) from None
    xmin, xmax, ymin, ymax, nx, ny, bx, by, seeds, step, max_steps = values
    if any(not (arr.ndim == 1 and is_float64_array(arr)) for arr in (bx, by)):
        raise Loose(TypeError, PanicException)        # changed while it was held
    bx = read_field(bx, "bx", nx, ny)
    by = read_field(by, "by", nx, ny)
    check_grid(nx, ny, len(bx), len(by))
    if max_steps == reference.U64_MAX:
        raise PanicException("attempt to add with overflow")
    axes = [n for n in (len(seeds), max_steps + 1, 2) if n]
    if math.prod(axes) > 2**63 - 1:
        raise Loose(PanicException)      # "shape ... is too large"
    if not seeds and 8 * math.prod(axes) > 2**63 - 1:
        raise Loose(ValueError)          # NumPy's "array is too big"
    return (xmin, xmax, ymin, ymax, nx, ny, bx, by), seeds, step, max_steps


def extract_vector(arg, reading=None):
    """The values of `arg`; when it is a NumPy array, how it was read goes
    into `reading` (a list): its shape, and whether its first index was read
    fastest."""
    try:
        getattr(arg, "ravel")
        has_ravel = True
    except AttributeError:
        has_ravel = False
    if has_ravel:
        if reading is not None and isinstance(arg, np.ndarray):
            reading.extend([np.ndarray.view(arg, np.ndarray).shape, True])
        flat = arg.ravel("F")
        return sequence_values(flat.tolist(), passthrough=True)
    if isinstance(arg, np.ndarray) and is_float64_array(arg):
        plain = np.ndarray.view(arg, np.ndarray)
        if reading is not None:
            reading.extend([plain.shape, plain.ndim == 1])
        if arg.ndim == 1:
            if arg.size == 0:
                return []
            if not readable_in_place(arg):
                raise TypeError(NOT_CONTIGUOUS)
            return [float(v) for v in plain]
        if plain.size * 8 > RESULT_CAP:
            raise Skip("large in-place array")
        return [float(v) for v in plain.reshape(-1)]
    try:
        return sequence_values(arg, passthrough=False)
    except Exception:  # noqa: BLE001  (ordinary failures: the generic message)
        raise TypeError(GENERIC) from None


def sequence_values(obj, passthrough):
    if isinstance(obj, str):
        raise TypeError("Can't extract `str` to `Vec`")
    if not _is_sequence(obj):
        raise type_mismatch(obj, "Sequence")
    try:
        len(obj)
    except Exception:  # noqa: BLE001
        pass
    return [convert_float(item) for item in obj]


def extract_field(data, field):
    """The component's values, and how it was read when it is a NumPy array:
    (shape, whether its first index was read fastest), else None."""
    if isinstance(field, str):
        field.encode("utf-8")
        source = getattr(data, field)
    else:
        source = field
    reading = []
    values = extract_vector(source, reading)
    return values, tuple(reading) or None


def layout_refusal(reading, field, slot, nx, ny):
    """The ValueError of a component whose long axes are not in the order
    its reading needs ((nx, ny) first index fastest, else (ny, nx)), or None."""
    if reading is None:
        return None
    shape, first_fastest = reading
    long_axes = [n for n in shape if n > 1]
    needed = [nx, ny] if first_fastest else [ny, nx]
    if len(long_axes) < 2 or long_axes == needed:
        return None
    if isinstance(field, str):
        name, transposed = f"'{field}'", f"{field}.T"
    else:
        name, transposed = ("var1", "var2")[slot], "its transpose (.T)"
    shown = "(" + ", ".join(str(n) for n in shape) + ")"
    grid = (f"the grid is (nx, ny) = ({nx}, {ny})" if first_fastest else
            f"an array without ravel() is read with its last index fastest, so the grid "
            f"needs (ny, nx) = ({ny}, {nx})")
    remedy = (f"pass {transposed}" if long_axes == needed[::-1]
              else "pass an array whose axes longer than 1 are those")
    return ValueError(f"field component {name} has shape {shown} but {grid}; {remedy}, "
                      f"or a flat array with x varying fastest")


FOOTPOINTS_MISSING = "Footpoints not provided. Please provide x0 and y0."


def simulate_find(data, var1, var2, kwargs):
    """What find_fieldlines(data, var1, var2, **kwargs) is documented to do, up
    to the tracing.  Returns the model's arguments, or raises."""
    floats = ("maxstep", "step", "rtol", "atol", "ctol")
    conv = {}
    for name in ("maxstep", "numsteps", "step", "rtol", "atol", "order", "dense", "close",
                 "ctol", "text", "transpose"):
        obj = kwargs.get(name)
        try:
            if name in ("text", "transpose") and name not in kwargs:
                conv[name] = False
            elif obj is None and name not in ("text", "transpose"):
                conv[name] = None
            elif name in floats:
                conv[name] = convert_float(obj)
            elif name == "numsteps":
                conv[name] = convert_size(obj)
            elif name == "order":
                if not isinstance(obj, str):
                    raise type_mismatch(obj, "str")
                obj.encode("utf-8")
                conv[name] = obj
            else:
                conv[name] = convert_bool(obj, name)
        except BaseException as exc:  # noqa: BLE001
            raise prefixed(name, exc) from None
    x1, x2, x0, y0 = (kwargs.get(k) for k in ("x1", "x2", "x0", "y0"))
    xc = extract_vector(getattr(data, "x1") if x1 is None else x1)
    yc = extract_vector(getattr(data, "x2") if x2 is None else x2)
    if len(xc) < 2 or len(yc) < 2:
        raise ValueError("x1 and x2 must each contain at least 2 points")
    if x0 is None:
        raise ValueError(FOOTPOINTS_MISSING)
    x0 = extract_vector(x0)
    if y0 is None:
        raise ValueError(FOOTPOINTS_MISSING)
    y0 = extract_vector(y0)
    if len(x0) != len(y0):
        raise ValueError("x0 and y0 must have the same length")
    bx, bx_reading = extract_field(data, var1)
    by, by_reading = extract_field(data, var2)
    nx, ny = len(xc), len(yc)
    if len(bx) != nx * ny or len(by) != nx * ny:
        raise ValueError(f"Field arrays must have length nx * ny (got bx={len(bx)}, "
                         f"by={len(by)}, nx*ny={nx * ny})")
    for slot, (field, reading) in enumerate([(var1, bx_reading), (var2, by_reading)]):
        refusal = layout_refusal(reading, field, slot, nx, ny)
        if refusal is not None:
            raise refusal
    numsteps = conv["numsteps"]
    if x0 and numsteps is not None and numsteps + 2 > reference.U64_MAX:
        raise PanicException("attempt to add with overflow")
    return dict(xc=xc, yc=yc, bx=bx, by=by, x0=x0, y0=y0, maxstep=conv["maxstep"],
                numsteps=numsteps, step=conv["step"], close=conv["close"], ctol=conv["ctol"])


def convert_bool(obj, name):
    if type(obj) is bool:
        return obj
    t = type(obj)
    if t.__module__ == "numpy" and t.__name__ in ("bool_", "bool"):
        return bool(obj)
    raise type_mismatch(obj, "bool")


# --- cases ------------------------------------------------------------------------


class Case:
    """A call to make, a recipe for its arguments, and how to judge it."""

    def __init__(self, function, recipe, description, mutates=False):
        self.function, self.recipe, self.description = function, recipe, description
        # a case that changes its own arguments may drop references legitimately
        self.mutates = mutates
        # (change of the call's shape, message of the binding TypeError), or None
        self.binding = None


def trace_case(src):
    size = src.below(8)
    if size < 6:
        nx, ny = src.between(2, 12), src.between(2, 12)
    elif size == 6:
        nx, ny = src.between(2, 200), src.between(2, 200)
    else:
        nx, ny = src.pick([0, 1, 2, 3]), src.pick([0, 1, 2, 5])
    xb, yb = bounds(src), bounds(src)
    bx, by = field_values(src, max(nx, 2), max(ny, 2))
    count = src.pick([1, 2, 3, 5, 8, 0, 16, 24, 1, 2, 64, 200])
    seeds = points(src, xb, yb, count)
    extent = abs(xb[1] - xb[0]) if math.isfinite(xb[1] - xb[0]) else 1.0
    step = step_value(src, extent)
    max_steps = max_steps_value(src, len(seeds))
    mutation = src.below(10) if src.rarely(6) else None
    grid_nx = src.pick([nx, nx, nx, 2**32, 2**63, 2**64 - 1]) if src.rarely(16) else nx
    draws = src.data[src.pos:]

    def recipe():
        sub = Source(draws)
        fields = {"bx": trace_field(sub, bx), "by": trace_field(sub, by)}
        seeds_box = []
        action = field_mutation(sub, mutation, fields, seeds_box) if mutation is not None else None
        seed_objs = [seed_tuple(sub, p, action if k == 0 else None) for k, p in enumerate(seeds)]
        seeds_box.append(sequence(sub, seed_objs))
        args = [float_object(sub, xb[0]), float_object(sub, xb[1]), float_object(sub, yb[0]),
                float_object(sub, yb[1]), size_object(sub, grid_nx), size_object(sub, ny),
                fields["bx"], fields["by"], seeds_box[0], float_object(sub, step),
                size_object(sub, max_steps)]
        if action is not None and (not seeds or sub.rarely(3)):
            args[9] = float_object(sub, step, action)
        if action is not None and sub.rarely(3):
            args[10] = HasIndex(once(action, max_steps))
        return args, {}

    desc = (f"trace_fieldlines nx={grid_nx} ny={ny} x={xb} y={yb} seeds={len(seeds)} "
            f"step={step!r} max_steps={max_steps} mutation={mutation}")
    return Case(torvelin.trace_fieldlines, recipe, desc, mutation is not None)


def step_value(src, extent):
    kind = src.below(6)
    if kind < 4:
        s = (0.001 + src.below(500) / 1000.0) * (extent if extent else 1.0)
        return -s if kind % 2 else s
    return src.pick([0.0, -0.0, 5e-324, -5e-324, 1e-300, 1e300, -1e300, INF, -INF, NAN, 1.0])


def max_steps_value(src, seeds):
    kind = src.below(16)
    if kind < 11:
        return src.pick([0, 1, 2, 3, 5, 8, 13, 21, 40, 64])
    if kind < 13:
        # with OPTIONS["large"], long enough for NaN padding and copies to take a while
        return src.between(100_000, 2_000_000) if OPTIONS["large"] and kind == 12 else \
            src.between(100, 4000)
    # near the edges of the unsigned and signed ranges and of powers of two
    base = src.pick([2**64, 2**63, 2**62, 2**61, 2**60, 2**59, 2**58, 2**45, 2**40, 2**36])
    offset = src.pick([-1, -2, -3, 0, 1, -(2**17), -(2**17) + 1, -(2**16), 2**17, -(2**21),
                       -(2**21) - 1, -(2**30)]) + src.below(9) - 4
    target = min(max(base + offset, 0), 2**64 - 1)
    if seeds > 1 and src.below(2):
        # the number of points, seeds * (max_steps + 1), near the target instead
        return max(target // seeds - 1, 0)
    return target


def field_mutation(src, kind, fields, seeds_box):
    """A change made to the field arrays (or the seeds) while the call runs."""
    which = src.pick(["bx", "by"])
    new_size = src.pick([0, 1, 3, 12, 1 << 16])
    factor = src.pick([2.0, -0.5, NAN, 0.0])

    def act():
        arr = fields[which]
        if not isinstance(arr, np.ndarray):
            return
        if kind == 0 and arr.flags.writeable and arr.size:
            arr[...] = arr * factor
        elif kind == 1 and arr.flags.owndata and arr.base is None:
            arr.resize(new_size, refcheck=False)
        elif kind == 2 and arr.flags.owndata and arr.base is None and arr.size:
            arr.dtype = np.int8
        elif kind == 3 and arr.flags.owndata and arr.base is None and arr.size % 2 == 0:
            arr.shape = (2, arr.size // 2)
        elif kind == 4 and arr.flags.writeable and arr.size:
            arr[0] = SIGNALLING_NAN
        elif kind == 5 and seeds_box and isinstance(seeds_box[0], list):
            seeds_box[0].clear()
        elif kind == 6 and seeds_box and isinstance(seeds_box[0], list):
            seeds_box[0].append((0.5, 0.5))
        elif kind == 7:
            arr.flags.writeable = False
        elif kind == 8 and arr.flags.owndata and arr.base is None and arr.size:
            arr.dtype = np.float32 if arr.size % 2 == 0 else np.float64
        elif kind == 9:
            # a call from inside the call
            torvelin.trace_fieldlines(0.0, 1.0, 0.0, 1.0, 2, 2, np.zeros(4), np.ones(4),
                                      [(0.5, 0.5)], 0.25, 3)
    return act


def loose_vector(src, values, shape=None):
    """`values` in one of the forms find_fieldlines accepts (or refuses).

    `shape` (nx, ny) allows two-dimensional field forms, flattened in
    column-major order."""
    kind = src.below(30) if src.rarely(3) else src.pick([0, 1, 2])
    n = len(values)
    arr = np.array(values, dtype=np.float64)
    grid = arr.reshape(shape[1], shape[0]).T if shape and n == shape[0] * shape[1] else arr
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        options = {
            0: lambda: list(values),
            1: lambda: arr.copy(),
            2: lambda: grid.copy(),
            3: lambda: tuple(values),
            4: lambda: np.asfortranarray(grid),
            5: lambda: np.ascontiguousarray(grid),
            6: lambda: cast(values, src.pick(DTYPES)),
            7: lambda: strided(values),
            8: lambda: arr[::-1].copy()[::-1],
            9: lambda: misaligned(values),
            10: lambda: grid.astype(">f8"),
            11: lambda: arr.view(NoRavel),
            12: lambda: misaligned(values).view(NoRavel),
            13: lambda: grid.view(NoRavel),
            14: lambda: np.broadcast_to(values[0] if n else 0.0, (n,)),
            15: lambda: np.broadcast_to(values[0] if n else 0.0, (1 << 40,)).view(NoRavel),
            16: lambda: sequence(src, list(values)),
            17: lambda: range(n),
            18: lambda: bytes(min(max(int(v), 0), 255) if math.isfinite(v) else 0 for v in values),
            19: lambda: np.array([float_object(src, v) for v in values], dtype=object),
            20: lambda: [float_object(src, v) for v in values],
            21: lambda: Flattens(list(values)),
            22: lambda: Flattens(src.pick([3, "text", iter(values), None, (1.0, "x")])),
            23: lambda: np.float64(values[0] if n else 0.5),
            24: lambda: values[0] if n else 0.5,
            25: lambda: np.stack([grid] * 3, axis=-1)[..., 1],
            26: lambda: arr.astype(">f8").view(NoRavel),
            27: lambda: np.zeros(0) if src.rarely(2) else np.zeros((0, 3)),
            28: lambda: RaisingRavel(src.pick([HostileError, AttributeError, HostileBase])),
            29: lambda: grid.view(Sub)[::-1, ::-1] if grid.ndim == 2 else arr.view(Sub),
        }
        return options[kind]()


class Flattens:
    """ravel(order) returns itself; tolist() returns `values`."""

    def __init__(self, values):
        self.values = values

    def ravel(self, order):
        return self

    def tolist(self):
        return self.values


class RaisingRavel:
    def __init__(self, exc_type):
        self.exc_type = exc_type

    def __getattr__(self, name):
        raise self.exc_type(name)


class ShiftingData:
    """A data object whose attributes give the next of several values on each read."""

    def __init__(self, versions, failing):
        self._versions, self._failing, self._reads = versions, failing, {}

    def __getattr__(self, name):
        if name.startswith("_"):
            raise AttributeError(name)
        if name in self._failing:
            raise self._failing[name](name)
        if name not in self._versions:
            raise AttributeError(name)
        count = self._reads.get(name, 0)
        self._reads[name] = count + 1
        versions = self._versions[name]
        return versions[min(count, len(versions) - 1)]


def find_case(src):
    size = src.below(8)
    if size < 6:
        nx, ny = src.between(2, 12), src.between(2, 12)
    elif size == 6:
        nx, ny = src.between(2, 120), src.between(2, 120)
    else:
        nx, ny = src.pick([0, 1, 2]), src.pick([1, 2, 3])
    xb, yb = bounds(src), bounds(src)
    nxv, nyv = max(nx, 2), max(ny, 2)
    xc = [xb[0] + (xb[1] - xb[0]) * (k / (nx - 1)) for k in range(nx)] if nx > 1 else [xb[0]] * nx
    yc = [yb[0] + (yb[1] - yb[0]) * (k / (ny - 1)) for k in range(ny)] if ny > 1 else [yb[0]] * ny
    if nx > 2 and src.rarely(6):   # only the first, second and last values count
        xc[1:-1] = [some_float(src) for _ in xc[1:-1]]
    bx, by = field_values(src, nxv, nyv)
    count = src.pick([1, 2, 3, 0, 5, 1, 2, 8, 16, 40])
    feet = points(src, xb, yb, count)
    options = {}
    extent = abs(xb[1] - xb[0]) if math.isfinite(xb[1] - xb[0]) else 1.0
    options["numsteps"] = src.pick([None, 0, 1, 2, 5, 10, 30, 40, 200, 2000, "huge"]) \
        if src.rarely(2) else src.pick([3, 8, 20, 40])
    if options["numsteps"] == "huge":
        options["numsteps"] = max_steps_value(src, count) if src.rarely(2) else \
            src.pick([2**64 - 1, 2**64 - 2, 2**64 - 3, 2**63, 2**62, 2**40])
    for name in ("step", "maxstep", "ctol", "close", "rtol", "atol", "order", "dense", "text",
                 "transpose"):
        if src.rarely(3):
            if name in ("step", "maxstep"):
                options[name] = step_value(src, extent)
            elif name == "ctol":
                options[name] = src.pick([0.05, 0.5, 2.0, -1.0, 0.0, NAN, INF, 1e-6])
            elif name in ("close", "dense", "text", "transpose"):
                options[name] = src.pick([True, False, np.True_, np.False_, 1, None, "yes"])
            elif name == "order":
                options[name] = src.pick(["rk4", "", StrSub("x"), 3, "\udc80", None])
            else:
                options[name] = src.pick([1e-3, None, "tight", 0])
    data_kind = src.below(6) if src.rarely(3) else 0
    pass_coords = src.below(3)         # 0: from data, 1: x1/x2 given, 2: one of each
    var_kind = src.below(5) if src.rarely(3) else 0
    missing = src.pick([None, "x0", "y0", "both"]) if src.rarely(10) else None
    mutate = src.below(6) if src.rarely(6) else None
    draws = src.data[src.pos:]

    def recipe():
        sub = Source(draws)
        fx = loose_vector(sub, bx, (nxv, nyv))
        fy = loose_vector(sub, by, (nxv, nyv))
        cx, cy = loose_vector(sub, xc), loose_vector(sub, yc)
        attrs = dict(x1=cx, x2=cy, bx=fx, by=fy, u=loose_vector(sub, [0.25] * (nxv * nyv)))
        if data_kind == 0:
            data = types.SimpleNamespace(**attrs)
        elif data_kind == 1:
            versions = {k: [v, loose_vector(sub, [0.5] * len(bx)), v] for k, v in attrs.items()}
            data = ShiftingData(versions, {})
        elif data_kind == 2:
            data = ShiftingData({k: [v] for k, v in attrs.items()},
                                {sub.pick(["x1", "x2", "bx", "by"]):
                                 sub.pick([HostileError, AttributeError, HostileBase])})
        elif data_kind == 3:
            data = None
        elif data_kind == 4:
            data = {"x1": cx, "bx": fx}
        else:
            data = types.SimpleNamespace(**attrs)
            data.x1 = data.x2 = None
        kwargs = {k: (float_object(sub, v) if isinstance(v, float) else
                      size_object(sub, v) if k == "numsteps" and isinstance(v, int) else v)
                  for k, v in options.items()}
        if pass_coords in (1, 2):
            kwargs["x1"] = loose_vector(sub, xc)
        if pass_coords == 1:
            kwargs["x2"] = loose_vector(sub, yc)
        action = find_mutation(mutate, data, attrs, bx) if mutate is not None else None
        foot_x = [float_object(sub, p[0], action if k == 0 else None) for k, p in enumerate(feet)]
        kwargs["x0"] = sub.pick([list, tuple])(foot_x) if action or not feet or sub.below(2) \
            else loose_vector(sub, [p[0] for p in feet])
        kwargs["y0"] = loose_vector(sub, [p[1] for p in feet])
        if missing in ("x0", "both"):
            kwargs["x0"] = None
        if missing in ("y0", "both"):
            kwargs.pop("y0")
        var1, var2 = {0: ("bx", "by"), 1: ("by", "bx"), 2: (fx, "by"), 3: ("u", "nope"),
                      4: (StrSub("bx"), "b\x00x")}[var_kind]
        return [data, var1, var2], kwargs

    desc = (f"find_fieldlines nx={nx} ny={ny} x={xb} y={yb} feet={len(feet)} options="
            f"{ {k: v for k, v in options.items()} } data_kind={data_kind} coords={pass_coords} "
            f"vars={var_kind} missing={missing} mutation={mutate}")
    return Case(torvelin.find_fieldlines, recipe, desc, mutate is not None)


def find_mutation(kind, data, attrs, bx_values):
    def act():
        if kind == 0 and isinstance(data, types.SimpleNamespace):
            data.bx = [v * 2.0 for v in bx_values]
        elif kind == 1 and isinstance(data, types.SimpleNamespace):
            data.x1 = [9.0, 9.5, 10.0]           # read already: no effect
        elif kind == 2 and isinstance(attrs["by"], np.ndarray) and attrs["by"].flags.writeable:
            attrs["by"][...] = -attrs["by"]
        elif kind == 3 and isinstance(data, types.SimpleNamespace):
            del data.by
        elif kind == 4 and isinstance(attrs["bx"], np.ndarray) and attrs["bx"].flags.owndata \
                and attrs["bx"].base is None:
            attrs["bx"].resize(3, refcheck=False)
        elif kind == 5:
            torvelin.find_fieldlines(types.SimpleNamespace(x1=[0.0, 1.0], x2=[0.0, 1.0]),
                                     [1.0] * 4, [0.5] * 4, x0=[0.5], y0=[0.5], numsteps=3)
    return act


# --- judging ------------------------------------------------------------------------


def describe_exception(exc):
    return f"{type(exc).__name__}({str(exc)[:300]!r})"


def same_exception(got, want):
    if isinstance(want, Loose):
        return isinstance(got, want.types)
    if type(want) is PanicException:
        return type(got) is PanicException and str(got) == str(want)
    return type(got) is type(want) and str(got) == str(want)


def same_bits(got, want):
    """Equal bit for bit; a computed NaN may be any NaN."""
    gb, wb = got.view(np.uint64), want.view(np.uint64)
    return bool(((gb == wb) | (np.isnan(got) & np.isnan(want))).all())


def check_trace_result(out, grid_args, seeds, step, max_steps):
    if type(out) is not np.ndarray or out.dtype != np.float64:
        raise Finding(f"result is {type(out).__name__}, not a float64 array")
    if out.shape != (len(seeds), max_steps + 1, 2):
        raise Finding(f"result shape {out.shape}, expected {(len(seeds), max_steps + 1, 2)}")
    if not (out.flags.c_contiguous and out.flags.writeable):
        raise Finding("result is not a writeable C-ordered array")
    if out.size == 0:
        return
    assert_inside(out[..., 0], out[..., 1], *grid_args[:4])
    grid = reference.Grid(*grid_args)
    bits = out.view(np.uint64)
    if len(seeds) * max_steps <= MODEL_STEPS:
        rows = range(len(seeds))
        limit = max_steps
    else:
        rows = sorted({0, len(seeds) - 1, len(seeds) // 2})
        limit = min(max_steps, PREFIX_STEPS)
    for row in rows:
        path = reference.trace_line(grid, seeds[row], step, limit)
        want = np.full((limit + 1, 2), NAN)
        if path:
            want[:len(path)] = path
        got = out[row, :limit + 1]
        if not same_bits(got, want):
            bad = np.argwhere(~((got.view(np.uint64) == want.view(np.uint64))
                                | (np.isnan(got) & np.isnan(want))))[0]
            raise Finding(f"seed {row} point {tuple(bad)}: got {got[tuple(bad)]!r}, "
                          f"model {want[tuple(bad)]!r}")
        ended = len(path) <= limit
        tail = bits[row, len(path):] if ended else bits[row, :0]
        if (tail != QUIET_NAN).any():
            raise Finding(f"seed {row}: a slot that no point reached is not the quiet NaN")


def assert_inside(xs, ys, x_min, x_max, y_min, y_max):
    """Every recorded point passed the domain test (NaN coordinates pass it)."""
    with np.errstate(invalid="ignore"):
        outside = (xs < x_min) | (xs > x_max) | (ys < y_min) | (ys > y_max)
    if outside.any():
        at = tuple(np.argwhere(outside)[0])
        raise Finding(f"point {at} ({xs[at]!r}, {ys[at]!r}) lies outside the domain")


def check_find_result(out, model_args):
    if type(out) is not list:
        raise Finding(f"result is {type(out).__name__}, not a list")
    for entry in out:
        if type(entry) is not list or len(entry) != 2:
            raise Finding("an entry is not a list of two arrays")
        for arr in entry:
            if type(arr) is not np.ndarray or arr.dtype != np.float64 or arr.ndim != 1:
                raise Finding("an entry holds something other than a 1-D float64 array")
        if len(entry[0]) != len(entry[1]) or len(entry[0]) < 2:
            raise Finding(f"an entry has lengths {len(entry[0])} and {len(entry[1])}")
    if len(out) > len(model_args["x0"]):
        raise Finding(f"{len(out)} lines from {len(model_args['x0'])} footpoints")
    xc, yc = model_args["xc"], model_args["yc"]
    for xs, ys in out:
        assert_inside(xs, ys, xc[0], xc[-1], yc[0], yc[-1])
    numsteps = model_args["numsteps"]
    steps = 16384 if numsteps is None else numsteps
    cost = len(model_args["x0"]) * min(steps, 10**9)
    fast = all(len(e[0]) < 60 for e in out)
    if cost > MODEL_STEPS and not (fast and len(model_args["x0"]) <= 40):
        return
    want = reference.find_fieldlines(**model_args) if cost <= MODEL_STEPS else \
        _bounded_model(model_args)
    if want is None:
        return
    if len(want) != len(out):
        raise Finding(f"{len(out)} lines, model {len(want)}")
    for k, (entry, (xs, ys)) in enumerate(zip(out, want)):
        for got, values, axis in ((entry[0], xs, "x"), (entry[1], ys, "y")):
            w = np.array(values, dtype=np.float64)
            if got.shape != w.shape or not same_bits(got, w):
                raise Finding(f"line {k} {axis}: got {got.shape}, model {w.shape}, bits differ")


class _TooLong(Exception):
    pass


def _bounded_model(model_args):
    """The model for huge step limits, given up when a line runs longer than 200 steps."""
    original = reference.rk4_step
    count = [0]

    def counting(*a):
        count[0] += 1
        if count[0] > 200 * (2 * len(model_args["x0"]) + 1):
            raise _TooLong
        return original(*a)

    reference.rk4_step = counting
    try:
        return reference.find_fieldlines(**model_args)
    except _TooLong:
        return None
    finally:
        reference.rk4_step = original


# --- one input ----------------------------------------------------------------------


def build(data):
    src = Source(data)
    case = trace_case(src) if src.below(2) == 0 else find_case(src)
    if src.rarely(12):
        case.binding = binding_error(src, case.function is torvelin.trace_fieldlines)
    return case


def binding_error(src, trace):
    """A change to the call's shape that binding refuses before any conversion:
    (change(args, kwargs) -> (args, kwargs), the TypeError's message)."""
    name = "trace_fieldlines()" if trace else "find_fieldlines()"
    positional = TRACE_NAMES if trace else ["data", "var1", "var2"]
    kind = src.below(4)
    if kind == 0:
        extra = src.between(1, 2)
        count = len(positional) + extra
        return (lambda a, k: (a + [0.5] * extra, k),
                f"{name} takes {len(positional)} positional arguments but {count} were given")
    if kind == 1:
        unknown = src.pick(["x9", "Data", "max_step", "seeds ", "é", ""])
        return (lambda a, k: (a, dict(k, **{unknown: 1.0})),
                f"{name} got an unexpected keyword argument '{unknown}'")
    if kind == 2:
        twice = src.pick(positional)
        return (lambda a, k: (a, dict(k, **{twice: None})),
                f"{name} got multiple values for argument '{twice}'")
    drop = src.between(1, 3)
    missing = positional[-drop:]
    quoted = [f"'{m}'" for m in missing]
    listed = quoted[0] if drop == 1 else f"{quoted[0]} and {quoted[1]}" if drop == 2 else \
        ", ".join(quoted[:-1]) + ", and " + quoted[-1]
    word = "argument" if drop == 1 else "arguments"
    return (lambda a, k: (a[:-drop], k),
            f"{name} missing {drop} required positional {word}: {listed}")


def expected_outcome(case):
    """('raises', exc) or ('result', details) from the simulation on fresh arguments."""
    args, kwargs = case.recipe()
    if case.binding:
        return "raises", TypeError(case.binding[1])
    try:
        if case.function is torvelin.trace_fieldlines:
            details = simulate_trace(args)
            grid_args, seeds, step, max_steps = details
            result_bytes = len(seeds) * (max_steps + 1) * 16
            if OPTIONS["avoid_known"] and known_defect(len(seeds), max_steps):
                raise Skip("known defect")
            if result_bytes >= ENORMOUS:
                if not _overcommit_refuses_enormous():
                    raise Skip("enormous results need an overcommit policy that refuses them")
                raise Loose(MemoryError)
            if result_bytes > (1 << 30 if OPTIONS["large"] else RESULT_CAP):
                raise Skip("result too large")
            if len(seeds) * max_steps > 300_000 and not OPTIONS["large"]:
                raise Skip("long")
        else:
            details = simulate_find(*args, kwargs)
            x0 = details["x0"]
            numsteps = details["numsteps"]
            if x0 and (numsteps is None or numsteps > 4000) and not _exits_fast(details):
                raise Skip("lines may run long")
            if len(details["bx"]) > GRID_CAP:
                raise Skip("large grid")
    except Skip:
        raise
    except BaseException as exc:  # noqa: BLE001
        return "raises", exc
    return "result", details


def _exits_fast(d):
    """Lines surely leave the grid within a few hundred steps: a uniform strong field,
    finite footpoints and a step big enough."""
    bx, by = d["bx"], d["by"]
    if not bx or len(set(bx)) != 1 or len(set(by)) != 1:
        return False
    if not all(math.isfinite(v) for v in d["x0"] + d["y0"] + d["xc"] + d["yc"]):
        return False
    span = max(abs(d["xc"][-1] - d["xc"][0]), abs(d["yc"][-1] - d["yc"][0]))
    speed = max(abs(bx[0]), abs(by[0]))
    step = d["step"] if d["step"] is not None else reference.fmin(
        abs(d["xc"][1] - d["xc"][0]), abs(d["yc"][1] - d["yc"][0]))
    maxstep = d["maxstep"] if d["maxstep"] is not None else step * 100.0
    h = abs(reference.fmin(step, maxstep))
    return math.isfinite(span) and math.isfinite(h) and speed > 0 and h * speed * 200 > span \
        and math.isfinite(h * speed)


_OVERCOMMIT = []


def _overcommit_refuses_enormous():
    if not _OVERCOMMIT:
        try:
            with open("/proc/sys/vm/overcommit_memory") as f:
                _OVERCOMMIT.append(f.read().strip() in ("0", "2"))
        except OSError:
            _OVERCOMMIT.append(False)
    return _OVERCOMMIT[0]


class _Interrupt:
    """A SIGPROF armed to arrive after `delay` seconds of CPU time; its handler
    raises KeyboardInterrupt in whatever Python code runs next."""

    def __init__(self, delay):
        self.delay, self.armed_at = delay, None

    def __enter__(self):
        self.old = signal.signal(signal.SIGPROF, self._handler)
        self.armed_at = time.process_time()
        signal.setitimer(signal.ITIMER_PROF, self.delay)
        return self

    def _handler(self, signum, frame):
        raise KeyboardInterrupt("from the harness")

    def __exit__(self, *exc):
        signal.setitimer(signal.ITIMER_PROF, 0)
        signal.signal(signal.SIGPROF, self.old)

    def lateness(self):
        """CPU seconds between the signal's arrival and now."""
        return time.process_time() - self.armed_at - self.delay


# Objects that the interpreter shares, whose reference counts are not the case's own.
SHARED = (int, float, str, bool, type(None), np.bool_)


def run_one(data):
    """Build, run and judge the case that `data` encodes.  Raises Finding."""
    case = build(data)
    src = Source(data[-4:])
    interrupt_delay = src.pick([None] * 6 + [0.0005, 0.004, 0.02, 0.06])
    warnings_mode = "error" if src.rarely(8) else "ignore"
    stderr = src.pick([Discard()] * 6 + [RaisingStream(), ReenteringStream()])
    with warnings.catch_warnings(), contextlib.redirect_stderr(stderr):
        warnings.simplefilter(warnings_mode)
        try:
            kind, detail = expected_outcome(case)
        except Skip:
            return "skipped"
        args, kwargs = case.recipe()
        if case.binding:
            args, kwargs = case.binding[0](args, kwargs)
        watched = [obj for obj in args + list(kwargs.values()) if type(obj) not in SHARED]
        counts = [sys.getrefcount(obj) for obj in watched]
        probe = _Interrupt(interrupt_delay) if interrupt_delay else None
        got, out = None, None
        try:
            try:
                with probe if probe else contextlib.nullcontext():
                    out = case.function(*args, **kwargs)
            except KeyboardInterrupt as exc:
                if probe is None or exc.args != ("from the harness",):
                    raise
                late = probe.lateness()
                limit = OPTIONS["interrupt_limit"]
                if limit is not None and late > limit:
                    raise Finding(f"a pending signal waited {late:.2f} s of CPU time "
                                  f"({case.description})") from None
                return "interrupted"
        except Finding:
            raise
        except BaseException as exc:  # noqa: BLE001
            got = exc
        judge(case, kind, detail, got, out)
        if got is not None:
            got.__traceback__ = None
        del got, out
        after = [sys.getrefcount(obj) for obj in watched]
        if after != counts and not case.mutates:
            changed = [k for k, (a, b) in enumerate(zip(counts, after)) if a != b]
            raise Finding(f"argument reference counts changed at {changed}: {counts} -> {after} "
                          f"({case.description})")
        name = case.function.__name__.split("_")[0]
        if kind == "result":
            return f"{name}: result"
        return f"{name}: {detail.args[0] if isinstance(detail, Loose) else type(detail).__name__}"


def judge(case, kind, detail, got, out):
    where = f" ({case.description})"
    if kind == "raises":
        if got is None:
            raise Finding(f"returned a result; expected {describe_exception(detail)}" + where)
        if not same_exception(got, detail):
            raise Finding(f"raised {describe_exception(got)}; expected "
                          f"{describe_exception(detail)}" + where)
        return
    if got is not None:
        raise Finding(f"raised {describe_exception(got)}; expected a result" + where)
    try:
        if case.function is torvelin.trace_fieldlines:
            check_trace_result(out, *detail)
        else:
            check_find_result(out, detail)
    except Finding as finding:
        raise Finding(str(finding) + where) from None


class RaisingStream(io.TextIOBase):
    """Standard error that fails: fault diagnostics must not change the outcome."""

    def write(self, text):
        raise HostileError("stderr is broken")


class ReenteringStream(io.TextIOBase):
    """Standard error that calls the module while a fault is being reported."""

    def write(self, text):
        torvelin.trace_fieldlines(0.0, 1.0, 0.0, 1.0, 2, 2, np.zeros(4), np.zeros(4),
                                  [(0.5, 0.5)], 0.5, 2)
        return len(text)
