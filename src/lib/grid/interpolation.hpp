// Bilinear interpolation of a grid's field, for one point or for a block of
// lanes (see support/values.hpp). Every product and sum is rounded on its
// own, in the order written here, which fixes the result bits; the build
// keeps the compiler from fusing them.
#pragma once

#include "../support/values.hpp"

namespace torvelin {

// The grid as the arithmetic needs it. The templates below make each
// quantity a V where they use it (like()): for the lanes, x in every lane.
struct GridGeometry {
    double x_min, x_max, y_min, y_max;
    double hx, hy;              // cell sizes: (x_max - x_min) / (nx - 1), likewise for y
    double last_i, last_j;      // the last cell along x and along y: nx - 2, ny - 2
    double x_stride, y_stride;  // values between grid neighbours along x and along y
};

// Whether a point lies inside the grid's bounds: the bounds themselves,
// and a NaN coordinate, count as inside.
template <class V>
TORVELIN_INLINE MaskOf<V> inside(const GridGeometry& g, const V& px, const V& py) {
    return !((px < like(px, g.x_min)) | (px > like(px, g.x_max)) | (py < like(py, g.y_min)) |
             (py > like(py, g.y_max)));
}

// Where a point lies: the position of its cell's lower corner among the
// values, and its place within the cell.
template <class V>
struct CellPosition {
    V corner;
    V tx;
    V ty;
};

// The cell along one axis of the fractional grid coordinate f:
// floor(f), saturated to [0, last], with NaN and negatives (-0 too) at 0.
template <class V>
TORVELIN_INLINE V cell_index(V f, double last) {
    const V zero = like(f, 0.0), last_cell = like(f, last);
    return floor_small(select(f > zero, select(f < last_cell, f, last_cell), zero));
}

// The position among the values of grid point (i, j).
template <class V>
TORVELIN_INLINE V value_position(const GridGeometry& g, V i, V j) {
    return i * like(i, g.x_stride) + j * like(j, g.y_stride);
}

// For a point outside the grid, the cell is still one of the grid's (its
// index is clamped), and what follows from it is only to be ignored.
template <class V>
TORVELIN_INLINE CellPosition<V> locate(const GridGeometry& g, V px, V py) {
    const V fx = (px - like(px, g.x_min)) / like(px, g.hx);
    const V fy = (py - like(py, g.y_min)) / like(py, g.hy);
    const V i = cell_index(fx, g.last_i);
    const V j = cell_index(fy, g.last_j);
    return {value_position(g, i, j), fx - i, fy - j};
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

// Both components of the field at a point.
template <class V>
struct FieldValue {
    V bx;
    V by;
};

// Along x on the cell's two rows, then along y.
template <class V>
TORVELIN_INLINE V bilinear(const Corners<V>& b, V tx, V ty, V one_minus_tx, V one_minus_ty) {
    const V top = b.b00 * one_minus_tx + b.b10 * tx;  // row j
    const V bot = b.b01 * one_minus_tx + b.b11 * tx;  // row j + 1
    return top * one_minus_ty + bot * ty;
}

// The field at (px, py), whether inside or not. `load(corner)` gives the
// CellValues of the cell whose lower corner lies at that position.
template <class V, class Load>
TORVELIN_INLINE FieldValue<V> interpolate(const GridGeometry& g, V px, V py, Load&& load) {
    const CellPosition<V> cell = locate(g, px, py);
    const CellValues<V> values = load(cell.corner);
    const V one = like(px, 1.0);
    const V one_minus_tx = one - cell.tx;
    const V one_minus_ty = one - cell.ty;
    FieldValue<V> field;
    field.bx = bilinear(values.bx, cell.tx, cell.ty, one_minus_tx, one_minus_ty);
    field.by = bilinear(values.by, cell.tx, cell.ty, one_minus_tx, one_minus_ty);
    return field;
}

}  // namespace torvelin
