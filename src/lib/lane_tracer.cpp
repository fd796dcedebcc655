#include "lane_tracer.hpp"

#include <algorithm>
#include <cmath>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

// The lane helpers are always inlined, so how vectors would be passed between
// separately compiled functions does not matter here.
#pragma GCC diagnostic ignored "-Wpsabi"

#if defined(__x86_64__)
// x86-64 copies for AVX-512 and AVX2, chosen at run time.
#define TORVELIN_LANE_NS avx512
#define TORVELIN_LANE_TARGET __attribute__((target("arch=x86-64-v4")))
#define TORVELIN_LANE_WIDTH 8
#include "lane_kernel.inc"
#undef TORVELIN_LANE_NS
#undef TORVELIN_LANE_TARGET
#undef TORVELIN_LANE_WIDTH

#define TORVELIN_LANE_NS avx2
#define TORVELIN_LANE_TARGET __attribute__((target("arch=x86-64-v3")))
#define TORVELIN_LANE_WIDTH 4
#include "lane_kernel.inc"
#undef TORVELIN_LANE_NS
#undef TORVELIN_LANE_TARGET
#undef TORVELIN_LANE_WIDTH
#endif

// The copy for the baseline of the target: SSE2 on x86-64, 128-bit vectors
// elsewhere. With 16 such registers, groups of 8 lanes keep their state in
// registers where 16 lanes would spill.
#define TORVELIN_LANE_NS baseline
#define TORVELIN_LANE_TARGET
#define TORVELIN_LANE_WIDTH 2
#define TORVELIN_LANE_GROUP 8
#include "lane_kernel.inc"
#undef TORVELIN_LANE_NS
#undef TORVELIN_LANE_TARGET
#undef TORVELIN_LANE_WIDTH
#undef TORVELIN_LANE_GROUP

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
    const double step = lanes.h[lane];
    const double half_step = step * 0.5;
    const double sixth_step = step / 6.0;
    u64 taken = 0;
    for (; taken < budget && !lanes.ended[lane] && lanes.room[lane] > 0; ++taken) {
        const Point p{lanes.x[lane], lanes.y[lane]};
        const FieldValue k1{lanes.k1x[lane], lanes.k1y[lane]};
        const auto next = grid.rk4_step(p, k1, step, half_step, sixth_step);
        if (!next) {
            lanes.ended[lane] = true;
            return taken + 1;
        }
        record_step(lanes, lane, next->next.x, next->next.y, next->field.bx, next->field.by,
                    closure);
    }
    return taken;
}

}  // namespace torvelin
