// The lane kernel for x86-64-v3 (AVX2), chosen at run time on CPUs that
// have it. Built with that target's flags (see CMakeLists.txt).
#include "kernels.hpp"

#if defined(__x86_64__)
#include <immintrin.h>

#define TORVELIN_LANE_NS avx2
#define TORVELIN_LANE_WIDTH 4
#include "kernel.inc"
#endif
