"""Type information for torvelin, a compiled extension module.

torvelin traces field lines of two-dimensional vector fields sampled on
uniform rectangular grids.
"""

from collections.abc import Sequence
from typing import Any, Protocol, SupportsFloat, SupportsIndex, TypeAlias

import numpy as np
from numpy.typing import NDArray

__all__ = ["trace_fieldlines", "find_fieldlines"]

# A number: float, int, NumPy scalar, or anything with __float__ or __index__.
_Real: TypeAlias = SupportsFloat | SupportsIndex

# Booleans: Python's bool and NumPy's; other truthy values (1, None) are refused.
_Bool: TypeAlias = bool | np.bool_

class _SupportsArray(Protocol):
    # NumPy arrays and scalars, xarray.DataArray, pandas.Series, ...
    def __array__(self) -> np.ndarray[Any, Any]: ...

# Values that find_fieldlines reads as a flat float64 vector: an array of any
# shape and numeric dtype (flattened in column-major order), a NumPy scalar, or
# a flat sequence of numbers. A bare Python float or int is refused: use [0.5].
_Values: TypeAlias = _SupportsArray | Sequence[_Real]

def trace_fieldlines(
    xmin: _Real,
    xmax: _Real,
    ymin: _Real,
    ymax: _Real,
    nx: SupportsIndex,
    ny: SupportsIndex,
    bx: NDArray[np.float64],
    by: NDArray[np.float64],
    seeds: Sequence[tuple[_Real, _Real]],
    step: _Real,
    max_steps: SupportsIndex,
) -> NDArray[np.float64]:
    """Trace field lines on a 2D vector grid.

    ``bx`` and ``by`` are one-dimensional, contiguous float64 arrays of length
    nx * ny with x varying fastest (index j * nx + i). Every seed is traced
    forward with fixed-step RK4 for at most ``max_steps`` steps. Returns an
    array of shape (len(seeds), max_steps + 1, 2) holding the (x, y) of each
    point; slots after a line's last point are NaN.
    """

def find_fieldlines(
    data: object,
    var1: str | _Values,
    var2: str | _Values,
    *,
    x1: _Values | None = None,
    x2: _Values | None = None,
    x0: _Values | None = None,
    y0: _Values | None = None,
    maxstep: _Real | None = None,
    numsteps: SupportsIndex | None = None,
    step: _Real | None = None,
    rtol: _Real | None = None,
    atol: _Real | None = None,
    order: str | None = None,
    dense: _Bool | None = None,
    close: _Bool | None = None,
    ctol: _Real | None = None,
    text: _Bool = False,
    transpose: _Bool = False,
) -> list[list[NDArray[np.float64]]]:
    """Trace the field line through every footpoint (x0[k], y0[k]).

    ``var1`` and ``var2`` name attributes of ``data`` holding the x and y field
    components, or are the values themselves; arrays of shape (nx, ny) indexed
    [i, j] are flattened in column-major order. ``x1`` and ``x2`` (default
    ``data.x1`` and ``data.x2``) give the grid coordinates. Returns one entry
    [x_values, y_values] per footpoint whose line has at least two points, in
    footpoint order. A line that returns within ``ctol`` of its footpoint after
    more than ``maxstep`` of integration time is a closed loop whose last point
    equals its first; any other line is traced both ways and joined.
    """
