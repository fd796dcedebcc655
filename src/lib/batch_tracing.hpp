// Tracing many seeds at once, in lanes where the grid allows it. The points
// are bit-identical to tracing each seed on its own with
// VectorGrid2D::follow or trace_line_until_close.
#pragma once

#include <deque>
#include <span>

#include "checkpoint.hpp"
#include "lane_tracer.hpp"

namespace torvelin {

// Writes the line of seeds[n] into the buffer's row n (from value
// n * 2 * (max_steps + 1) on) as x, y pairs, and NaN into every slot after
// its last point (the whole row for a seed outside the grid): every slot
// is written once. `checkpoint` is called at bounded intervals of work.
void trace_rows(const VectorGrid2D& grid, std::span<const Point> seeds, double step,
                u64 max_steps, DoubleBuffer& rows, const Checkpoint& checkpoint = {});

// The coordinates of a line's points, x and y apart, each buffer holding
// exactly `size` values once the line is finished.
struct LineCoordinates {
    DoubleBuffer x;
    DoubleBuffer y;
    std::size_t size = 0;
};

// One per footpoint: a deque, so that it grows line by line without moving
// the lines already there.
using JoinedLineList = std::deque<LineCoordinates, BlockAllocator<LineCoordinates>>;

// For every footpoint, in order: its forward line, traced with `step`, when
// that closes on the footpoint (with the closure test, if `close_on_loop`)
// and has more than two points; otherwise its backward line, traced with
// -step and no closure test, reversed and joined to the forward line at the
// footpoint, which occurs once. A line of fewer than two points is left
// empty.
JoinedLineList trace_joined_lines(const VectorGrid2D& grid,
                                                std::span<const Point> footpoints, double step,
                                                u64 max_steps, bool close_on_loop,
                                                const ClosureTest& closure,
                                                const Checkpoint& checkpoint = {});

}  // namespace torvelin
