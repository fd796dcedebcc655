#include "vector_grid.hpp"

#include <string>
#include <utility>

#include "../support/fault.hpp"

namespace torvelin {

namespace {

void check_component_length(u64 length, u64 expected, const char* explanation,
                            std::source_location where = std::source_location::current()) {
    if (length != expected) {
        throw InternalFault(std::string("assertion `left == right` failed: ") + explanation +
                                "\n  left: " + std::to_string(length) +
                                "\n right: " + std::to_string(expected),
                            where);
    }
}

// Positions among the values are worked out in float64, exact below 2**52:
// far more values than any memory holds.
constexpr u64 max_values = u64{1} << 52;

}  // namespace

void VectorGrid2D::check_sizes(u64 nx, u64 ny, u64 bx_points, u64 by_points) {
    if (nx < 2) throw InternalFault("nx must be at least 2");
    if (ny < 2) throw InternalFault("ny must be at least 2");
    check_component_length(bx_points, checked_mul(nx, ny), "bx length must be nx * ny");
    check_component_length(by_points, checked_mul(nx, ny), "by length must be nx * ny");
}

VectorGrid2D::VectorGrid2D(double x_min, double x_max, double y_min, double y_max, u64 nx,
                           u64 ny, FieldStorage field)
    : nx_(nx), ny_(ny), field_(std::move(field)) {
    check_sizes(nx_, ny_, field_.bx_points(), field_.by_points());
    const u64 spacing = field_.spacing();
    if (saturating_mul(nx_ * ny_, spacing) >= max_values) {
        throw InternalFault("a grid of more values than positions in float64 are exact for");
    }
    bx_ = field_.bx();
    by_ = field_.by();
    const bool x_fastest = field_.order() == GridOrder::x_fastest;
    x_stride_ = spacing * (x_fastest ? 1 : ny_);
    y_stride_ = spacing * (x_fastest ? nx_ : 1);
    geometry_ = {x_min,
                 x_max,
                 y_min,
                 y_max,
                 (x_max - x_min) / static_cast<double>(nx_ - 1),
                 (y_max - y_min) / static_cast<double>(ny_ - 1),
                 static_cast<double>(nx_ - 2),
                 static_cast<double>(ny_ - 2),
                 static_cast<double>(x_stride_),
                 static_cast<double>(y_stride_)};
}

VectorGrid2D::VectorGrid2D(double x_min, double x_max, double y_min, double y_max, u64 nx,
                           u64 ny, std::span<const double> bx, std::span<const double> by)
    : VectorGrid2D(x_min, x_max, y_min, y_max, nx, ny,
                   (check_sizes(nx, ny, bx.size(), by.size()), interleaved_copy(bx, by))) {}

}  // namespace torvelin
