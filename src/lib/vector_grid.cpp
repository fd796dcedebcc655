#include "vector_grid.hpp"

#include <algorithm>
#include <string>
#include <utility>

namespace torvelin {

namespace {

void check_component_length(std::span<const double> component, u64 expected,
                            const char* explanation,
                            std::source_location where = std::source_location::current()) {
    const u64 length = component.size();
    if (length != expected) {
        throw InternalFault(std::string("assertion `left == right` failed: ") + explanation +
                                "\n  left: " + std::to_string(length) +
                                "\n right: " + std::to_string(expected),
                            where);
    }
}

}  // namespace

VectorGrid2D::VectorGrid2D(double x_min, double x_max, double y_min, double y_max, u64 nx,
                           u64 ny, std::span<const double> bx, std::span<const double> by)
    : x_min_(x_min), x_max_(x_max), y_min_(y_min), y_max_(y_max), nx_(nx), ny_(ny) {
    if (nx_ < 2) throw InternalFault("nx must be at least 2");
    if (ny_ < 2) throw InternalFault("ny must be at least 2");
    check_component_length(bx, checked_mul(nx_, ny_), "bx length must be nx * ny");
    check_component_length(by, checked_mul(nx_, ny_), "by length must be nx * ny");
    field_.resize(2 * bx.size());
    for (std::size_t k = 0; k < bx.size(); ++k) {
        field_[2 * k] = bx[k];
        field_[2 * k + 1] = by[k];
    }
    init_geometry(GridOrder::x_fastest);
}

VectorGrid2D::VectorGrid2D(double x_min, double x_max, double y_min, double y_max, u64 nx,
                           u64 ny, InterleavedField field)
    : x_min_(x_min), x_max_(x_max), y_min_(y_min), y_max_(y_max), nx_(nx), ny_(ny),
      field_(std::move(field.values)) {
    if (nx_ < 2) throw InternalFault("nx must be at least 2");
    if (ny_ < 2) throw InternalFault("ny must be at least 2");
    check_component_length(field_, checked_mul(checked_mul(nx_, ny_), 2),
                           "field length must be 2 * nx * ny");
    init_geometry(field.order);
}

void VectorGrid2D::init_geometry(GridOrder order) noexcept {
    order_ = order;
    x_stride_ = order == GridOrder::x_fastest ? 1 : ny_;
    y_stride_ = order == GridOrder::x_fastest ? nx_ : 1;
    hx_ = (x_max_ - x_min_) / static_cast<double>(nx_ - 1);
    hy_ = (y_max_ - y_min_) / static_cast<double>(ny_ - 1);
}

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
