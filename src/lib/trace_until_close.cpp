#include "trace_until_close.hpp"

#include <algorithm>
#include <cmath>

namespace torvelin {

ClosableTrace trace_line_until_close(const VectorGrid2D& grid, Point seed, double step,
                                     u64 max_steps, bool close_on_loop, double close_tol,
                                     double min_time_before_close) {
    // Room for the seed, every step and the seed once more on closure.
    const u64 capacity = checked_add(max_steps, 2);
    ClosableTrace trace;
    trace.path.reserve(std::min(capacity, max_initial_path_reservation));
    const double abs_step = std::fabs(step);
    u64 step_idx = 0;
    bool at_seed = true;
    grid.follow(seed, step, max_steps, [&](Point p) {
        trace.path.push_back(p);
        if (at_seed) {
            at_seed = false;
            return true;
        }
        const double elapsed_time = (static_cast<double>(step_idx) + 1.0) * abs_step;
        ++step_idx;
        if (!close_on_loop || !(elapsed_time > min_time_before_close)) return true;
        const double dx = p.x - seed.x;
        const double dy = p.y - seed.y;
        if (std::sqrt(dx * dx + dy * dy) <= close_tol) {
            trace.path.push_back(seed);
            trace.closed = true;
            return false;
        }
        return true;
    });
    return trace;
}

}  // namespace torvelin
