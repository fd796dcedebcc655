// Several field lines advanced together, one per lane.
//
// A single line spends most of its time waiting: each RK4 stage needs the
// previous one (a division, a floor, dependent loads). Lines are independent,
// so advancing `lane_count` of them in lock-step keeps the pipeline full and
// lets the per-lane arithmetic run in SIMD registers. Every lane performs
// the arithmetic of step/rk4.hpp as one point would, so each line's points
// are bit-identical to a line traced on its own.
#pragma once

#include <cstddef>
#include <vector>

#include "../grid/vector_grid.hpp"
#include "../step/closure.hpp"

namespace torvelin {

// Lanes in a block: the lines the scheduler keeps in flight.
inline constexpr int lane_count = 16;

// Per-lane state, laid out lane after lane so the stages vectorise.
struct LaneBlock {
    alignas(64) double x[lane_count];    // current point
    alignas(64) double y[lane_count];
    alignas(64) double k1x[lane_count];  // field at the current point
    alignas(64) double k1y[lane_count];
    alignas(64) double seed_x[lane_count];
    alignas(64) double seed_y[lane_count];
    alignas(64) double h[lane_count];    // the line's signed step
    double* out_x[lane_count];   // where the next point's x goes
    double* out_y[lane_count];   // and its y
    u64 room[lane_count];        // points that still fit there
    u64 steps_left[lane_count];  // steps the lane may still take
    u64 steps_done[lane_count];  // steps accepted so far
    bool busy[lane_count];       // the lane holds a line that has not ended
    bool may_close[lane_count];  // the line runs the closure test
    bool ended[lane_count];      // its line ended: left the grid, ran out of steps or closed
    bool closed[lane_count];     // it ended by closing on its seed
    // Values between a line's consecutive x (and y) values in its output:
    // 2 where x and y alternate, 1 where they are apart.
    std::ptrdiff_t point_stride = 2;

    // Puts the line of `seed` into `lane`, its seed point already recorded
    // and `field` (the interpolation at the seed) as its first k1.
    void start(int lane, Point seed, const FieldValue<double>& field, double step,
               bool close_on_loop, double* x_slot, double* y_slot, u64 room_left,
               u64 max_steps) noexcept {
        x[lane] = seed_x[lane] = seed.x;
        y[lane] = seed_y[lane] = seed.y;
        k1x[lane] = field.bx;
        k1y[lane] = field.by;
        h[lane] = step;
        out_x[lane] = x_slot;
        out_y[lane] = y_slot;
        room[lane] = room_left;
        steps_left[lane] = max_steps;
        steps_done[lane] = 0;
        busy[lane] = true;
        may_close[lane] = close_on_loop;
        ended[lane] = max_steps == 0;
        closed[lane] = false;
    }

    // Records the accepted point (px, py), where the field is (bx, by), and
    // runs the closure test when the line does.
    void record_step(int lane, double px, double py, double bx, double by,
                     const ClosureTest& closure) noexcept {
        x[lane] = px;
        y[lane] = py;
        k1x[lane] = bx;
        k1y[lane] = by;
        double* x_slot = out_x[lane];
        double* y_slot = out_y[lane];
        *x_slot = px;
        *y_slot = py;
        out_x[lane] = x_slot + point_stride;
        out_y[lane] = y_slot + point_stride;
        --room[lane];
        const u64 step_idx = steps_done[lane]++;
        if (--steps_left[lane] == 0) ended[lane] = true;
        if (!may_close[lane]) return;
        if (closes(closure, step_idx, h[lane], px - seed_x[lane], py - seed_y[lane])) {
            x_slot[point_stride] = seed_x[lane];
            y_slot[point_stride] = seed_y[lane];
            out_x[lane] = x_slot + 2 * point_stride;
            out_y[lane] = y_slot + 2 * point_stride;
            closed[lane] = true;
            ended[lane] = true;
        }
    }

    // Brings a lane's counters up to date after `taken` steps whose points
    // were written from its `out` on.
    void catch_up(int lane, u64 taken) noexcept {
        const auto written = point_stride * static_cast<std::ptrdiff_t>(taken);
        out_x[lane] += written;
        out_y[lane] += written;
        room[lane] -= taken;
        steps_left[lane] -= taken;
        steps_done[lane] += taken;
    }
};

// Steps every busy lane that has not ended until at least one of them ends
// or fills its room, or `budget` steps are taken, and returns the steps
// taken, so the caller can retire or refill lanes. Lanes that may close
// need one slot beyond `room` for the closing seed.
using LaneKernel = u64 (*)(const VectorGrid2D&, const ClosureTest&, LaneBlock&, u64 budget);

struct NamedLaneKernel {
    const char* name;
    LaneKernel kernel;
};

// Every compiled kernel this CPU can run, fastest first; advance_lanes uses
// the first. All of them give the same bits.
std::vector<NamedLaneKernel> runnable_lane_kernels();

u64 advance_lanes(const VectorGrid2D& grid, const ClosureTest& closure, LaneBlock& lanes,
                  u64 budget);

// Steps `lane` alone, one point at a time, until it ends or fills its room,
// or `budget` steps are taken: cheaper than a whole lane block when few
// lines are left. Returns the steps taken.
u64 advance_one_lane(const VectorGrid2D& grid, const ClosureTest& closure, LaneBlock& lanes,
                     int lane, u64 budget);

}  // namespace torvelin
