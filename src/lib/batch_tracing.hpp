// Tracing many seeds at once, in lanes where the grid allows it. The points
// are bit-identical to tracing each seed on its own with
// VectorGrid2D::follow or trace_line_until_close.
#pragma once

#include <span>
#include <vector>

#include "vector_grid.hpp"

namespace torvelin {

// Writes the line of seeds[n] into rows + n * 2 * (max_steps + 1) as x, y
// pairs, and NaN into every slot after its last point (the whole row for a
// seed outside the grid): every slot is written once.
void trace_rows(const VectorGrid2D& grid, std::span<const Point> seeds, double step,
                u64 max_steps, double* rows);

struct TracedLine {
    LargeVector xy;  // x0, y0, x1, y1, ...; resizing leaves new slots unwritten
    bool closed = false;

    std::size_t size() const noexcept { return xy.size() / 2; }
    Point operator[](std::size_t k) const noexcept { return {xy[2 * k], xy[2 * k + 1]}; }
};

// trace_line_until_close for every seed, in seed order.
std::vector<TracedLine> trace_closable(const VectorGrid2D& grid, std::span<const Point> seeds,
                                       double step, u64 max_steps, bool close_on_loop,
                                       double close_tol, double min_time_before_close);

}  // namespace torvelin
