"""Binding of positional and keyword arguments to parameters."""

import types

import numpy as np
import pytest

from conftest import TRACE_PARAMS as TRACE_NAMES
from torvelin import find_fieldlines, trace_fieldlines


class StrSub(str):
    pass


def trace_args():
    """A complete, valid argument list for trace_fieldlines, in parameter order."""
    return [0.0, 1.0, 0.0, 1.0, 2, 2, np.ones(4), np.zeros(4), [(0.5, 0.5)], 0.25, 2]


DATA = types.SimpleNamespace(x1=[0.0, 1.0, 2.0], x2=[0.0, 1.0], bx=np.zeros((3, 2)),
                             by=np.zeros((3, 2)))


def trace_kwargs_without(*names):
    return {k: v for k, v in zip(TRACE_NAMES, trace_args()) if k not in names}


BINDING_ERRORS = [
    # too many positional arguments
    (trace_fieldlines, trace_args() + [0], {},
     "trace_fieldlines() takes 11 positional arguments but 12 were given"),
    (trace_fieldlines, trace_args() + [0, 0], {},
     "trace_fieldlines() takes 11 positional arguments but 13 were given"),
    # keywords are not looked at once there are too many positional arguments
    (trace_fieldlines, trace_args() + [0], {"foo": 1},
     "trace_fieldlines() takes 11 positional arguments but 12 were given"),
    (trace_fieldlines, trace_args() + [0], {"xmin": 1},
     "trace_fieldlines() takes 11 positional arguments but 12 were given"),
    (find_fieldlines, (1, 2, 3, 4), {},
     "find_fieldlines() takes 3 positional arguments but 4 were given"),
    (find_fieldlines, (1, 2, 3, 4, 5, 6), {},
     "find_fieldlines() takes 3 positional arguments but 6 were given"),
    (find_fieldlines, (1, 2, 3, 4), {"x9": 0},
     "find_fieldlines() takes 3 positional arguments but 4 were given"),
    (find_fieldlines, (1, 2, 3, 4), {"data": 0},
     "find_fieldlines() takes 3 positional arguments but 4 were given"),
    # a fourth value valid for x1, maxstep or text is refused all the same
    *[(find_fieldlines, (DATA, "bx", "by", fourth), {"x0": [], "y0": []},
       "find_fieldlines() takes 3 positional arguments but 4 were given")
      for fourth in (None, [0.0, 1.0, 2.0], 1.0, True)],
    # multiple values
    (find_fieldlines, (1, 2, 3), {"data": 4},
     "find_fieldlines() got multiple values for argument 'data'"),
    (find_fieldlines, (1, 2, 3), {"var2": 4},
     "find_fieldlines() got multiple values for argument 'var2'"),
    # a str subclass as keyword name is matched by its text
    (find_fieldlines, (1, 2, 3), {StrSub("data"): 4},
     "find_fieldlines() got multiple values for argument 'data'"),
    (find_fieldlines, (1,), {"x1": None, "data": 4, "var1": 2, "var2": 3},
     "find_fieldlines() got multiple values for argument 'data'"),
    # the first offending keyword in call order decides
    (find_fieldlines, (1, 2, 3), {"data": 4, "x9": 0},
     "find_fieldlines() got multiple values for argument 'data'"),
    (trace_fieldlines, (0.0,), {"xmin": 0.0},
     "trace_fieldlines() got multiple values for argument 'xmin'"),
    (trace_fieldlines, trace_args(), {"max_steps": 3},
     "trace_fieldlines() got multiple values for argument 'max_steps'"),
    (trace_fieldlines, trace_args()[:5], {"nx": 3, "ny": 2},
     "trace_fieldlines() got multiple values for argument 'nx'"),
    # unexpected keyword
    (find_fieldlines, (1, 2, 3), {"foo": 1},
     "find_fieldlines() got an unexpected keyword argument 'foo'"),
    (find_fieldlines, (1, 2, 3), {"x9": 0, "data": 4},
     "find_fieldlines() got an unexpected keyword argument 'x9'"),
    (find_fieldlines, (1, 2, 3), {"x1": None, "bogus": 1, "other": 2},
     "find_fieldlines() got an unexpected keyword argument 'bogus'"),
    # names are compared exactly
    (find_fieldlines, (1, 2, 3), {"X1": None},
     "find_fieldlines() got an unexpected keyword argument 'X1'"),
    (find_fieldlines, (1, 2, 3), {"x1 ": None},
     "find_fieldlines() got an unexpected keyword argument 'x1 '"),
    (find_fieldlines, (1, 2, 3), {"\u00e9": None},
     "find_fieldlines() got an unexpected keyword argument '\u00e9'"),
    # a name that is not valid UTF-8 text is matched against nothing
    (find_fieldlines, (1, 2, 3), {"\ud800": None},
     "find_fieldlines() got an unexpected keyword argument '\ud800'"),
    # an unknown keyword is reported even when positionals are missing
    (find_fieldlines, (), {"foo": 1},
     "find_fieldlines() got an unexpected keyword argument 'foo'"),
    (trace_fieldlines, (), {**trace_kwargs_without(), "foo": 1},
     "trace_fieldlines() got an unexpected keyword argument 'foo'"),
    (trace_fieldlines, (), {"seed": 1},
     "trace_fieldlines() got an unexpected keyword argument 'seed'"),
    # keyword-only parameters of the other function are not parameters here
    (trace_fieldlines, trace_args(), {"text": False},
     "trace_fieldlines() got an unexpected keyword argument 'text'"),
    # missing positional arguments
    (find_fieldlines, (1, 2), {"x1": None},
     "find_fieldlines() missing 1 required positional argument: 'var2'"),
    (find_fieldlines, (1,), {},
     "find_fieldlines() missing 2 required positional arguments: 'var1' and 'var2'"),
    (find_fieldlines, (), {"var1": 2},
     "find_fieldlines() missing 2 required positional arguments: 'data' and 'var2'"),
    (find_fieldlines, (), {},
     "find_fieldlines() missing 3 required positional arguments: 'data', 'var1', and 'var2'"),
    (find_fieldlines, (), {"x0": [], "y0": []},
     "find_fieldlines() missing 3 required positional arguments: 'data', 'var1', and 'var2'"),
    (trace_fieldlines, (), {"xmin": 0},
     "trace_fieldlines() missing 10 required positional arguments: 'xmax', 'ymin', 'ymax', 'nx', 'ny', 'bx', 'by', 'seeds', 'step', and 'max_steps'"),
    (trace_fieldlines, (), {},
     "trace_fieldlines() missing 11 required positional arguments: 'xmin', 'xmax', 'ymin', 'ymax', 'nx', 'ny', 'bx', 'by', 'seeds', 'step', and 'max_steps'"),
    (trace_fieldlines, trace_args()[:8], {},
     "trace_fieldlines() missing 3 required positional arguments: 'seeds', 'step', and 'max_steps'"),
    (trace_fieldlines, trace_args()[:9], {},
     "trace_fieldlines() missing 2 required positional arguments: 'step' and 'max_steps'"),
    (trace_fieldlines, trace_args()[:10], {},
     "trace_fieldlines() missing 1 required positional argument: 'max_steps'"),
    (trace_fieldlines, (), trace_kwargs_without("nx"),
     "trace_fieldlines() missing 1 required positional argument: 'nx'"),
    (trace_fieldlines, (), trace_kwargs_without("xmin", "by"),
     "trace_fieldlines() missing 2 required positional arguments: 'xmin' and 'by'"),
    (trace_fieldlines, trace_args()[:2], trace_kwargs_without(*TRACE_NAMES[:2], "ymax", "seeds"),
     "trace_fieldlines() missing 2 required positional arguments: 'ymax' and 'seeds'"),
    # binding happens before conversion
    (trace_fieldlines, ["bad"] + trace_args()[1:] + [0], {},
     "trace_fieldlines() takes 11 positional arguments but 12 were given"),
    (trace_fieldlines, (), {"xmin": "bad"},
     "trace_fieldlines() missing 10 required positional arguments: 'xmax', 'ymin', 'ymax', 'nx', 'ny', 'bx', 'by', 'seeds', 'step', and 'max_steps'"),
    (trace_fieldlines, ("bad",), {"xmin": 0.0},
     "trace_fieldlines() got multiple values for argument 'xmin'"),
    (trace_fieldlines, ["bad"] + trace_args()[1:], {"foo": 1},
     "trace_fieldlines() got an unexpected keyword argument 'foo'"),
    (find_fieldlines, (1, 2, 3), {"text": 1, "foo": 1},
     "find_fieldlines() got an unexpected keyword argument 'foo'"),
    (find_fieldlines, (1, 2), {"text": 1, "numsteps": -1},
     "find_fieldlines() missing 1 required positional argument: 'var2'"),
    (find_fieldlines, (1, 2, 3), {"order": 3, "data": 1},
     "find_fieldlines() got multiple values for argument 'data'"),
]


@pytest.mark.parametrize("func, args, kwargs, message", BINDING_ERRORS)
def test_binding_error(func, args, kwargs, message):
    with pytest.raises(TypeError) as excinfo:
        func(*args, **kwargs)
    assert excinfo.type is TypeError
    assert excinfo.value.args == (message,)


# --- successful binding -----------------------------------------------------

def test_trace_by_keyword_equals_by_position():
    by_position = trace_fieldlines(*trace_args())
    by_keyword = trace_fieldlines(**dict(zip(TRACE_NAMES, trace_args())))
    mixed = trace_fieldlines(*trace_args()[:4], **dict(zip(TRACE_NAMES[4:], trace_args()[4:])))
    reordered = trace_fieldlines(**dict(reversed(list(zip(TRACE_NAMES, trace_args())))))
    assert by_position.tolist() == [[[0.5, 0.5], [0.75, 0.5], [1.0, 0.5]]]
    for other in (by_keyword, mixed, reordered):
        np.testing.assert_array_equal(other, by_position)


