// The lane kernel for the baseline of the target: SSE2 on x86-64, 128-bit
// vectors elsewhere. With 16 such registers, groups of 8 lanes keep their
// state in registers where 16 lanes would spill.
#include "kernels.hpp"

#if defined(__x86_64__)
#include <emmintrin.h>
#endif

#define TORVELIN_LANE_NS baseline
#define TORVELIN_LANE_WIDTH 2
#define TORVELIN_LANE_GROUP 8
#include "kernel.inc"
