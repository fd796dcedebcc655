// A 2-D vector field sampled on a uniform grid, with bilinear interpolation
// and a fixed-step fourth-order Runge-Kutta field-line tracer.
//
// Every floating-point operation below is written in the order that fixes the
// result bits; the build disables contraction into fused multiply-adds.
#pragma once

#include <cmath>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "checked.hpp"
#include "checkpoint.hpp"
#include "field_storage.hpp"

namespace torvelin {

struct Point {
    double x;
    double y;
};

struct FieldValue {
    double bx;
    double by;
};

// floor(f) as an unsigned index, saturating: NaN and negatives give 0.
// (For f >= 0 the conversion's truncation is the floor, and it needs no
// library call where the baseline instruction set has no rounding.)
inline u64 floor_to_index(double f) noexcept {
    if (!(f >= 0.0)) return 0;
    if (f >= 18446744073709551616.0) return UINT64_MAX;
    return static_cast<u64>(f);
}

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

    // Bilinear interpolation of both components; empty outside the bounds
    // (the bounds themselves are inside, a NaN coordinate counts as inside).
    std::optional<FieldValue> interpolate(double x, double y) const noexcept {
        if (x < x_min_ || x > x_max_ || y < y_min_ || y > y_max_) return std::nullopt;
        const double fx = (x - x_min_) / hx_;
        const double fy = (y - y_min_) / hy_;
        u64 i = floor_to_index(fx);
        u64 j = floor_to_index(fy);
        if (i >= nx_ - 1) i = nx_ - 2;
        if (j >= ny_ - 1) j = ny_ - 2;
        const double tx = fx - static_cast<double>(i);
        const double ty = fy - static_cast<double>(j);
        // i <= nx - 2 and j <= ny - 2, and nx * ny was checked at construction,
        // so none of these indices can overflow or leave the buffers.
        const u64 at00 = i * x_stride_ + j * y_stride_;
        const u64 at10 = at00 + x_stride_;  // corner (i + 1, j)
        const u64 at01 = at00 + y_stride_;  // corner (i, j + 1)
        const u64 at11 = at01 + x_stride_;
        const double b00x = bx_[at00], b10x = bx_[at10], b01x = bx_[at01], b11x = bx_[at11];
        const double b00y = by_[at00], b10y = by_[at10], b01y = by_[at01], b11y = by_[at11];
        const double one_minus_tx = 1.0 - tx;
        const double one_minus_ty = 1.0 - ty;
        const double bx_top = b00x * one_minus_tx + b10x * tx;
        const double bx_bot = b01x * one_minus_tx + b11x * tx;
        const double bx_interp = bx_top * one_minus_ty + bx_bot * ty;
        const double by_top = b00y * one_minus_tx + b10y * tx;
        const double by_bot = b01y * one_minus_tx + b11y * tx;
        const double by_interp = by_top * one_minus_ty + by_bot * ty;
        return FieldValue{bx_interp, by_interp};
    }

    // One RK4 step of `step` from `p`, where the field is `k1`: the next
    // point and the field there, or nothing when a stage point or the next
    // point lies outside. `half_step` and `sixth_step` are step * 0.5 and
    // step / 6.0, formed once per line.
    struct Step {
        Point next;
        FieldValue field;
    };
    std::optional<Step> rk4_step(Point p, FieldValue k1, double step, double half_step,
                                 double sixth_step) const noexcept {
        const auto k2 = interpolate(p.x + half_step * k1.bx, p.y + half_step * k1.by);
        if (!k2) return std::nullopt;
        const auto k3 = interpolate(p.x + half_step * k2->bx, p.y + half_step * k2->by);
        if (!k3) return std::nullopt;
        const auto k4 = interpolate(p.x + step * k3->bx, p.y + step * k3->by);
        if (!k4) return std::nullopt;
        const Point next{p.x + sixth_step * (k1.bx + 2.0 * k2->bx + 2.0 * k3->bx + k4->bx),
                         p.y + sixth_step * (k1.by + 2.0 * k2->by + 2.0 * k3->by + k4->by)};
        // The field at the accepted point is the next step's k1: the same
        // call on the same point, so reusing it changes no bit.
        const auto field = interpolate(next.x, next.y);
        if (!field) return std::nullopt;
        return Step{next, *field};
    }

    // Follows the field from `seed` with fixed RK4 steps of `step`. `visit` is
    // called with the seed and then with every accepted point, and returns
    // false to end the line. A seed outside the grid is never visited; a line
    // ends before the first stage point or candidate that leaves the grid.
    template <class Visit>
    void follow(Point seed, double step, u64 max_steps, Visit&& visit) const {
        const std::optional<FieldValue> at_seed = interpolate(seed.x, seed.y);
        if (!at_seed || !visit(seed)) return;
        const double half_step = step * 0.5;
        const double sixth_step = step / 6.0;
        Step current{seed, *at_seed};
        for (u64 n = 0; n < max_steps; ++n) {
            const auto next = rk4_step(current.next, current.field, step, half_step, sixth_step);
            if (!next) return;
            current = *next;
            if (!visit(current.next)) return;
        }
    }

    // The traced path: the seed and every accepted point, at most
    // max_steps + 1 of them; empty when the seed lies outside.
    std::vector<Point> trace_line(Point seed, double step, u64 max_steps) const;

    double x_min() const noexcept { return x_min_; }
    double x_max() const noexcept { return x_max_; }
    double y_min() const noexcept { return y_min_; }
    double y_max() const noexcept { return y_max_; }
    u64 nx() const noexcept { return nx_; }
    u64 ny() const noexcept { return ny_; }
    const FieldStorage& field() const noexcept { return field_; }
    // The values of grid point (i, j) lie at bx()[i * x_stride() + j * y_stride()]
    // and by()[...] at the same place.
    const double* bx() const noexcept { return bx_; }
    const double* by() const noexcept { return by_; }
    u64 x_stride() const noexcept { return x_stride_; }
    u64 y_stride() const noexcept { return y_stride_; }
    double hx() const noexcept { return hx_; }
    double hy() const noexcept { return hy_; }
    // Lane tracing works out value indices in float64, exact below 2**52.
    bool can_trace_in_lanes() const noexcept {
        return nx_ * ny_ * field_.spacing() < (u64{1} << 52);
    }

private:

    double x_min_;
    double x_max_;
    double y_min_;
    double y_max_;
    u64 nx_;
    u64 ny_;
    FieldStorage field_;
    const double* bx_;
    const double* by_;
    // Values between neighbours along x and along y in each component.
    u64 x_stride_;
    u64 y_stride_;
    // Cell sizes, formed once with the same expression an interpolation would use.
    double hx_;
    double hy_;
};

// `bx` and `by`, of equal length and each with x varying fastest, copied
// into one buffer side by side, in pieces with `checkpoint` between them.
FieldStorage interleaved_copy(std::span<const double> bx, std::span<const double> by,
                              const Checkpoint& checkpoint = {});

// Paths grow as they are traced; reserving more than this up front would
// commit memory for lines that usually end long before their step limit.
inline constexpr u64 max_initial_path_reservation = u64{1} << 16;

}  // namespace torvelin
