// One step of the classical fourth-order Runge-Kutta scheme, for one point
// or for a block of lanes (see support/values.hpp), in the order of
// operations that fixes the result bits.
#pragma once

#include "../grid/interpolation.hpp"

namespace torvelin {

// A line's step h, with h * 0.5 and h / 6.0 formed once (a division, not a
// multiplication by a sixth).
template <class V>
struct StepSizes {
    V h;
    V half_h;
    V sixth_h;
    V two;
};

template <class V>
TORVELIN_INLINE StepSizes<V> step_sizes(V h, V half, V six, V two) {
    return {h, h * half, h / six, two};
}

// The point reached from (x, y), where the field is (k1x, k1y), and the
// field there; accepted where every stage point and the new point lie
// inside the grid. `field_at(px, py)` interpolates (a FieldAt).
template <class V>
struct StepTaken {
    V x;
    V y;
    FieldAt<V> field;
    MaskOf<V> accepted;
};

template <class V, class FieldAtPoint>
TORVELIN_INLINE StepTaken<V> rk4_step(const StepSizes<V>& s, V x, V y, V k1x, V k1y,
                                      FieldAtPoint&& field_at) {
    const FieldAt<V> k2 = field_at(x + s.half_h * k1x, y + s.half_h * k1y);
    const FieldAt<V> k3 = field_at(x + s.half_h * k2.bx, y + s.half_h * k2.by);
    const FieldAt<V> k4 = field_at(x + s.h * k3.bx, y + s.h * k3.by);
    // The bracket summed from the left: ((k1 + 2 k2) + 2 k3) + k4.
    const V px = x + s.sixth_h * (k1x + s.two * k2.bx + s.two * k3.bx + k4.bx);
    const V py = y + s.sixth_h * (k1y + s.two * k2.by + s.two * k3.by + k4.by);
    const FieldAt<V> next = field_at(px, py);
    return {px, py, next, MaskOf<V>(k2.inside & k3.inside & k4.inside & next.inside)};
}

}  // namespace torvelin
