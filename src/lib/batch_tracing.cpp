#include "batch_tracing.hpp"

#include <algorithm>
#include <limits>

#include "lane_scheduler.hpp"
#include "trace_until_close.hpp"

namespace torvelin {

namespace {

void pad_with_nan(double* from, double* to) {
    std::fill(from, to, std::numeric_limits<double>::quiet_NaN());
}

// Rows of fixed length: a line can never outgrow its row. Each slot is
// written once, by a point or by padding, so the rows need no filling first.
struct RowSink {
    double* rows;
    u64 row_length;
    u64 max_steps;
    std::size_t next_row = 0;  // rows before it are written or being traced

    double* row(std::size_t n) const noexcept { return rows + n * row_length; }

    // Rows of seeds outside the grid, which get no call, up to row `n`.
    void pad_rows_before(std::size_t n) noexcept {
        pad_with_nan(row(next_row), row(n));
        next_row = n;
    }
    PointSlots begin(std::size_t n, Point seed) noexcept {
        pad_rows_before(n);
        next_row = n + 1;
        double* start = row(n);
        start[0] = seed.x;
        start[1] = seed.y;
        return {start + 2, max_steps};
    }
    PointSlots grow(std::size_t, double*) const { throw InternalFault("a row overflowed"); }
    void end(std::size_t n, double* out, bool) const noexcept { pad_with_nan(out, row(n + 1)); }
};

// Growable paths, starting small: most lines end long before max_steps.
struct PathSink {
    std::vector<TracedLine>& lines;
    u64 capacity_limit;  // max_steps + 2 points: seed, steps, closing seed

    static constexpr u64 initial_capacity = 64;

    // Room for the points up to `capacity`, less the slot kept for closing.
    static PointSlots slots_after(TracedLine& line, std::size_t used, u64 capacity) {
        line.xy.resize(2 * capacity);
        return {line.xy.data() + used, capacity - used / 2 - 1};
    }
    PointSlots begin(std::size_t n, Point seed) const {
        TracedLine& line = lines[n];
        PointSlots slots = slots_after(line, 0, std::min(capacity_limit, initial_capacity));
        slots.out[0] = seed.x;
        slots.out[1] = seed.y;
        return {slots.out + 2, slots.room - 1};
    }
    PointSlots grow(std::size_t n, double* out) const {
        TracedLine& line = lines[n];
        const auto used = static_cast<std::size_t>(out - line.xy.data());
        return slots_after(line, used, std::min(capacity_limit, 2 * (line.xy.size() / 2)));
    }
    void end(std::size_t n, double* out, bool closed) const {
        TracedLine& line = lines[n];
        line.xy.resize(static_cast<std::size_t>(out - line.xy.data()));
        line.closed = closed;
    }
};

}  // namespace

void trace_rows(const VectorGrid2D& grid, std::span<const Point> seeds, double step,
                u64 max_steps, double* rows) {
    const u64 row_length = 2 * checked_add(max_steps, 1);
    if (!grid.can_trace_in_lanes()) {
        for (std::size_t n = 0; n < seeds.size(); ++n) {
            double* slot = rows + n * row_length;
            grid.follow(seeds[n], step, max_steps, [&slot](Point p) {
                slot[0] = p.x;
                slot[1] = p.y;
                slot += 2;
                return true;
            });
            pad_with_nan(slot, rows + (n + 1) * row_length);
        }
        return;
    }
    RowSink sink{rows, row_length, max_steps};
    trace_in_lanes(grid, LaneOptions{.step = step}, seeds, max_steps, sink);
    sink.pad_rows_before(seeds.size());
}

std::vector<TracedLine> trace_closable(const VectorGrid2D& grid, std::span<const Point> seeds,
                                       double step, u64 max_steps, bool close_on_loop,
                                       double close_tol, double min_time_before_close) {
    const u64 capacity_limit = checked_add(max_steps, 2);
    std::vector<TracedLine> lines(seeds.size());
    if (!grid.can_trace_in_lanes()) {
        for (std::size_t n = 0; n < seeds.size(); ++n) {
            const ClosableTrace trace = trace_line_until_close(
                grid, seeds[n], step, max_steps, close_on_loop, close_tol, min_time_before_close);
            lines[n].closed = trace.closed;
            lines[n].xy.reserve(2 * trace.path.size());
            for (const Point p : trace.path) {
                lines[n].xy.push_back(p.x);
                lines[n].xy.push_back(p.y);
            }
        }
        return lines;
    }
    PathSink sink{lines, capacity_limit};
    const LaneOptions options{.step = step,
                              .close_on_loop = close_on_loop,
                              .close_tol = close_tol,
                              .min_time_before_close = min_time_before_close};
    trace_in_lanes(grid, options, seeds, max_steps, sink);
    return lines;
}

}  // namespace torvelin
