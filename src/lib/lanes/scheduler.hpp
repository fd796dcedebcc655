// Feeds many lines through the lanes: a lane whose line ends takes the next
// line at once, so lines of very different lengths keep every lane busy.
#pragma once

#include <concepts>
#include <cstddef>

#include "../support/checkpoint.hpp"
#include "lane_block.hpp"

namespace torvelin {

// Where a line's next points go, x and y, and how many fit there.
struct PointSlots {
    double* x;
    double* y;
    u64 room;
};

// A line to trace: from `seed` with `step`, running the closure test when
// `close_on_loop`. `id` is what the supplier calls it.
struct LineStart {
    std::size_t id;
    Point seed;
    double step;
    bool close_on_loop;
};

// What supplies the lines and takes their points, `point_stride` values
// apart in its outputs. Lines that run the closure test need one slot
// beyond `room` for the closing seed.
template <class Lines>
concept LineSupplier = requires(Lines& lines, LineStart& line, std::size_t id, Point seed,
                                double* x, double* y, bool closed) {
    { Lines::point_stride } -> std::convertible_to<std::ptrdiff_t>;
    // The next line to trace; false when there is none for now.
    { lines.next(line) } -> std::same_as<bool>;
    // The seed lies inside and is to be recorded: where its points go.
    { lines.begin(id, seed) } -> std::same_as<PointSlots>;
    // The room ran out at x, y and the line goes on.
    { lines.grow(id, x, y) } -> std::same_as<PointSlots>;
    // The line ended with its last point before x, y; may make another
    // line available.
    lines.end(id, x, y, closed);
    // The seed lies outside: the line has no point.
    lines.outside(id);
};

// A block costs about as much as this many lines stepped one by one.
inline constexpr int max_lanes_alone = 2;

// Traces the lines of `lines`, of at most `max_steps` steps each, in lanes.
// `checkpoint` is called every Checkpoint::block_steps steps of work.
template <LineSupplier Lines>
void trace_in_lanes(const VectorGrid2D& grid, const ClosureTest& closure, u64 max_steps,
                    Lines& lines, const Checkpoint& checkpoint = {},
                    LaneKernel kernel = advance_lanes) {
    LaneBlock lanes{};
    lanes.point_stride = Lines::point_stride;
    int busy = 0;
    bool drained = false;  // the last request for a line found none
    std::size_t line_of[lane_count] = {};
    u64 since_checkpoint = 0;
    auto fill = [&](int lane) {
        LineStart line;
        while (!(drained = !lines.next(line))) {
            // Taking a line counts as a step of work: a long run of seeds
            // outside the grid, or of lines without steps, must not stretch
            // the time between checkpoints.
            if (++since_checkpoint >= Checkpoint::block_steps) {
                checkpoint();
                since_checkpoint = 0;
            }
            if (!grid.contains(line.seed.x, line.seed.y)) {
                lines.outside(line.id);
                continue;
            }
            const PointSlots slots = lines.begin(line.id, line.seed);
            if (max_steps == 0) {
                lines.end(line.id, slots.x, slots.y, false);
                continue;
            }
            lanes.start(lane, line.seed, grid.field_at(line.seed.x, line.seed.y), line.step, line.close_on_loop, slots.x, slots.y,
                        slots.room, max_steps);
            line_of[lane] = line.id;
            ++busy;
            return;
        }
    };
    for (int lane = 0; lane < lane_count; ++lane) fill(lane);
    while (busy > 0) {
        const u64 budget = Checkpoint::block_steps - since_checkpoint;
        if (busy > max_lanes_alone || !drained) {
            since_checkpoint += kernel(grid, closure, lanes, budget);
        } else {
            // Too few lines left to fill a block: step them one by one.
            for (int lane = 0; lane < lane_count; ++lane) {
                if (lanes.busy[lane]) {
                    since_checkpoint += advance_one_lane(grid, closure, lanes, lane, budget);
                }
            }
        }
        for (int lane = 0; lane < lane_count; ++lane) {
            if (!lanes.busy[lane]) continue;
            if (lanes.ended[lane]) {
                lanes.busy[lane] = false;
                --busy;
                lines.end(line_of[lane], lanes.out_x[lane], lanes.out_y[lane], lanes.closed[lane]);
                fill(lane);
            } else if (lanes.room[lane] == 0) {
                const PointSlots slots =
                    lines.grow(line_of[lane], lanes.out_x[lane], lanes.out_y[lane]);
                lanes.out_x[lane] = slots.x;
                lanes.out_y[lane] = slots.y;
                lanes.room[lane] = slots.room;
            }
        }
        if (since_checkpoint >= Checkpoint::block_steps) {
            checkpoint();
            since_checkpoint = 0;
        }
    }
}

}  // namespace torvelin
