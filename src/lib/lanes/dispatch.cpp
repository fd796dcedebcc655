#include "kernels.hpp"
#include "../step/rk4.hpp"

namespace torvelin {

// A build may hold dispatch to the kernels up to a narrower one (CMake's
// TORVELIN_LANE_KERNEL), so that kernels can be timed against each other on
// one CPU. A CPU that cannot run that one gets the next narrower it can.
#if defined(TORVELIN_WIDEST_LANE_KERNEL_baseline)
constexpr int widest_lane_kernel = 0;
#elif defined(TORVELIN_WIDEST_LANE_KERNEL_avx2)
constexpr int widest_lane_kernel = 1;
#else
constexpr int widest_lane_kernel = 2;
#endif

std::vector<NamedLaneKernel> runnable_lane_kernels() {
    std::vector<NamedLaneKernel> kernels;
#if defined(__x86_64__)
    __builtin_cpu_init();
    if (widest_lane_kernel >= 2 && __builtin_cpu_supports("x86-64-v4")) {
        kernels.push_back({"x86-64-v4", avx512::advance});
    }
    if (widest_lane_kernel >= 1 && __builtin_cpu_supports("x86-64-v3")) {
        kernels.push_back({"x86-64-v3", avx2::advance});
    }
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
    const StepSizes<double> sizes = step_sizes(lanes.h[lane]);
    const auto field_at = [&grid](double x, double y) { return grid.field_at(x, y); };
    u64 taken = 0;
    for (; taken < budget && !lanes.ended[lane] && lanes.room[lane] > 0; ++taken) {
        const StepTaken<double> next =
            rk4_step(grid.geometry(), sizes, lanes.x[lane], lanes.y[lane], lanes.k1x[lane],
                     lanes.k1y[lane], field_at);
        if (!next.accepted) {
            lanes.ended[lane] = true;
            return taken + 1;
        }
        lanes.record_step(lane, next.x, next.y, next.bx, next.by, closure);
    }
    return taken;
}

}  // namespace torvelin
