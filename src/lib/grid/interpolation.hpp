// Bilinear interpolation of a grid's field, for one point or for a block of
// lanes (see support/values.hpp). Every product and sum is rounded on its
// own, in the order written here, which fixes the result bits; the build
// keeps the compiler from fusing them.
#pragma once

#include "../support/values.hpp"

namespace torvelin {

// The grid as the arithmetic needs it, every quantity in the value type V.
template <class V>
struct GridGeometry {
    V x_min, x_max, y_min, y_max;
    V hx, hy;              // cell sizes: (x_max - x_min) / (nx - 1), likewise for y
    V last_i, last_j;      // the last cell along x and along y: nx - 2, ny - 2
    V x_stride, y_stride;  // values between grid neighbours along x and along y
    V zero, one;
};

// Where a point lies: inside the bounds or not (the bounds themselves and a
// NaN coordinate count as inside), the position of its cell's lower corner
// among the values, and its place within the cell.
template <class V>
struct CellPosition {
    MaskOf<V> inside;
    V corner;
    V tx;
    V ty;
};

// The cell along one axis of the fractional grid coordinate f:
// floor(f), saturated to [0, last], with NaN and negatives (-0 too) at 0.
template <class V>
TORVELIN_INLINE V cell_index(V f, V last, V zero) {
    return floor_small(select(f > zero, select(f < last, f, last), zero));
}

// The position among the values of grid point (i, j).
template <class V>
TORVELIN_INLINE V value_position(const GridGeometry<V>& g, V i, V j) {
    return i * g.x_stride + j * g.y_stride;
}

template <class V>
TORVELIN_INLINE CellPosition<V> locate(const GridGeometry<V>& g, V px, V py) {
    const MaskOf<V> inside = !((px < g.x_min) | (px > g.x_max) | (py < g.y_min) | (py > g.y_max));
    const V fx = (px - g.x_min) / g.hx;
    const V fy = (py - g.y_min) / g.hy;
    const V i = cell_index(fx, g.last_i, g.zero);
    const V j = cell_index(fy, g.last_j, g.zero);
    return {inside, value_position(g, i, j), fx - i, fy - j};
}

// One component at the four corners of a cell: (i, j), (i + 1, j), (i, j + 1)
// and (i + 1, j + 1).
template <class V>
struct Corners {
    V b00, b10, b01, b11;
};

// Both components' corners.
template <class V>
struct CellValues {
    Corners<V> bx;
    Corners<V> by;
};

// The field at a point, and whether the point lies inside.
template <class V>
struct FieldAt {
    V bx;
    V by;
    MaskOf<V> inside;
};

// Along x on the cell's two rows, then along y.
template <class V>
TORVELIN_INLINE V bilinear(const Corners<V>& b, V tx, V ty, V one_minus_tx, V one_minus_ty) {
    const V top = b.b00 * one_minus_tx + b.b10 * tx;  // row j
    const V bot = b.b01 * one_minus_tx + b.b11 * tx;  // row j + 1
    return top * one_minus_ty + bot * ty;
}

// The field at (px, py). `load(corner)` gives the CellValues of the cell
// whose lower corner lies at that position; for a point outside, the cell
// is still one of the grid's (its index is clamped), and the values are
// only to be ignored.
template <class V, class Load>
TORVELIN_INLINE FieldAt<V> interpolate(const GridGeometry<V>& g, V px, V py, Load&& load) {
    const CellPosition<V> cell = locate(g, px, py);
    const CellValues<V> values = load(cell.corner);
    const V one_minus_tx = g.one - cell.tx;
    const V one_minus_ty = g.one - cell.ty;
    return {bilinear(values.bx, cell.tx, cell.ty, one_minus_tx, one_minus_ty),
            bilinear(values.by, cell.tx, cell.ty, one_minus_tx, one_minus_ty), cell.inside};
}

}  // namespace torvelin
