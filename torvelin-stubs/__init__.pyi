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
    """Trace field lines through a vector field given on a uniform grid.

    Every seed is traced forward with fixed-step fourth-order Runge-Kutta
    (RK4) on the bilinear interpolant of the grid values, for at most
    ``max_steps`` steps, and all lines come back in one NaN-padded array.

    Parameters
    ----------
    xmin, xmax, ymin, ymax : float
        Bounds of the domain, both inside it. Any number is accepted: a
        float, an int, a NumPy scalar, or anything with ``__float__`` or
        ``__index__``. Grid point (i, j) lies at
        x = xmin + i (xmax - xmin) / (nx - 1), y = ymin + j (ymax - ymin) / (ny - 1).
    nx, ny : int
        Grid points along x and along y, each at least 2 (an int, or
        anything with ``__index__``).
    bx, by : numpy.ndarray
        The field components: one-dimensional, contiguous NumPy arrays of
        native float64 with ``nx * ny`` values, x varying fastest (grid point
        (i, j) at index ``j * nx + i``). Other dtypes and shapes are refused,
        not converted. For arrays of shape (ny, nx), as computed on
        ``np.meshgrid(x, y)``, ``B.ravel()`` gives this layout. The arrays
        are read where they lie, never written, and nothing refers to them
        after the call.
    seeds : sequence of (float, float) tuples
        Start points, a list or tuple (any sequence) of 2-tuples of numbers.
        Lists such as ``[[0.5, 0.0]]`` and two-dimensional arrays are
        refused; seeds held in an (N, 2) array ``a`` go in as
        ``list(zip(a[:, 0].tolist(), a[:, 1].tolist()))``.
    step : float
        The RK4 step, in integration time: the field is not normalised, so
        one step moves a point by about ``step * |B|``. A negative step
        follows the field backwards.
    max_steps : int
        The largest number of steps per seed, from 0 to 2**64 - 2.

    Returns
    -------
    numpy.ndarray
        A new C-contiguous float64 array of shape
        ``(len(seeds), max_steps + 1, 2)``: ``result[k, n]`` is the (x, y) of
        point n of the line from seed k, point 0 being the seed itself. A
        line ends at its last point inside the domain (when an RK4 stage or
        the next point falls outside); the slots after it are NaN, and the
        row of a seed outside the domain is all NaN. The array takes
        ``len(seeds) * (max_steps + 1) * 16`` bytes whatever the lines do.

    Raises
    ------
    TypeError
        An argument of the wrong type, with a message that names it:
        ``"argument 'bx': 'list' object is not an instance of 'ndarray'"``
        (a float32 or two-dimensional array gives ``"'ndarray' object is not
        an instance of 'ndarray'"``), ``"argument 'seeds': 'list' object is
        not an instance of 'tuple'"`` for a seed that is not a tuple (such as
        ``[0.0, 0.0]`` or a row of a 2-D array), ``"argument 'seeds': 'set'
        object is not an instance of 'Sequence'"``, ``"argument 'seeds':
        Can't extract `str` to `Vec`"`` for a string, ``"argument 'xmin':
        must be real number, not str"``. A strided or
        reversed view of ``bx`` or ``by`` gives ``"The given array is not
        contiguous or is misaligned."``: pass ``np.ascontiguousarray(b)``.
    ValueError
        ``"expected tuple of length 2, but got tuple of length 3"`` for a
        seed of the wrong length.
    OverflowError
        A negative ``nx``, ``ny`` or ``max_steps``, or one of 2**64 or more.
    MemoryError
        The result cannot be allocated. The message gives the bytes asked
        for and the result's shape, for example ``"cannot allocate 16.0 GB
        for a result of 1 × 1000000001 points"``; it is raised before any
        tracing.
    RuntimeError
        ``"a field array was resized, reshaped or retyped while the call was
        reading it"``: a signal handler changed ``bx`` or ``by`` during the
        call.
    KeyboardInterrupt
        Ctrl-C (SIGINT) during the call, within milliseconds; any exception
        that a signal handler raises passes through unchanged.
    PanicException
        An internal fault: ``nx`` or ``ny`` below 2 (``"nx must be at least
        2"``), a field array whose length is not ``nx * ny``
        (``"assertion `left == right` failed: bx length must be nx * ny"``,
        ``bx`` checked before ``by``), ``max_steps = 2**64 - 1`` (``"attempt
        to add with overflow"``), a result shape too large. A diagnostic goes
        to standard error first. ``PanicException`` derives from
        ``BaseException``, so ``except Exception`` does not catch it, and it
        is not a module attribute: match it with
        ``type(e).__name__ == "PanicException"``.

    Notes
    -----
    All eleven parameters are required and may be given by position or by
    keyword. The arguments are converted in parameter order and the first
    failure is reported; on any error nothing is returned and the inputs are
    left untouched. Bounds, step and seeds are not validated: zero, negative,
    infinite and NaN values flow through the formulas. A zero field or a zero
    step repeats the current point; NaN field values make NaN points, which
    are recorded until ``max_steps``.

    Examples
    --------
    A rigid rotation B = (-y, x) has circular field lines; one step moves a
    point by ``step * r``.

    >>> import numpy as np
    >>> import torvelin
    >>> nx, ny = 41, 31
    >>> x = np.linspace(-1.0, 1.0, nx)
    >>> y = np.linspace(-0.75, 0.75, ny)
    >>> X, Y = np.meshgrid(x, y)          # shape (ny, nx)
    >>> bx, by = (-Y).ravel(), X.ravel()  # index j * nx + i
    >>> seeds = [(0.5, 0.0), (0.9, 0.0), (2.0, 0.0)]
    >>> out = torvelin.trace_fieldlines(-1.0, 1.0, -0.75, 0.75, nx, ny,
    ...                                 bx, by, seeds, 0.01, 1000)
    >>> out.shape
    (3, 1001, 2)

    The first line stays inside (the seed plus one point per step), the
    circle of radius 0.9 leaves the domain at y = 0.75, and the third seed
    lies outside:

    >>> [int(np.count_nonzero(~np.isnan(line[:, 0]))) for line in out]
    [1001, 99, 0]
    >>> bool(abs(np.hypot(out[0, :, 0], out[0, :, 1]) - 0.5).max() < 1e-6)
    True
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
    """Find the field line through every footpoint (x0[k], y0[k]).

    The grid and the field come from a data object (or are given
    directly). Every footpoint is traced forward with fixed-step RK4; a
    line that comes back to its footpoint is a closed loop, and any other
    footpoint is traced backward too and the two halves are joined.

    Parameters
    ----------
    data : object
        Any object. It supplies the attributes ``x1`` and ``x2`` when those
        parameters are omitted, and the field components named by ``var1``
        and ``var2``. An ``xarray.Dataset`` with coordinates ``x1`` and
        ``x2``, or a ``types.SimpleNamespace``, will do.
    var1, var2 : str or array_like
        The x and y field components: a string names an attribute of
        ``data``; anything else is taken as the values themselves. NumPy
        arrays of any numeric dtype, lists, tuples and other sequences of
        numbers are accepted. An array is read in column-major order, so its
        axes longer than 1 must be (nx, ny): ``B[i, j]`` at grid point
        (i, j), as ``np.meshgrid(x, y, indexing="ij")`` gives it. An array of
        shape (ny, nx) is refused with ``ValueError`` (pass ``B.T``, or a
        flat array with x varying fastest); on a square grid, nx == ny, the
        two layouts cannot be told apart and no error is raised. A flat
        sequence must use index ``j * nx + i``. Plain float64 arrays of the
        grid's size are read where they lie, without a copy. A
        two-dimensional ``xarray.DataArray`` is refused with ``TypeError``:
        pass its ``.values``.
    x1, x2 : array_like, optional
        The x coordinates of the grid columns and the y coordinates of the
        grid rows; by default ``data.x1`` and ``data.x2``. Their lengths give
        nx and ny, their first and last values the domain, their first two
        values the default step. Other values are not read: the grid is
        uniform between its bounds, and descending coordinates put every
        footpoint outside. A one-dimensional ``xarray.DataArray`` is read
        value by value, which is slow for long coordinates: pass ``.values``.
    x0, y0 : array_like
        The footpoint coordinates, of equal length. Required, although the
        signature gives them a default. A bare Python float is refused: use
        ``[0.5]``.
    step : float, optional
        The RK4 step, in integration time: one step moves a point by about
        ``step * |B|``. Default ``min(|x1[1] - x1[0]|, |x2[1] - x2[0]|)``.
    maxstep : float, optional
        The largest step: the step used is ``min(step, maxstep)``. It is also
        the integration time that must be exceeded before a line may close.
        Default ``100 * step``, so the 101st step is the first that can close
        a loop.
    numsteps : int, optional
        The largest number of steps in each direction. Default 16384.
    close : bool, optional
        Whether a forward line may close on its footpoint. Default True.
    ctol : float, optional
        The closure distance: a forward line closes at the first point
        within ``ctol`` of its footpoint once more than ``maxstep`` of
        integration time has passed. Default 1e-6, which practically never
        closes a loop; about ``2 * step * |B(footpoint)|`` closes one on its
        first return.
    rtol, atol : float, optional
        Accepted, no effect.
    order : str, optional
        Accepted, no effect.
    dense : bool, optional
        Accepted, no effect.
    text, transpose : bool, default False
        Accepted, no effect: the field arrays are never reordered.

    Returns
    -------
    list of [numpy.ndarray, numpy.ndarray]
        One entry per footpoint whose line has at least two points, in
        footpoint order but without footpoint index: a footpoint outside the
        grid gives no entry, and later entries move up. Each entry is a list
        ``[x_values, y_values]`` of two one-dimensional float64 arrays of
        equal length. A closed loop runs forward from its footpoint and ends
        with it once more, so that its last point equals its first, bit for
        bit. An open line is the backward half reversed, then the forward
        half, and holds the footpoint once. A line of n points takes 16 n
        bytes.

    Raises
    ------
    ValueError
        ``"x1 and x2 must each contain at least 2 points"``;
        ``"Footpoints not provided. Please provide x0 and y0."``;
        ``"x0 and y0 must have the same length"``;
        ``"Field arrays must have length nx * ny (got bx=1640, by=1681,
        nx*ny=1681)"``; a field component whose axes are (ny, nx), with a
        message that names the component, both shapes and the remedy.
    TypeError
        ``"Expected a 1D sequence or NumPy array of numeric values"`` for
        coordinates, footpoints or field values that are not numbers (a bare
        float, a nested list, a list holding a string, a two-dimensional
        ``DataArray``); the interpreter's own message for an element of a
        NumPy array that has no float conversion. For the options:
        ``"argument 'step': must be real number, not str"`` (likewise
        ``maxstep``, ``ctol``, ``rtol``, ``atol``), ``"argument 'numsteps':
        'float' object cannot be interpreted as an integer"``, ``"argument
        'close': 'int' object is not an instance of 'bool'"`` (likewise
        ``dense``; the booleans must be ``bool`` or ``numpy.bool_``),
        ``"argument 'order': 'int' object is not an instance of 'str'"``,
        ``"argument 'text': 'None' is not an instance of 'bool'"`` (likewise
        ``transpose``).
    AttributeError
        ``data`` lacks ``x1``, ``x2`` or a named field component; raised
        unchanged.
    OverflowError
        A negative ``numsteps``, or one of 2**64 or more.
    MemoryError
        The lines cannot be stored. The message gives the bytes asked for
        and what they were for.
    RuntimeError
        ``"a field array was resized, reshaped or retyped while the call was
        reading it"``: Python code run during the call (the lookup of
        ``var2``, a garbage-collector callback, a signal handler) changed a
        field array that is read in place.
    KeyboardInterrupt
        Ctrl-C (SIGINT) during the call, within milliseconds; any exception
        that a signal handler raises passes through unchanged.

    Notes
    -----
    ``data``, ``var1`` and ``var2`` may be given by position or by keyword,
    all other parameters by keyword only. Passing None for an optional
    parameter is the same as omitting it (``text`` and ``transpose`` must be
    booleans). The arguments are converted first, in parameter order, and
    the first failure is reported; parameters without effect are converted
    and checked all the same. Then the inputs are read and checked in this
    order: grid coordinates (at least 2 points each), footpoints (given, of
    equal lengths), field components, field size. Numeric options are not
    validated.

    Examples
    --------
    The rigid rotation B = (-y, x), given as a data object with field arrays
    of shape (nx, ny). The grid spacing, and so the default step, is 0.05;
    ``|B|`` at the footpoint (0.5, 0) is 0.5.

    >>> import types
    >>> import numpy as np
    >>> import torvelin
    >>> x = np.linspace(-1.0, 1.0, 41)
    >>> y = np.linspace(-1.0, 1.0, 41)
    >>> X, Y = np.meshgrid(x, y, indexing="ij")  # shape (nx, ny)
    >>> ds = types.SimpleNamespace(x1=x, x2=y, bx=-Y, by=X)
    >>> lines = torvelin.find_fieldlines(ds, "bx", "by", x0=[0.5, 0.75, 2.0],
    ...                                  y0=[0.0, 0.75, 0.0], ctol=0.05 * 0.5)
    >>> len(lines)  # the footpoint (2, 0) is outside
    2

    The first line closes on its first pass; the second, of radius 1.06,
    is an open arc from edge to edge:

    >>> loop_x, loop_y = lines[0]
    >>> len(loop_x), bool(loop_x[0] == loop_x[-1] and loop_y[0] == loop_y[-1])
    (127, True)
    >>> open_x, open_y = lines[1]
    >>> len(open_x), round(float(open_x[0]), 2), round(float(open_y[-1]), 2)
    (17, 0.98, 0.98)
    """
