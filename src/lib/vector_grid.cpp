#include "vector_grid.hpp"

#include <algorithm>
#include <string>
#include <utility>

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

}  // namespace

void VectorGrid2D::check_sizes(u64 nx, u64 ny, u64 bx_points, u64 by_points) {
    if (nx < 2) throw InternalFault("nx must be at least 2");
    if (ny < 2) throw InternalFault("ny must be at least 2");
    check_component_length(bx_points, checked_mul(nx, ny), "bx length must be nx * ny");
    check_component_length(by_points, checked_mul(nx, ny), "by length must be nx * ny");
}

FieldStorage interleaved_copy(std::span<const double> bx, std::span<const double> by,
                              const Checkpoint& checkpoint) {
    if (bx.size() != by.size()) throw InternalFault("components of different lengths");
    DoubleBuffer values(checked_mul(2, bx.size()));
    in_pieces(bx.size(), checkpoint, [&](std::size_t first, std::size_t count) {
        for (std::size_t k = first; k < first + count; ++k) {
            values[2 * k] = bx[k];
            values[2 * k + 1] = by[k];
        }
    });
    return FieldStorage::interleaved(std::move(values), GridOrder::x_fastest);
}

VectorGrid2D::VectorGrid2D(double x_min, double x_max, double y_min, double y_max, u64 nx,
                           u64 ny, FieldStorage field)
    : x_min_(x_min), x_max_(x_max), y_min_(y_min), y_max_(y_max), nx_(nx), ny_(ny),
      field_(std::move(field)) {
    check_sizes(nx_, ny_, field_.bx_points(), field_.by_points());
    bx_ = field_.bx();
    by_ = field_.by();
    const u64 spacing = field_.spacing();
    const bool x_fastest = field_.order() == GridOrder::x_fastest;
    x_stride_ = spacing * (x_fastest ? 1 : ny_);
    y_stride_ = spacing * (x_fastest ? nx_ : 1);
    hx_ = (x_max_ - x_min_) / static_cast<double>(nx_ - 1);
    hy_ = (y_max_ - y_min_) / static_cast<double>(ny_ - 1);
}

VectorGrid2D::VectorGrid2D(double x_min, double x_max, double y_min, double y_max, u64 nx,
                           u64 ny, std::span<const double> bx, std::span<const double> by)
    : VectorGrid2D(x_min, x_max, y_min, y_max, nx, ny,
                   (check_sizes(nx, ny, bx.size(), by.size()), interleaved_copy(bx, by))) {}

std::vector<Point> VectorGrid2D::trace_line(Point seed, double step, u64 max_steps) const {
    const u64 capacity = checked_add(max_steps, 1);
    std::vector<Point> path;
    path.reserve(std::min(capacity, max_initial_path_reservation));
    follow(seed, step, max_steps, [&path](Point p) {
        path.push_back(p);
        return true;
    });
    return path;
}

}  // namespace torvelin
