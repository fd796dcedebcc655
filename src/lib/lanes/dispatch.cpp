#include "kernels.hpp"
#include "../step/rk4.hpp"

namespace torvelin {

std::vector<NamedLaneKernel> runnable_lane_kernels() {
    std::vector<NamedLaneKernel> kernels;
#if defined(__x86_64__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("x86-64-v4")) kernels.push_back({"x86-64-v4", avx512::advance});
    if (__builtin_cpu_supports("x86-64-v3")) kernels.push_back({"x86-64-v3", avx2::advance});
#endif
    kernels.push_back({"baseline", baseline::advance});
    return kernels;
}

u64 advance_lanes(const VectorGrid2D& grid, const ClosureTest& closure, LaneBlock& lanes,
                  u64 budget) {
    static const LaneKernel kernel = runnable_lane_kernels().front().kernel;
    return kernel(grid, closure, lanes, budget);
}

u64 advance_one_lane(const VectorGrid2D& grid, const ClosureTest& closure, LaneBlock& lanes,
                     int lane, u64 budget) {
    // The lane's step, halved and sixthed as the lane kernels do it.
    const StepSizes<double> sizes = step_sizes(lanes.h[lane], 0.5, 6.0, 2.0);
    const auto field_at = [&grid](double x, double y) { return grid.field_at(x, y); };
    u64 taken = 0;
    for (; taken < budget && !lanes.ended[lane] && lanes.room[lane] > 0; ++taken) {
        const StepTaken<double> next =
            rk4_step(sizes, lanes.x[lane], lanes.y[lane], lanes.k1x[lane], lanes.k1y[lane],
                     field_at);
        if (!next.accepted) {
            lanes.ended[lane] = true;
            return taken + 1;
        }
        lanes.record_step(lane, next.x, next.y, next.field.bx, next.field.by, closure);
    }
    return taken;
}

}  // namespace torvelin
