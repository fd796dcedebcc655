// The lane kernel for x86-64-v4 (AVX-512), chosen at run time on CPUs that
// have it. Built with that target's flags (see CMakeLists.txt).
#include "kernels.hpp"

#if defined(__x86_64__)
#include <immintrin.h>

#define TORVELIN_LANE_NS avx512
#define TORVELIN_LANE_WIDTH 8
#include "kernel.inc"
#endif
