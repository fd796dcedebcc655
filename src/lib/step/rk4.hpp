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
};

template <class V>
TORVELIN_INLINE StepSizes<V> step_sizes(V h) {
    return {h, h * like(h, 0.5), h / like(h, 6.0)};
}

// The point reached from (x, y), where the field is (k1x, k1y), and the
// field there (bx, by); accepted where every stage point and the new point
// lie inside the grid. `field_at(px, py)` interpolates (a FieldValue).
template <class V>
struct StepTaken {
    V x;
    V y;
    V bx;
    V by;
    MaskOf<V> accepted;
};

template <class V, class FieldAtPoint>
TORVELIN_INLINE StepTaken<V> rk4_step(const GridGeometry& g, const StepSizes<V>& s, V x, V y,
                                      V k1x, V k1y, FieldAtPoint&& field_at) {
    // Each stage point's inside test as soon as the point is known, so that
    // only their running conjunction is held.
    const V x2 = x + s.half_h * k1x, y2 = y + s.half_h * k1y;
    MaskOf<V> accepted = inside(g, x2, y2);
    const FieldValue<V> k2 = field_at(x2, y2);
    const V x3 = x + s.half_h * k2.bx, y3 = y + s.half_h * k2.by;
    accepted = MaskOf<V>(accepted & inside(g, x3, y3));
    const FieldValue<V> k3 = field_at(x3, y3);
    const V x4 = x + s.h * k3.bx, y4 = y + s.h * k3.by;
    accepted = MaskOf<V>(accepted & inside(g, x4, y4));
    const FieldValue<V> k4 = field_at(x4, y4);
    // The bracket summed from the left: ((k1 + 2 k2) + 2 k3) + k4.
    const V two = like(x, 2.0);
    const V px = x + s.sixth_h * (k1x + two * k2.bx + two * k3.bx + k4.bx);
    const V py = y + s.sixth_h * (k1y + two * k2.by + two * k3.by + k4.by);
    accepted = MaskOf<V>(accepted & inside(g, px, py));
    const FieldValue<V> next = field_at(px, py);
    return {px, py, next.bx, next.by, accepted};
}

}  // namespace torvelin
