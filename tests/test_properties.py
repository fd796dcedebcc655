"""Property tests: both functions bit for bit against the pure-Python model, and
argument binding against CPython's binding of plain functions of the same
signatures.

Two Hypothesis profiles: "ci" (the default, 500 examples per property) and
"long" (20,000), chosen with TORVELIN_HYPOTHESIS_PROFILE=long.
"""

import math
import os
import warnings

import numpy as np
from hypothesis import HealthCheck, Phase, event, given, note, settings
from hypothesis import strategies as st

from conftest import (FIND_KEYWORD_ONLY, FIND_POSITIONAL, TRACE_PARAMS, assert_same_bits,
                      binding_error, model_trace_array, outcome)
from torvelin import find_fieldlines, trace_fieldlines
from reference import find_fieldlines as model_find

# Hypothesis's pytest plugin imports this module to write up a failure; under
# -W error a deprecation warning from one of its dependencies would turn the
# report into an internal error, so it is imported here, quietly, up front.
with warnings.catch_warnings():
    warnings.simplefilter("ignore")
    try:
        import hypothesis.extra._patching  # noqa: F401
    except ImportError:
        pass

_COMMON = dict(deadline=None, database=None, print_blob=True,
               phases=[Phase.explicit, Phase.reuse, Phase.generate, Phase.target, Phase.shrink],
               suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large,
                                      HealthCheck.large_base_example])
settings.register_profile("ci", max_examples=500, derandomize=True, **_COMMON)
settings.register_profile("long", max_examples=20_000, **_COMMON)
PROFILE = settings.get_profile(os.environ.get("TORVELIN_HYPOTHESIS_PROFILE", "ci"))

INF, NAN = math.inf, math.nan
SPECIAL = [0.0, -0.0, INF, -INF, NAN, 1e300, -1e300, 1e-300, 5e-324, -5e-324, 1.0, -1.0]


# --- values ---------------------------------------------------------------------


def moderate(lo=-4.0, hi=4.0):
    return st.floats(lo, hi, allow_nan=False, allow_infinity=False)


special = st.sampled_from(SPECIAL)


def now_and_then(draw):
    """True about one time in twelve.  (Hypothesis favours the ends of a range,
    so a value from its middle picks the rare case.)"""
    return draw(st.integers(0, 11)) == 6


def step_limits(hi):
    """0 now and then, else 1 to hi."""
    return st.composite(lambda draw: 0 if now_and_then(draw) else draw(st.integers(1, hi)))()


@st.composite
def bounds(draw):
    """(lo, hi) of one axis: ordinary, reversed, collapsed or extreme."""
    kind = draw(st.sampled_from(["ordinary"] * 6 + ["reversed", "collapsed", "extreme"]))
    lo = draw(moderate())
    hi = lo + draw(st.floats(0.25, 6.0))
    if kind == "reversed":
        lo, hi = hi, lo
    elif kind == "collapsed":
        hi = lo
    elif kind == "extreme":
        lo, hi = draw(st.sampled_from([
            (-1e300, 1e300), (-1e308, 1e308), (0.0, 5e-324), (-0.0, 0.0), (0.0, INF),
            (-INF, 0.0), (NAN, 1.0), (0.0, NAN), (1e-300, 2e-300), (-1.0, 1e300)]))
    return lo, hi


