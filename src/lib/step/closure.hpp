// The test that ends a line as a loop when it comes back to its seed, for
// one point or for a block of lanes (see support/values.hpp).
#pragma once

#include "../support/values.hpp"

namespace torvelin {

// A line that runs the closure test closes at its first point within
// `close_tol` of its seed once more than `min_time_before_close` of
// integration time has passed.
struct ClosureTest {
    double close_tol = 0.0;
    double min_time_before_close = 0.0;
};

// The integration time at the point recorded at step `step_idx` (counting
// from 0) of a line with step h: it grows by |h| per step, whatever h's sign.
template <class V>
TORVELIN_INLINE V elapsed_time(V step_idx, V h) {
    return (step_idx + like(h, 1.0)) * magnitude(h);
}

// Whether a point (dx, dy) away from its seed is within the closing distance.
template <class V>
TORVELIN_INLINE MaskOf<V> near_seed(V dx, V dy, const ClosureTest& test) {
    return square_root(dx * dx + dy * dy) <= like(dx, test.close_tol);
}

// Whether such a point, reached at `elapsed` time, closes its line. The
// comparisons are ordered: NaN anywhere keeps the line open.
template <class V>
TORVELIN_INLINE MaskOf<V> closes(V elapsed, V dx, V dy, const ClosureTest& test) {
    return MaskOf<V>((elapsed > like(elapsed, test.min_time_before_close)) &
                     near_seed(dx, dy, test));
}

// The same for one point, from the line's step index.
TORVELIN_INLINE bool closes(const ClosureTest& test, std::uint64_t step_idx, double h, double dx,
                            double dy) {
    return closes(elapsed_time(static_cast<double>(step_idx), h), dx, dy, test);
}

}  // namespace torvelin
