// The test that ends a line as a loop when it comes back to its seed.
#pragma once

#include <cmath>

#include "checked.hpp"

namespace torvelin {

// When a line that runs the closure test closes: at the first point within
// `close_tol` of its seed once more than `min_time_before_close` of
// integration time has passed.
struct ClosureTest {
    double close_tol = 0.0;
    double min_time_before_close = 0.0;

    // Whether enough time has passed for the point recorded at step
    // `step_idx` (counting from 0) of a line with step `h` to close it.
    bool time_has_passed(u64 step_idx, double h) const noexcept {
        const double elapsed_time = (static_cast<double>(step_idx) + 1.0) * std::fabs(h);
        return elapsed_time > min_time_before_close;
    }

    // Whether that point, (dx, dy) away from the seed, closes the line; the
    // distance is taken only once the time has passed.
    bool closes(u64 step_idx, double h, double dx, double dy) const noexcept {
        return time_has_passed(step_idx, h) && std::sqrt(dx * dx + dy * dy) <= close_tol;
    }
};

}  // namespace torvelin
