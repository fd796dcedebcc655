// The oracle of the native tests: a tracer of one line at a time, written
// straight from the formulas, with unsigned 64-bit cell indices and an early
// end at the first stage outside, and sharing no arithmetic with the
// library. Every lane kernel must give its bits.
#pragma once

#include <cmath>
#include <cstdint>
#include <optional>
#include <vector>

#include "grid/vector_grid.hpp"

namespace oracle {

using torvelin::Point;
using torvelin::u64;
using torvelin::VectorGrid2D;

struct Field {
    double bx;
    double by;
};

inline std::optional<Field> interpolate(const VectorGrid2D& grid, double x, double y) {
    const auto& g = grid.geometry();
    if (x < g.x_min || x > g.x_max || y < g.y_min || y > g.y_max) return std::nullopt;
    const double hx = (g.x_max - g.x_min) / static_cast<double>(grid.nx() - 1);
    const double hy = (g.y_max - g.y_min) / static_cast<double>(grid.ny() - 1);
    const double fx = (x - g.x_min) / hx;
    const double fy = (y - g.y_min) / hy;
    // floor, saturated to an unsigned index: NaN and negatives give 0.
    const auto floor_index = [](double f) -> u64 {
        if (!(f >= 0.0)) return 0;
        if (f >= 18446744073709551616.0) return UINT64_MAX;
        return static_cast<u64>(std::floor(f));
    };
    u64 i = floor_index(fx), j = floor_index(fy);
    if (i >= grid.nx() - 1) i = grid.nx() - 2;
    if (j >= grid.ny() - 1) j = grid.ny() - 2;
    const double tx = fx - static_cast<double>(i);
    const double ty = fy - static_cast<double>(j);
    const auto at = [&](u64 ii, u64 jj) { return ii * grid.x_stride() + jj * grid.y_stride(); };
    const auto bilinear = [&](const double* b) {
        const double top = b[at(i, j)] * (1.0 - tx) + b[at(i + 1, j)] * tx;
        const double bot = b[at(i, j + 1)] * (1.0 - tx) + b[at(i + 1, j + 1)] * tx;
        return top * (1.0 - ty) + bot * ty;
    };
    return Field{bilinear(grid.bx()), bilinear(grid.by())};
}

struct Trace {
    std::vector<Point> path;
    bool closed = false;
};

inline Trace trace(const VectorGrid2D& grid, Point seed, double h, u64 max_steps,
                   bool close_on_loop, double close_tol, double min_time_before_close) {
    Trace trace;
    if (!interpolate(grid, seed.x, seed.y)) return trace;
    trace.path.push_back(seed);
    Point p = seed;
    for (u64 step_idx = 0; step_idx < max_steps; ++step_idx) {
        const auto k1 = interpolate(grid, p.x, p.y);
        if (!k1) break;
        const auto k2 = interpolate(grid, p.x + (h * 0.5) * k1->bx, p.y + (h * 0.5) * k1->by);
        if (!k2) break;
        const auto k3 = interpolate(grid, p.x + (h * 0.5) * k2->bx, p.y + (h * 0.5) * k2->by);
        if (!k3) break;
        const auto k4 = interpolate(grid, p.x + h * k3->bx, p.y + h * k3->by);
        if (!k4) break;
        const Point next{p.x + (h / 6.0) * (k1->bx + 2.0 * k2->bx + 2.0 * k3->bx + k4->bx),
                         p.y + (h / 6.0) * (k1->by + 2.0 * k2->by + 2.0 * k3->by + k4->by)};
        if (!interpolate(grid, next.x, next.y)) break;
        p = next;
        trace.path.push_back(p);
        if (!close_on_loop) continue;
        const double elapsed = (static_cast<double>(step_idx) + 1.0) * std::fabs(h);
        if (elapsed > min_time_before_close) {
            const double dx = p.x - seed.x, dy = p.y - seed.y;
            if (std::sqrt(dx * dx + dy * dy) <= close_tol) {
                trace.path.push_back(seed);
                trace.closed = true;
                break;
            }
        }
    }
    return trace;
}

}  // namespace oracle
