// The compiled copies of the lane kernel, one per instruction set (see
// kernel.inc); dispatch.cpp chooses among them.
#pragma once

#include "lane_block.hpp"

// The lane helpers are always inlined, so how vectors would be passed between
// separately compiled functions does not matter here.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace torvelin {

#if defined(__x86_64__)
namespace avx512 {
u64 advance(const VectorGrid2D& grid, const ClosureTest& closure, LaneBlock& lanes, u64 budget);
}
namespace avx2 {
u64 advance(const VectorGrid2D& grid, const ClosureTest& closure, LaneBlock& lanes, u64 budget);
}
#endif
namespace baseline {
u64 advance(const VectorGrid2D& grid, const ClosureTest& closure, LaneBlock& lanes, u64 budget);
}

}  // namespace torvelin
