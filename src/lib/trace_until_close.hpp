// Field-line tracing that can end a line when it comes back to its seed.
#pragma once

#include <vector>

#include "checkpoint.hpp"
#include "vector_grid.hpp"

namespace torvelin {

struct ClosableTrace {
    std::vector<Point> path;
    bool closed = false;
};

// Traces like VectorGrid2D::follow. With `close_on_loop`, once the elapsed
// integration time exceeds `min_time_before_close`, a point within
// `close_tol` of the seed ends the line as a loop: the seed is appended once
// more and `closed` is set. `checkpoint` is called every
// Checkpoint::scalar_steps steps.
ClosableTrace trace_line_until_close(const VectorGrid2D& grid, Point seed, double step,
                                     u64 max_steps, bool close_on_loop, double close_tol,
                                     double min_time_before_close,
                                     const Checkpoint& checkpoint = {});

}  // namespace torvelin
