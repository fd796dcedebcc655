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
TORVELIN_INLINE V elapsed_time(V step_idx, V h, V one) {
    return (step_idx + one) * magnitude(h);
}

// Whether a point (dx, dy) away from its seed is within the closing distance.
template <class V>
TORVELIN_INLINE MaskOf<V> near_seed(V dx, V dy, V close_tol) {
    return square_root(dx * dx + dy * dy) <= close_tol;
}

// Whether such a point, reached at `elapsed` time, closes its line. The
// comparisons are ordered: NaN anywhere keeps the line open.
template <class V>
TORVELIN_INLINE MaskOf<V> closes(V elapsed, V dx, V dy, V min_time_before_close, V close_tol) {
    return MaskOf<V>((elapsed > min_time_before_close) & near_seed(dx, dy, close_tol));
}

// The same for one point, from the line's step index.
inline bool closes(const ClosureTest& test, std::uint64_t step_idx, double h, double dx,
                   double dy) {
    return closes(elapsed_time(static_cast<double>(step_idx), h, 1.0), dx, dy,
                  test.min_time_before_close, test.close_tol);
}

}  // namespace torvelin