@st.composite
def fields(draw, nx, ny):
    """Flat (bx, by), index j * nx + i, smooth, random or sprinkled with special values."""
    kind = draw(st.sampled_from(["linear", "linear", "rotation", "random", "sprinkled"]))
    n = nx * ny
    if kind in ("linear", "rotation", "sprinkled"):
        a, b, c, d, e, f = (draw(moderate(-2.0, 2.0)) for _ in range(6))
        if kind == "rotation":
            a, b, c, d, e, f = 0.0, 0.0, -1.0, 0.0, 1.0, 0.0
        bx = [a + b * (i / (nx - 1)) + c * (j / (ny - 1) - 0.5) for j in range(ny) for i in range(nx)]
        by = [d + e * (i / (nx - 1) - 0.5) + f * (j / (ny - 1)) for j in range(ny) for i in range(nx)]
    else:
        bx = draw(st.lists(moderate(-3.0, 3.0), min_size=n, max_size=n))
        by = draw(st.lists(moderate(-3.0, 3.0), min_size=n, max_size=n))
    if kind == "sprinkled":
        for values in (bx, by):
            for _ in range(draw(st.integers(1, 3))):
                values[draw(st.integers(0, n - 1))] = draw(special)
    return bx, by


@st.composite
def points(draw, xb, yb, max_count=6):
    """Points inside, on the bounds, just beyond them, far outside, or NaN."""

    def coordinate(lo, hi):
        kind = draw(st.sampled_from(["inside"] * 4 + ["bound", "beyond", "special"]))
        if kind == "inside":
            t = draw(st.floats(0.0, 1.0))
            return lo + t * (hi - lo)
        if kind == "bound":
            return draw(st.sampled_from([lo, hi]))
        if kind == "beyond":
            edge = draw(st.sampled_from([lo, hi]))
            return math.nextafter(edge, draw(st.sampled_from([INF, -INF])))
        return draw(special)

    count = 0 if now_and_then(draw) else draw(st.integers(1, max_count))
    return [(coordinate(*xb), coordinate(*yb)) for _ in range(count)]


def steps(extent):
    ordinary = st.floats(0.001, 0.5).map(lambda s: s * extent if math.isfinite(extent) and extent
                                         else s)
    return st.one_of(
        ordinary, ordinary.map(lambda s: -s), ordinary, ordinary.map(lambda s: -s),
        st.sampled_from([0.0, -0.0, 5e-324, -5e-324, 1e-300, 1e300, -1e300, INF, -INF, NAN]))


@st.composite
def trace_cases(draw):
    nx, ny = draw(st.integers(2, 12)), draw(st.integers(2, 12))
    xb, yb = draw(bounds()), draw(bounds())
    bx, by = draw(fields(nx, ny))
    seeds = draw(points(xb, yb))
    extent = abs(xb[1] - xb[0])
    step = draw(steps(extent))
    max_steps = draw(step_limits(40))
    return (xb[0], xb[1], yb[0], yb[1], nx, ny, bx, by, seeds, step, max_steps)


@PROFILE
@given(case=trace_cases())
def test_trace_matches_model(case):
    xmin, xmax, ymin, ymax, nx, ny, bx, by, seeds, step, max_steps = case
    got = trace_fieldlines(xmin, xmax, ymin, ymax, nx, ny, np.array(bx), np.array(by),
                           list(seeds), step, max_steps)
    want, unfilled = model_trace_array(*case)
    reached = (~unfilled[:, :, 0]).sum(axis=1)
    note(f"points reached per seed: {reached.tolist()}")
    event(f"longest line: {'none' if not reached.size or reached.max() == 0 else 'one point' if reached.max() == 1 else 'several points'}")
    event(f"computed NaN: {bool(np.isnan(want[~unfilled]).any())}")
    assert_same_bits(got, want, unfilled)
    assert (got.view(np.uint64)[unfilled] == 0x7FF8000000000000).all()


@st.composite
def coordinate_values(draw, n, b):
    """n grid coordinates: evenly spaced between the bounds, or anything at all
    (only the first, second and last values count)."""
    lo, hi = b
    if draw(st.integers(0, 4)) > 0:
        return [lo + (hi - lo) * (k / (n - 1)) for k in range(n)]
    values = draw(st.lists(st.one_of(moderate(), special), min_size=n, max_size=n))
    values[0], values[-1] = lo, hi
    return values


def field_form(values, nx, ny, form):
    if form == "list":
        return list(values)
    if form == "tuple":
        return tuple(values)
    # the (nx, ny) array that flattens column-major to the flat values
    return np.array(values, dtype=np.float64).reshape(ny, nx).T


