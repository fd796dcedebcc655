#include "trace_until_close.hpp"

#include "closure_test.hpp"

#include <algorithm>
#include <cmath>

namespace torvelin {

ClosableTrace trace_line_until_close(const VectorGrid2D& grid, Point seed, double step,
                                     u64 max_steps, bool close_on_loop, double close_tol,
                                     double min_time_before_close,
                                     const Checkpoint& checkpoint) {
    // Room for the seed, every step and the seed once more on closure.
    const u64 capacity = checked_add(max_steps, 2);
    ClosableTrace trace;
    trace.path.reserve(std::min(capacity, max_initial_path_reservation));
    const ClosureTest closure{close_tol, min_time_before_close};
    u64 step_idx = 0;
    bool at_seed = true;
    grid.follow(seed, step, max_steps, [&](Point p) {
        trace.path.push_back(p);
        if (at_seed) {
            at_seed = false;
            return true;
        }
        const u64 this_step = step_idx++;
        if (step_idx % Checkpoint::scalar_steps == 0) checkpoint();
        if (!close_on_loop) return true;
        if (closure.closes(this_step, step, p.x - seed.x, p.y - seed.y)) {
            trace.path.push_back(seed);
            trace.closed = true;
            return false;
        }
        return true;
    });
    return trace;
}

}  // namespace torvelin
