"""
Choosing the step on a 1/r field
================================

The step of both functions is in *integration time*, not in length: the field
is not normalised, and one step moves a point by about ``step * |B|``. On a
field whose strength varies a lot, such as the field of a line current,
``|B| = 1/r``, one step cannot suit every line. This recipe measures what the
usual rule costs and what normalising the field gains.
"""

import time

import matplotlib.pyplot as plt
import numpy as np

import torvelin
from _machine import describe

print(describe())

# %%
# The field of a wire
# -------------------
# A straight wire through the origin, perpendicular to the page, in units in
# which ``|B| = 1/r`` outside it. Inside the wire, of radius 0.05, the field
# falls linearly to zero. The grid has a spacing of 0.02: the wire's radius is
# two and a half cells.

N = 201
LO, HI = -2.0, 2.0
CELL = (HI - LO) / (N - 1)
WIRE = 0.05

x = np.linspace(LO, HI, N)
X, Y = np.meshgrid(x, x)  # (ny, nx): ravel() gives x varying fastest
scale = 1.0 / np.maximum(X * X + Y * Y, WIRE**2)
BX, BY = (-Y * scale).ravel(), (X * scale).ravel()
B_MAX = 1.0 / WIRE
print(f"cell {CELL}, |B| at the wire's edge {B_MAX:g}")


def one_turn(bx, by, radius, step, speed):
    """Steps to go once round the wire from (radius, 0), and the largest
    distance from the circle on the way, in cells. ``speed`` is |B| on the
    circle, which sizes the call: one turn takes about
    2 pi radius / (step * speed) steps."""
    max_steps = int(1.2 * 2 * np.pi * radius / (step * speed)) + 16
    line = torvelin.trace_fieldlines(LO, HI, LO, HI, N, N, bx, by,
                                     [(radius, 0.0)], step, max_steps)[0]
    angle = np.unwrap(np.arctan2(line[:, 1], line[:, 0]))
    steps = int(np.argmax(angle >= 2 * np.pi))  # first point past one turn
    r = np.hypot(line[:steps + 1, 0], line[:steps + 1, 1])
    return steps, np.abs(r - radius).max() / CELL


def ring_time(bx, by, radius, step, steps, seeds=256):
    """Seconds to trace one turn from each of ``seeds`` points on a circle
    (median of five calls)."""
    angles = np.linspace(0, 2 * np.pi, seeds, endpoint=False)
    ring = list(zip((radius * np.cos(angles)).tolist(), (radius * np.sin(angles)).tolist()))
    times = []
    for _ in range(5):
        t0 = time.perf_counter()
        torvelin.trace_fieldlines(LO, HI, LO, HI, N, N, bx, by, ring, step, steps)
        times.append(time.perf_counter() - t0)
    return float(np.median(times))


# %%
# The rule "one step moves at most one cell"
# ------------------------------------------
# Sized for the strongest field, at the wire's edge, the rule gives
# ``step = CELL / B_MAX``. Far from the wire the field is weaker, and the same
# step moves a point only ``step / r``: the number of steps per turn grows
# like the square of the radius.

RADII = [0.1, 0.25, 0.5, 1.0, 1.9]
step_rule = CELL / B_MAX
rule = [one_turn(BX, BY, r, step_rule, 1 / r) for r in RADII]
print(f"step = {step_rule:g}")
print(" radius   steps/turn   largest error (cells)")
for r, (steps, error) in zip(RADII, rule):
    print(f"{r:7.2f} {steps:12d} {error:14.2e}")

# %%
# At r = 1.9 a turn takes hundreds of times more steps than near the wire,
# and each of them moves a point by a tiny fraction of a cell: the lines are
# no more accurate for it, since the bilinear interpolation of the grid sets
# the error floor.
#
# How large a step the tracer tolerates
# -------------------------------------
# Give each seed its own step, ``step = f * CELL / |B(seed)|``, so that one
# step moves it ``f`` cells, and measure the error of one turn at five cells
# from the wire:

R5 = 5 * CELL
FRACTIONS = [0.25, 0.5, 1.0, 2.0, 4.0]
by_fraction = [one_turn(BX, BY, R5, f * CELL * R5, 1 / R5) for f in FRACTIONS]
print("cells per step   steps/turn   largest error (cells)")
for f, (steps, error) in zip(FRACTIONS, by_fraction):
    print(f"{f:14.2f} {steps:12d} {error:14.2e}")

# %%
# Up to about half a cell per step the error hardly changes (the
# interpolation's error dominates); beyond one cell it grows quickly. A step
# of a quarter to half a cell where a line runs is the sweet spot.
#
# Normalising the field: one step, one length
# -------------------------------------------
# The field lines depend only on the field's direction. Dividing B by ``|B|``
# (where it is not zero) makes the step a length: every step moves a point by
# ``step``, whatever the field's strength, so one step suits every line. The
# integration time of the normalised field is the arc length along the line.

bmag = np.hypot(BX, BY)
safe = np.where(bmag > 0, bmag, 1.0)
UX, UY = BX / safe, BY / safe  # zero where the field is zero
step_unit = 0.5 * CELL
unit = [one_turn(UX, UY, r, step_unit, 1.0) for r in RADII]
print(f"normalised field, step = {step_unit:g} (half a cell)")
print(" radius   steps/turn   largest error (cells)")
for r, (steps, error) in zip(RADII, unit):
    print(f"{r:7.2f} {steps:12d} {error:14.2e}")

# One turn at the largest radius for 256 seeds, both ways:
r_out = RADII[-1]
t_rule = ring_time(BX, BY, r_out, step_rule, rule[-1][0])
t_unit = ring_time(UX, UY, r_out, step_unit, unit[-1][0])
print(f"256 seeds, one turn at r = {r_out}: {t_rule * 1e3:.1f} ms with the rule's step, "
      f"{t_unit * 1e3:.1f} ms normalised ({t_rule / t_unit:.0f} times faster, "
      f"{rule[-1][0] / unit[-1][0]:.0f} times fewer steps)")

# %%
# The steps per turn now grow only like the radius, and the lines are as
# accurate as before. (Without normalising, the other way out is to trace
# regions of very different ``|B|`` in separate calls, each with its own
# step, or to raise ``max_steps``: a line takes about
# ``length / (step * |B|)`` steps.) Normalising has a second benefit: points lie ``step``
# apart on every line, so one closure distance ``ctol = 2 * step`` suits every
# footpoint of :func:`~torvelin.find_fieldlines` (see the recipe on closed
# loops). Two cautions: where ``|B|`` is zero (inside the wire's core here, or
# at an X-point) the normalised field is zero or changes direction abruptly,
# and the integration time of ``maxstep`` is now a length.

fig, ax = plt.subplots(figsize=(6.4, 4), layout="constrained")
ax.loglog(RADII, [s for s, _ in rule], "o-", label=f"field as it is, step = {step_rule:g}")
ax.loglog(RADII, [s for s, _ in unit], "s-", label=f"B / |B|, step = {step_unit:g}")
ax.set(xlabel="radius of the loop", ylabel="RK4 steps for one turn",
       title="Steps per turn around a wire, |B| = 1/r")
ax.legend()
plt.show()