option_numbers = st.one_of(moderate(-1.0, 1.0), st.floats(0.001, 0.5), special)


@st.composite
def loop_cases(draw):
    """A rotation about the centre, with options under which lines can close."""
    nx, ny = draw(st.integers(2, 12)), draw(st.integers(2, 12))
    lo, half = draw(moderate(-2.0, 2.0)), draw(st.floats(0.5, 3.0))
    xc = [lo + 2.0 * half * k / (nx - 1) for k in range(nx)]
    yc = [lo + 2.0 * half * k / (ny - 1) for k in range(ny)]
    centre = lo + half
    bx = [-(y - centre) for y in yc for _ in xc]
    by = [x - centre for _ in yc for x in xc]
    feet = [(centre + r * half, centre)
            for r in draw(st.lists(st.floats(-0.9, 0.9), min_size=1, max_size=4))]
    step = draw(st.floats(0.05, 0.6)) * draw(st.sampled_from([1.0, -1.0]))
    options = {"numsteps": draw(step_limits(30)), "step": step,
               "maxstep": abs(step) * draw(st.sampled_from([0.5, 1.0, 1.5, 2.0, 3.0])),
               "ctol": half * draw(st.sampled_from([0.05, 0.3, 1.0, 3.0]))}
    if draw(st.booleans()):
        options["close"] = draw(st.booleans())
    return xc, yc, bx, by, feet, options


@st.composite
def find_cases(draw):
    form = draw(st.sampled_from(["list", "tuple", "array"]))
    if draw(st.integers(0, 4)) == 0:
        return draw(loop_cases()) + (form,)
    nx, ny = draw(st.integers(2, 12)), draw(st.integers(2, 12))
    xb, yb = draw(bounds()), draw(bounds())
    xc, yc = draw(coordinate_values(nx, xb)), draw(coordinate_values(ny, yb))
    bx, by = draw(fields(nx, ny))
    feet = draw(points(xb, yb, max_count=5))
    extent = abs(xb[1] - xb[0])
    options = {"numsteps": draw(step_limits(30))}
    if draw(st.booleans()):
        options["step"] = draw(steps(extent))
    if draw(st.booleans()):
        options["maxstep"] = draw(st.one_of(option_numbers, steps(extent)))
    if draw(st.booleans()):
        options["close"] = draw(st.booleans())
    if draw(st.booleans()):
        options["ctol"] = draw(st.one_of(option_numbers, st.sampled_from([0.05, 0.5, 2.0])))
    return xc, yc, bx, by, feet, options, form


@PROFILE
@given(case=find_cases())
def test_find_matches_model(case):
    xc, yc, bx, by, feet, options, form = case
    nx, ny = len(xc), len(yc)
    x0, y0 = [p[0] for p in feet], [p[1] for p in feet]
    got = find_fieldlines(None, field_form(bx, nx, ny, form), field_form(by, nx, ny, form),
                          x1=xc, x2=np.array(yc), x0=x0, y0=y0, **options)
    want = model_find(xc, yc, bx, by, x0, y0, **options)
    note(f"{len(want)} lines of lengths {[len(w[0]) for w in want]}")
    closed = sum(1 for xs, ys in want if len(xs) > 2 and (xs[0], ys[0]) == (xs[-1], ys[-1]))
    event(f"lines: {'none' if not want else 'some closed' if closed else 'all open'}")
    assert type(got) is list
    assert len(got) == len(want)
    for entry, (xs, ys) in zip(got, want):
        assert type(entry) is list and len(entry) == 2
        assert_same_bits(entry[0], np.array(xs, dtype=np.float64))
        assert_same_bits(entry[1], np.array(ys, dtype=np.float64))


# --- binding ----------------------------------------------------------------------

UNKNOWN_NAMES = ["x9", "Data", "max_step", "steps", "", "xmin_", "é", "\udc80", "seeds "]


