// trace_fieldlines: every seed traced forward into one NaN-padded array.
#include "lib/drivers/drivers.hpp"
#include "python_api/module/computations.hpp"
#include "python_api/numpy/field_input.hpp"
#include "python_api/numpy/result_arrays.hpp"

#include <array>
#include <cstdint>
#include <limits>
#include <string>

namespace torvelin::py::trace_fieldlines {

namespace {

// Elements of an array of `shape`; faults when NumPy could not index it.
u64 checked_element_count(const std::array<u64, 3>& shape) {
    constexpr u64 most = std::numeric_limits<std::int64_t>::max();
    u64 count = 1;
    bool empty = false;
    for (const u64 length : shape) {
        if (length == 0) {
            empty = true;  // an empty axis is fine whatever the others are
            continue;
        }
        count = saturating_mul(count, length);
        if (count > most) {
            throw InternalFault("array shape (" + std::to_string(shape[0]) + ", " +
                                std::to_string(shape[1]) + ", " + std::to_string(shape[2]) +
                                ") is too large");
        }
    }
    return empty ? 0 : count;
}

}  // namespace

PyRef compute(const Arguments& args) {
    // The conversions after bx and by ran Python code, which may have retyped
    // or reshaped the arrays in place: they must still qualify when read.
    // From here on Python code runs only in signal handlers, at checkpoints.
    convert_argument<Float64Array1D>(args.bx.get(), "bx");
    convert_argument<Float64Array1D>(args.by.get(), "by");
    const TraceFieldInput input = check_trace_field(args.bx.get(), args.by.get(), args.nx, args.ny);

    const u64 points_per_line = checked_add(args.max_steps, 1);
    const std::array<u64, 3> shape{args.seeds.size(), points_per_line, 2};
    // trace_rows writes every slot, points and padding alike. The result is
    // had before any pass over the field.
    DoubleBuffer points;
    try {
        points.resize(checked_element_count(shape));
    } catch (const AllocationFailure& failure) {
        throw failure.for_purpose("a result of " + std::to_string(shape[0]) + " \u00d7 " +
                                  std::to_string(shape[1]) + " points");
    }
    CallField field = trace_field(input, saturating_mul(args.seeds.size(), args.max_steps));
    const VectorGrid2D grid(args.xmin, args.xmax, args.ymin, args.ymax, args.nx, args.ny,
                            std::move(field.storage));
    const SignalCheckpoint checkpoint(field.watch);
    trace_rows(grid, args.seeds.values(), args.step, args.max_steps, points,
               checkpoint.checkpoint());
    const std::array<Py_ssize_t, 3> dims{static_cast<Py_ssize_t>(shape[0]),
                                         static_cast<Py_ssize_t>(shape[1]), 2};
    return make_output_array(std::move(points), dims);
}

}  // namespace torvelin::py::trace_fieldlines
