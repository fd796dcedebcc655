// The arithmetic of the tracers is written once, as templates over a value
// type V: `double` for one point, or the lane kernel's vector type for a
// block of points, one per lane. This is the part for one point: the
// primitives that the templates call besides + - * / and comparisons. The
// lane kernel gives the same names to its own overloads, found by
// argument-dependent lookup, each doing per lane exactly what these do.
#pragma once

#include <cmath>
#include <cstdint>
#include <utility>

// Every template of the arithmetic is inlined where it is used, so that in
// the lane kernel it becomes that kernel's SIMD instructions.
#define TORVELIN_INLINE inline __attribute__((always_inline))

namespace torvelin {

// What a comparison of two V gives: bool for double, a lane mask for lanes.
template <class V>
using MaskOf = decltype(std::declval<V>() < std::declval<V>());

// `value` as a V like `model`: for lanes, in every lane.
TORVELIN_INLINE double like(double /*model*/, double value) { return value; }

// `when_true` where `mask` is set, else `when_false`.
TORVELIN_INLINE double select(bool mask, double when_true, double when_false) {
    return mask ? when_true : when_false;
}

// floor(v) for 0 <= v < 2**52 (there the conversion's truncation is the floor).
TORVELIN_INLINE double floor_small(double v) {
    return static_cast<double>(static_cast<std::int64_t>(v));
}

TORVELIN_INLINE double magnitude(double v) { return std::fabs(v); }

TORVELIN_INLINE double square_root(double v) { return std::sqrt(v); }

}  // namespace torvelin