# Valid values, distinct per parameter so that a value in the wrong slot shows.
TRACE_VALID = dict(xmin=0.0, xmax=1.0, ymin=-0.5, ymax=2.0, nx=3, ny=2,
                   bx=np.array([1.0, 0.5, -0.25, 0.75, 1.25, 0.5]),
                   by=np.array([0.5, -0.5, 0.25, 1.0, 0.0, -0.75]),
                   seeds=[(0.25, 0.5), (0.75, 1.5)], step=0.0625, max_steps=4)


class Data:
    x1 = [0.0, 0.5, 1.0]
    x2 = [-0.5, 2.0]
    bx = [1.0, 0.5, -0.25, 0.75, 1.25, 0.5]
    by = [0.5, -0.5, 0.25, 1.0, 0.0, -0.75]
    u = [0.25] * 6


FIND_VALID = dict(data=Data, var1="bx", var2="by", x1=[0.0, 0.25, 1.0], x2=[-0.25, 1.5],
                  x0=[0.25, 0.5], y0=[0.5, 1.0], maxstep=0.5, numsteps=5, step=0.0625,
                  rtol=1e-3, atol=1e-6, order="rk45", dense=False, close=False, ctol=0.01,
                  text=False, transpose=False)
class OtherData:
    x1 = [-1.0, 0.0, 1.0]
    x2 = [0.0, 0.5]
    bx = [0.5, 0.25, 1.0, -1.0, 0.5, 0.75]
    by = [1.0, 1.0, -0.5, 0.5, 0.25, 0.5]
    u = [-0.5] * 6


FIND_OTHER = dict(data=OtherData, var1="u", var2="bx", x1=None, x2=None, x0=[0.1, -0.5],
                  y0=[0.2, 0.25],
                  maxstep=None, numsteps=0, step=None, rtol=None, atol=None, order=None,
                  dense=None, close=True, ctol=None, text=True, transpose=True)
WRONG = ["text", None, 1.5, -1, [1.0, 2.0], object(), (0.5, 0.5)]


@st.composite
def argument_values(draw, names, valid, other=None):
    """A value for each parameter: valid ones (of two kinds where `other` is
    given) and, in about half of the calls, one or two of a wrong type."""
    values = {}
    for name in names:
        use_other = other is not None and draw(st.booleans())
        values[name] = other[name] if use_other else valid[name]
    wrong = draw(st.sampled_from([0, 0, 1, 2]))
    for name in draw(st.lists(st.sampled_from(names), min_size=wrong, max_size=wrong,
                              unique=True)):
        values[name] = draw(st.sampled_from(WRONG))
    return values


@st.composite
def call_shapes(draw, positional, keyword_only):
    """(number of positional arguments, keyword names in call order).

    Mostly complete calls, so that binding often succeeds; sometimes with an
    argument too many, one given twice, one missing or an unknown keyword.
    """
    count = len(positional)
    if draw(st.integers(0, 4)) == 2:
        nargs = draw(st.integers(count + 1, count + 2))
    else:
        nargs = draw(st.integers(0, count))
    names = [p for p in positional[nargs:] if draw(st.integers(0, 9)) != 5]
    names += [k for k in keyword_only if draw(st.integers(0, 9)) < 7]
    if nargs and draw(st.integers(0, 4)) == 2:
        names.append(draw(st.sampled_from(positional[:nargs])))     # given twice
    if draw(st.integers(0, 4)) == 2:
        names.append(draw(st.sampled_from(UNKNOWN_NAMES)))
    names = list(dict.fromkeys(names))
    return nargs, draw(st.permutations(names))


def split_call(positional, nargs, kwnames, values, extra):
    """Positional and keyword arguments of a call of this shape."""
    args = [values[name] if k < len(positional) else extra
            for k, name in enumerate(positional + ["extra"] * 2)][:nargs]
    kwargs = {name: values.get(name, extra) for name in kwnames}
    return args, kwargs


