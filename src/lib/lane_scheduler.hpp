// Feeds many seeds through the lanes: a lane whose line ends takes the next
// seed at once, so lines of very different lengths keep every lane busy.
#pragma once

#include <cstddef>
#include <span>

#include "lane_tracer.hpp"

namespace torvelin {

// Where a line's next points go, and how many fit there.
struct PointSlots {
    double* out;
    u64 room;
};

// Traces the line of every seed, in lanes. `sink` receives, per seed index n:
//   PointSlots begin(n, seed)   the seed lies inside and is to be recorded;
//   PointSlots grow(n, out)     the room ran out at `out` and the line goes on;
//   void end(n, out, closed)    the line ended with its last point before `out`.
// Seeds outside the grid get no call at all. With closure enabled the sink
// keeps one slot beyond `room` free for the closing seed.
// A block costs about as much as this many lines stepped one by one.
inline constexpr int max_lanes_alone = 2;

template <class Sink>
void trace_in_lanes(const VectorGrid2D& grid, const LaneOptions& options,
                    std::span<const Point> seeds, u64 max_steps, Sink& sink,
                    LaneKernel kernel = advance_lanes) {
    LaneBlock lanes{};
    int busy = 0;
    std::size_t next_seed = 0;
    std::size_t line_of[lane_count] = {};
    auto fill = [&](int lane) {
        while (next_seed < seeds.size()) {
            const std::size_t n = next_seed++;
            const Point seed = seeds[n];
            const auto field = grid.interpolate(seed.x, seed.y);
            if (!field) continue;
            const PointSlots slots = sink.begin(n, seed);
            if (max_steps == 0) {
                sink.end(n, slots.out, false);
                continue;
            }
            lanes.start(lane, seed, *field, slots.out, slots.room, max_steps);
            line_of[lane] = n;
            ++busy;
            return;
        }
    };
    for (int lane = 0; lane < lane_count; ++lane) fill(lane);
    while (busy > 0) {
        if (busy > max_lanes_alone || next_seed < seeds.size()) {
            kernel(grid, options, lanes);
        } else {
            // Too few lines left to fill a block: step them one by one.
            for (int lane = 0; lane < lane_count; ++lane) {
                if (lanes.busy[lane]) advance_one_lane(grid, options, lanes, lane);
            }
        }
        for (int lane = 0; lane < lane_count; ++lane) {
            if (!lanes.busy[lane]) continue;
            if (lanes.ended[lane]) {
                sink.end(line_of[lane], lanes.out[lane], lanes.closed[lane]);
                lanes.busy[lane] = false;
                --busy;
                fill(lane);
            } else if (lanes.room[lane] == 0) {
                const PointSlots slots = sink.grow(line_of[lane], lanes.out[lane]);
                lanes.out[lane] = slots.out;
                lanes.room[lane] = slots.room;
            }
        }
    }
}

}  // namespace torvelin
