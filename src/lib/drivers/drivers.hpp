// Tracing many seeds at once, in lanes. The points are bit-identical to
// tracing each seed on its own.
#pragma once

#include <deque>
#include <span>

#include "../memory/buffer.hpp"
#include "../step/closure.hpp"
#include "../support/checkpoint.hpp"
#include "../grid/vector_grid.hpp"

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

// One per line kept: a deque, so that it grows line by line without moving
// the lines already there.
using JoinedLineList = std::deque<LineCoordinates, BlockAllocator<LineCoordinates>>;

// The lines of at least two points, in footpoint order: for every footpoint
// its forward line, traced with `step`, when that closes on the footpoint
// (with the closure test, if `close_on_loop`) and has more than two points;
// otherwise its backward line, traced with -step and no closure test,
// reversed and joined to the forward line at the footpoint, which occurs
// once.
JoinedLineList trace_joined_lines(const VectorGrid2D& grid, std::span<const Point> footpoints,
                                  double step, u64 max_steps, bool close_on_loop,
                                  const ClosureTest& closure, const Checkpoint& checkpoint = {});

}  // namespace torvelin
