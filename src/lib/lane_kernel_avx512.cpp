// The lane kernel for x86-64-v4 (AVX-512), chosen at run time.
#include "lane_kernels.hpp"

#if defined(__x86_64__)
#include <immintrin.h>

#define TORVELIN_LANE_NS avx512
#define TORVELIN_LANE_TARGET __attribute__((target("arch=x86-64-v4")))
#define TORVELIN_LANE_WIDTH 8
#include "lane_kernel.inc"
#endif
