"""Pure-Python recomputation of the grid arithmetic and of both tracers.

Python floats are IEEE float64 and round every operation on its own, so the
formulas below, written in the same order as the native code evaluates them,
reproduce its results bit for bit.  Field components are flat lists indexed
``j * nx + i`` (x fastest).
"""

import math

U64_MAX = 2**64 - 1
NAN = float("nan")


def fdiv(a, b):
    """IEEE division (Python raises on a zero divisor instead)."""
    if b == 0.0:
        if a != a:
            return a
        if a == 0.0:
            return math.inf - math.inf  # the hardware's default NaN, as 0/0 gives
        return math.copysign(math.inf, a) * math.copysign(1.0, b)
    return a / b


def fmin(a, b):
    """Smaller of two floats; a single NaN operand is ignored (minNum)."""
    if a != a:
        return b
    if b != b:
        return a
    return a if a < b else b


def floor_to_u64(v):
    """floor(v) converted to an unsigned 64-bit index, saturating."""
    if v != v or v < 0.0:
        return 0
    if v >= 2.0**64:
        return U64_MAX
    return math.floor(v)


class Grid:
    def __init__(self, x_min, x_max, y_min, y_max, nx, ny, bx, by):
        assert nx >= 2 and ny >= 2
        assert len(bx) == nx * ny and len(by) == nx * ny
        self.x_min, self.x_max = float(x_min), float(x_max)
        self.y_min, self.y_max = float(y_min), float(y_max)
        self.nx, self.ny = nx, ny
        self.bx, self.by = [float(v) for v in bx], [float(v) for v in by]

    def interpolate(self, x, y):
        """Bilinear (bx, by) at (x, y), or None outside the bounds."""
        if x < self.x_min or x > self.x_max or y < self.y_min or y > self.y_max:
            return None
        nx, ny = self.nx, self.ny
        hx = fdiv(self.x_max - self.x_min, float(nx - 1))
        hy = fdiv(self.y_max - self.y_min, float(ny - 1))
        fx = fdiv(x - self.x_min, hx)
        fy = fdiv(y - self.y_min, hy)
        i = floor_to_u64(fx)
        j = floor_to_u64(fy)
        if i >= nx - 1:
            i = nx - 2
        if j >= ny - 1:
            j = ny - 2
        tx = fx - float(i)
        ty = fy - float(j)
        i00, i10 = j * nx + i, j * nx + i + 1
        i01, i11 = (j + 1) * nx + i, (j + 1) * nx + i + 1
        bx, by = self.bx, self.by
        bx_top = bx[i00] * (1.0 - tx) + bx[i10] * tx
        bx_bot = bx[i01] * (1.0 - tx) + bx[i11] * tx
        bx_interp = bx_top * (1.0 - ty) + bx_bot * ty
        by_top = by[i00] * (1.0 - tx) + by[i10] * tx
        by_bot = by[i01] * (1.0 - tx) + by[i11] * tx
        by_interp = by_top * (1.0 - ty) + by_bot * ty
        return bx_interp, by_interp


def rk4_step(grid, x, y, h):
    """One classical RK4 step; None when a stage or the result is outside."""
    k1 = grid.interpolate(x, y)
    if k1 is None:
        return None
    half = h * 0.5
    k2 = grid.interpolate(x + half * k1[0], y + half * k1[1])
    if k2 is None:
        return None
    k3 = grid.interpolate(x + half * k2[0], y + half * k2[1])
    if k3 is None:
        return None
    k4 = grid.interpolate(x + h * k3[0], y + h * k3[1])
    if k4 is None:
        return None
    sixth = h / 6.0
    nx_ = x + sixth * (((k1[0] + 2.0 * k2[0]) + 2.0 * k3[0]) + k4[0])
    ny_ = y + sixth * (((k1[1] + 2.0 * k2[1]) + 2.0 * k3[1]) + k4[1])
    if grid.interpolate(nx_, ny_) is None:
        return None
    return nx_, ny_


def trace_line(grid, seed, step, max_steps):
    """Fixed-step tracer: list of points, empty when the seed is outside."""
    if grid.interpolate(*seed) is None:
        return []
    path = [seed]
    x, y = seed
    for _ in range(max_steps):
        nxt = rk4_step(grid, x, y, step)
        if nxt is None:
            break
        x, y = nxt
        path.append(nxt)
    return path


def trace_fieldlines(xmin, xmax, ymin, ymax, nx, ny, bx, by, seeds, step, max_steps):
    """NaN-padded nested list of shape (len(seeds), max_steps + 1, 2)."""
    grid = Grid(xmin, xmax, ymin, ymax, nx, ny, bx, by)
    out = []
    for seed in seeds:
        seed = (float(seed[0]), float(seed[1]))
        path = trace_line(grid, seed, float(step), max_steps)
        row = [[p[0], p[1]] for p in path]
        row += [[NAN, NAN] for _ in range(max_steps + 1 - len(path))]
        out.append(row)
    return out


def trace_line_until_close(grid, seed, step, max_steps, close_on_loop,
                           close_tol, min_time_before_close):
    """Tracer with the loop-closure test; returns (path, closed)."""
    if grid.interpolate(*seed) is None:
        return [], False
    path = [seed]
    x, y = seed
    for step_idx in range(max_steps):
        nxt = rk4_step(grid, x, y, step)
        if nxt is None:
            break
        x, y = nxt
        path.append(nxt)
        if close_on_loop:
            dx = x - seed[0]
            dy = y - seed[1]
            elapsed_time = (float(step_idx) + 1.0) * abs(step)
            if elapsed_time > min_time_before_close:
                if math.sqrt(dx * dx + dy * dy) <= close_tol:
                    path.append(seed)
                    return path, True
    return path, False


def find_fieldlines(xc, yc, bx, by, x0, y0, maxstep=None, numsteps=None,
                    step=None, close=None, ctol=None):
    """Driver: list of (xs, ys) per footpoint whose line has >= 2 points."""
    xc = [float(v) for v in xc]
    yc = [float(v) for v in yc]
    nx, ny = len(xc), len(yc)
    dx = abs(xc[1] - xc[0])
    dy = abs(yc[1] - yc[0])
    step = fmin(dx, dy) if step is None else float(step)
    max_steps = 16384 if numsteps is None else numsteps
    max_step = step * 100.0 if maxstep is None else float(maxstep)
    signed_step = fmin(step, max_step)
    close_on_loop = True if close is None else close
    close_tol = 1e-6 if ctol is None else float(ctol)
    grid = Grid(xc[0], xc[nx - 1], yc[0], yc[ny - 1], nx, ny, bx, by)

    lines = []
    for sx, sy in zip(x0, y0):
        seed = (float(sx), float(sy))
        forward, closed = trace_line_until_close(
            grid, seed, signed_step, max_steps, close_on_loop, close_tol, max_step)
        if closed and len(forward) > 2:
            line = forward
        else:
            backward, _ = trace_line_until_close(
                grid, seed, -signed_step, max_steps, False, close_tol, max_step)
            line = backward[::-1] + forward[1:]
        if len(line) > 1:
            lines.append(([p[0] for p in line], [p[1] for p in line]))
    return lines
