// The lane kernel for x86-64-v3 (AVX2), chosen at run time.
#include "lane_kernels.hpp"

#if defined(__x86_64__)
#include <immintrin.h>

#define TORVELIN_LANE_NS avx2
#define TORVELIN_LANE_TARGET __attribute__((target("arch=x86-64-v3")))
#define TORVELIN_LANE_WIDTH 4
#include "lane_kernel.inc"
#endif
