#include "trace_fieldlines.hpp"

#include "../lib/batch_tracing.hpp"
#include "conversions.hpp"
#include "grid_field.hpp"
#include "output_array.hpp"
#include "signal_checkpoint.hpp"

#include <array>
#include <cstdint>
#include <limits>
#include <string>

namespace torvelin::py {

namespace {

constexpr const char* positional_names[] = {"xmin", "xmax", "ymin",  "ymax", "nx",       "ny",
                                            "bx",   "by",   "seeds", "step", "max_steps"};

// Elements of an array of `shape`; faults when NumPy could not index it.
u64 checked_element_count(const std::array<u64, 3>& shape) {
    u64 count = 1;
    for (const u64 length : shape) {
        if (length == 0) continue;  // an empty axis is fine whatever the others are
        if (__builtin_mul_overflow(count, length, &count) ||
            count > static_cast<u64>(std::numeric_limits<std::int64_t>::max())) {
            throw InternalFault("array shape (" + std::to_string(shape[0]) + ", " +
                                std::to_string(shape[1]) + ", " + std::to_string(shape[2]) +
                                ") is too large");
        }
    }
    for (const u64 length : shape) {
        if (length == 0) return 0;
    }
    return count;
}

}  // namespace

constexpr ParameterDescriptor trace_fieldlines_descriptor{
    .function_name = "trace_fieldlines",
    .positional = positional_names,
    .positional_only = 0,
    .required_positional = 11,
    .keyword_only = {},
};

PyRef trace_fieldlines(const BoundArguments& args) {
    const double xmin = args.convert<Float64>(0);
    const double xmax = args.convert<Float64>(1);
    const double ymin = args.convert<Float64>(2);
    const double ymax = args.convert<Float64>(3);
    const u64 nx = args.convert<UnsignedSize>(4);
    const u64 ny = args.convert<UnsignedSize>(5);
    const PyRef bx_array = args.convert<Float64Array1D>(6);
    const PyRef by_array = args.convert<Float64Array1D>(7);
    const Buffer<Point> seeds = args.convert<SequenceOfPairs>(8);
    const double step = args.convert<Float64>(9);
    const u64 max_steps = args.convert<UnsignedSize>(10);

    // The conversions after bx and by ran Python code, which may have retyped
    // or reshaped the arrays in place: they must still qualify when read.
    // From here on Python code runs only in signal handlers, at checkpoints.
    args.convert<Float64Array1D>(6);
    args.convert<Float64Array1D>(7);
    const TraceFieldInput input = check_trace_field(bx_array.get(), by_array.get(), nx, ny);

    const u64 points_per_line = checked_add(max_steps, 1);
    const std::array<u64, 3> shape{seeds.size(), points_per_line, 2};
    // trace_rows writes every slot, points and padding alike.
    DoubleBuffer points;
    try {
        points.resize(checked_element_count(shape));
    } catch (const AllocationFailure& failure) {
        throw failure.for_purpose("a result of " + std::to_string(shape[0]) + " \u00d7 " +
                                  std::to_string(shape[1]) + " points");
    }
    // The result is had before any pass over the field.
    CallField field = trace_field(input, saturating_mul(seeds.size(), max_steps));
    const VectorGrid2D grid(xmin, xmax, ymin, ymax, nx, ny, std::move(field.storage));
    const SignalCheckpoint checkpoint(field.watch);
    trace_rows(grid, seeds.values(), step, max_steps, points, checkpoint.checkpoint());
    const std::array<Py_ssize_t, 3> dims{static_cast<Py_ssize_t>(shape[0]),
                                         static_cast<Py_ssize_t>(shape[1]), 2};
    return make_output_array(std::move(points), dims);
}

}  // namespace torvelin::py
