// find_fieldlines: the field and the footpoints from loosely typed inputs,
// every footpoint traced both ways, closed loops recognised.
#include "lib/drivers/drivers.hpp"
#include "python_api/args/values.hpp"
#include "python_api/module/computations.hpp"
#include "python_api/numpy/field_input.hpp"
#include "python_api/numpy/result_arrays.hpp"
#include "python_api/runtime/interned.hpp"
#include "python_api/runtime/signals.hpp"

#include <array>
#include <cmath>

namespace torvelin::py::find_fieldlines {

namespace {

constexpr u64 default_max_steps = 16384;
constexpr double default_close_tol = 1e-6;
constexpr double default_max_step_factor = 100.0;
// Result entries made between two looks at pending signals.
constexpr std::size_t entries_between_signal_checks = 1024;

DoubleBuffer coordinates(PyObject* data, std::optional<PyObject*> given, PyObject* attribute) {
    if (given) return extract_vector(*given);
    const PyRef values = check(PyObject_GetAttr(data, attribute));
    return extract_vector(values.get());
}

DoubleBuffer footpoints(std::optional<PyObject*> given) {
    if (!given) raise(PyExc_ValueError, "Footpoints not provided. Please provide x0 and y0.");
    return extract_vector(*given);
}

// [x_array, y_array] over the line's own buffers.
PyRef line_entry(LineCoordinates& line) {
    const std::array<Py_ssize_t, 1> shape{static_cast<Py_ssize_t>(line.size)};
    PyRef x_array = make_output_array(std::move(line.x), shape);
    PyRef y_array = make_output_array(std::move(line.y), shape);
    PyRef entry = check(PyList_New(2));
    PyList_SET_ITEM(entry.get(), 0, x_array.release());
    PyList_SET_ITEM(entry.get(), 1, y_array.release());
    return entry;
}

}  // namespace

PyRef compute(const Arguments& args) {
    const DoubleBuffer xc = coordinates(args.data, args.x1, interned::x1());
    const DoubleBuffer yc = coordinates(args.data, args.x2, interned::x2());
    if (xc.size() < 2 || yc.size() < 2) {
        raise(PyExc_ValueError, "x1 and x2 must each contain at least 2 points");
    }
    const DoubleBuffer x0 = footpoints(args.x0);
    const DoubleBuffer y0 = footpoints(args.y0);
    if (x0.size() != y0.size()) raise(PyExc_ValueError, "x0 and y0 must have the same length");
    const u64 nx = xc.size();
    const u64 ny = yc.size();
    const u64 max_steps = args.numsteps.value_or(default_max_steps);
    // Every footpoint is traced both ways, unless its line closes.
    const u64 planned_steps = saturating_mul(saturating_mul(x0.size(), max_steps), 2);
    CallField field = find_field(args.data, args.var1, args.var2, nx, ny, planned_steps);

    const double dx = std::fabs(xc[1] - xc[0]);
    const double dy = std::fabs(yc[1] - yc[0]);
    // fmin ignores a NaN operand, so one NaN spacing leaves the other.
    const double step = args.step.value_or(std::fmin(dx, dy));
    const double max_step = args.maxstep.value_or(step * default_max_step_factor);
    const double signed_step = std::fmin(step, max_step);
    const bool close_on_loop = args.close.value_or(true);
    const ClosureTest closure{.close_tol = args.ctol.value_or(default_close_tol),
                              .min_time_before_close = max_step};

    Buffer<Point> seeds(x0.size());
    in_pieces(seeds.size(), signal_checkpoint(), [&](std::size_t first, std::size_t count) {
        for (std::size_t i = first; i < first + count; ++i) seeds[i] = Point{x0[i], y0[i]};
    });
    // Python code ran while the second component and the seeds were read,
    // and may have changed the first. From here until the last line is
    // traced, Python code runs only in signal handlers, at checkpoints.
    field.watch.check();
    JoinedLineList lines;
    {
        const VectorGrid2D grid(xc.front(), xc.back(), yc.front(), yc.back(), nx, ny,
                                std::move(field.storage));
        const SignalCheckpoint checkpoint(field.watch);
        lines = trace_joined_lines(grid, seeds.values(), signed_step, max_steps, close_on_loop,
                                   closure, checkpoint.checkpoint());
    }
    // Building the result may run Python code, but the field is read no more.
    PyRef result = check(PyList_New(static_cast<Py_ssize_t>(lines.size())));
    for (std::size_t n = 0; n < lines.size(); ++n) {
        if (n % entries_between_signal_checks == entries_between_signal_checks - 1) {
            handle_pending_signals();
        }
        PyList_SET_ITEM(result.get(), static_cast<Py_ssize_t>(n), line_entry(lines[n]).release());
    }
    return result;
}

}  // namespace torvelin::py::find_fieldlines