@PROFILE
@given(shape=call_shapes(TRACE_PARAMS, []), values=argument_values(TRACE_PARAMS, TRACE_VALID))
def test_trace_binding_follows_the_rules(shape, values):
    nargs, kwnames = shape
    args, kwargs = split_call(TRACE_PARAMS, nargs, kwnames, values, 0.5)
    expected = binding_error("trace_fieldlines", args, kwargs)
    got = outcome(lambda: trace_fieldlines(*args, **kwargs))
    event(f"binding: {expected.split(' ', 2)[1] if expected else 'bound'}")
    if expected is not None:
        assert got == ("raised", TypeError, (expected,))
        return
    # bound: the same as giving every value by position
    canonical = outcome(lambda: trace_fieldlines(*[values[p] for p in TRACE_PARAMS]))
    assert got == canonical
    if all(values[p] is TRACE_VALID[p] for p in TRACE_PARAMS):
        case = [values[p] for p in TRACE_PARAMS]
        want, unfilled = model_trace_array(*case)
        assert got[0] == "array"
        assert_same_bits(trace_fieldlines(*case), want, unfilled)


@PROFILE
@given(shape=call_shapes(FIND_POSITIONAL, FIND_KEYWORD_ONLY),
       values=argument_values(FIND_POSITIONAL + FIND_KEYWORD_ONLY, FIND_VALID, FIND_OTHER))
def test_find_binding_follows_the_rules(shape, values):
    nargs, kwnames = shape
    args, kwargs = split_call(FIND_POSITIONAL, nargs, kwnames, values, 0.5)
    expected = binding_error("find_fieldlines", args, kwargs)
    got = outcome(lambda: find_fieldlines(*args, **kwargs))
    event(f"binding: {expected.split(' ', 2)[1] if expected else 'bound'}")
    if expected is not None:
        assert got == ("raised", TypeError, (expected,))
        return
    given_kw = {k: values[k] for k in FIND_KEYWORD_ONLY if k in kwnames}
    canonical = outcome(lambda: find_fieldlines(*[values[p] for p in FIND_POSITIONAL], **given_kw))
    assert got == canonical
    # with values that all convert, the result is the model's for the bound values
    bound = dict(FIND_OTHER, **{k: None for k in FIND_KEYWORD_ONLY})
    bound.update(text=False, transpose=False)
    bound.update({p: values[p] for p in FIND_POSITIONAL})
    bound.update(given_kw)
    source = bound["data"]
    usable = (source in (Data, OtherData)
              and all(bound[k] is FIND_VALID[k] or bound[k] is FIND_OTHER[k]
                      or bound[k] is None for k in FIND_KEYWORD_ONLY)
              and bound["var1"] in ("bx", "by", "u") and bound["var2"] in ("bx", "by", "u")
              and bound["x0"] is not None and bound["y0"] is not None
              and bound["text"] is not None and bound["transpose"] is not None
              and bound["numsteps"] is not None)   # the default, 16384 steps, is too slow here
    if usable:
        xc = source.x1 if bound["x1"] is None else bound["x1"]
        yc = source.x2 if bound["x2"] is None else bound["x2"]
        usable = len(xc) * len(yc) == 6 and len(bound["x0"]) == len(bound["y0"])
    event(f"compared with the model: {usable}")
    if not usable:
        return
    want = model_find(xc, yc, getattr(source, bound["var1"]), getattr(source, bound["var2"]),
                      bound["x0"], bound["y0"], maxstep=bound["maxstep"],
                      numsteps=bound["numsteps"], step=bound["step"], close=bound["close"],
                      ctol=bound["ctol"])
    want_record = ("lines", [[((len(xs),), np.array(xs).view(np.uint64).tobytes()),
                              ((len(ys),), np.array(ys).view(np.uint64).tobytes())]
                             for xs, ys in want])
    assert got == want_record
