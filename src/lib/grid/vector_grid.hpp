// A 2-D vector field sampled on a uniform grid: its bounds, its points and
// where the field's values lie, with bilinear interpolation at any point.
#pragma once

#include <cstdint>
#include <span>

#include "../support/checked.hpp"
#include "field_storage.hpp"
#include "interpolation.hpp"

namespace torvelin {

struct Point {
    double x;
    double y;
};

class VectorGrid2D {
public:
    // Reads the field from `field`, whose components must each hold nx * ny
    // grid points. Inconsistent sizes are internal faults: callers validate
    // user input first.
    VectorGrid2D(double x_min, double x_max, double y_min, double y_max, u64 nx, u64 ny,
                 FieldStorage field);

    // Copies `bx` and `by`, each given with x varying fastest, into a field
    // of the grid's own.
    VectorGrid2D(double x_min, double x_max, double y_min, double y_max, u64 nx, u64 ny,
                 std::span<const double> bx, std::span<const double> by);

    // The construction checks, in their order: faults unless nx and ny are
    // at least 2 and each component holds nx * ny grid points.
    static void check_sizes(u64 nx, u64 ny, u64 bx_points, u64 by_points);

    // The field at (x, y), interpolated bilinearly; only meaningful where
    // the point lies inside the bounds, which the bounds themselves and a
    // NaN coordinate do.
    FieldValue<double> field_at(double x, double y) const noexcept {
        return interpolate(geometry_, x, y, [this](double corner) {
            // A whole number below 2**52.
            return cell_values(static_cast<u64>(static_cast<std::int64_t>(corner)));
        });
    }
    bool contains(double x, double y) const noexcept { return inside(geometry_, x, y); }

    const GridGeometry& geometry() const noexcept { return geometry_; }

    u64 nx() const noexcept { return nx_; }
    u64 ny() const noexcept { return ny_; }
    const FieldStorage& field() const noexcept { return field_; }
    // The values of grid point (i, j) lie at bx()[i * x_stride() + j * y_stride()]
    // and by()[...] at the same place.
    const double* bx() const noexcept { return bx_; }
    const double* by() const noexcept { return by_; }
    u64 x_stride() const noexcept { return x_stride_; }
    u64 y_stride() const noexcept { return y_stride_; }

private:
    CellValues<double> cell_values(u64 at) const noexcept {
        const u64 right = at + x_stride_, up = at + y_stride_, diagonal = up + x_stride_;
        return {{bx_[at], bx_[right], bx_[up], bx_[diagonal]},
                {by_[at], by_[right], by_[up], by_[diagonal]}};
    }

    u64 nx_;
    u64 ny_;
    FieldStorage field_;
    const double* bx_;
    const double* by_;
    // Values between neighbours along x and along y in each component.
    u64 x_stride_;
    u64 y_stride_;
    GridGeometry geometry_;
};

}  // namespace torvelin
