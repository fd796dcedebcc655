#include "find_fieldlines.hpp"

#include "../lib/batch_tracing.hpp"
#include "coercion.hpp"
#include "grid_field.hpp"
#include "interned.hpp"
#include "output_array.hpp"

#include <algorithm>
#include <array>
#include <cmath>

namespace torvelin::py {

namespace {

constexpr u64 default_max_steps = 16384;
constexpr double default_close_tol = 1e-6;
constexpr double default_max_step_factor = 100.0;
constexpr std::size_t footpoints_per_batch = 1024;

LargeVector coordinates(PyObject* data, std::optional<PyObject*> given,
                                PyObject* attribute) {
    if (given) return extract_vector(*given);
    const PyRef values = check(PyObject_GetAttr(data, attribute));
    return extract_vector(values.get());
}

LargeVector footpoints(std::optional<PyObject*> given) {
    if (!given) raise(PyExc_ValueError, "Footpoints not provided. Please provide x0 and y0.");
    return extract_vector(*given);
}

PyRef as_array(LargeVector values) {
    const std::array<Py_ssize_t, 1> shape{static_cast<Py_ssize_t>(values.size())};
    return make_output_array(std::move(values), shape);
}

// [x_array, y_array] of the given points.
template <class Points>
PyRef line_entry(std::size_t count, Points&& points) {
    LargeVector xs, ys;
    xs.reserve(count);
    ys.reserve(count);
    points([&](Point p) {
        xs.push_back(p.x);
        ys.push_back(p.y);
    });
    PyRef x_array = as_array(std::move(xs));
    PyRef y_array = as_array(std::move(ys));
    PyRef entry = check(PyList_New(2));
    PyList_SET_ITEM(entry.get(), 0, x_array.release());
    PyList_SET_ITEM(entry.get(), 1, y_array.release());
    return entry;
}

void append(PyObject* list, const PyRef& item) {
    if (PyList_Append(list, item.get()) < 0) throw PythonError{};
}

}  // namespace

PyRef find_fieldlines(const FinderArguments& args) {
    const LargeVector xc = coordinates(args.data, args.x1, interned::x1());
    const LargeVector yc = coordinates(args.data, args.x2, interned::x2());
    if (xc.size() < 2 || yc.size() < 2) {
        raise(PyExc_ValueError, "x1 and x2 must each contain at least 2 points");
    }
    const LargeVector x0 = footpoints(args.x0);
    const LargeVector y0 = footpoints(args.y0);
    if (x0.size() != y0.size()) raise(PyExc_ValueError, "x0 and y0 must have the same length");
    const u64 nx = xc.size();
    const u64 ny = yc.size();
    InterleavedField field = extract_grid_field(args.data, args.var1, args.var2, nx, ny);

    const double dx = std::fabs(xc[1] - xc[0]);
    const double dy = std::fabs(yc[1] - yc[0]);
    // fmin ignores a NaN operand, so one NaN spacing leaves the other.
    const double step = args.step.value_or(std::fmin(dx, dy));
    const u64 max_steps = args.numsteps.value_or(default_max_steps);
    const double max_step = args.maxstep.value_or(step * default_max_step_factor);
    const double signed_step = std::fmin(step, max_step);
    const bool close_on_loop = args.close.value_or(true);
    const double close_tol = args.ctol.value_or(default_close_tol);
    const double min_time_before_close = max_step;

    const VectorGrid2D grid(xc.front(), xc.back(), yc.front(), yc.back(), nx, ny,
                            std::move(field));
    PyRef lines = check(PyList_New(0));
    std::vector<Point> seeds;
    seeds.reserve(std::min(x0.size(), footpoints_per_batch));
    std::vector<Point> backward_seeds;
    // Batches bound the memory held by traced paths; entries keep footpoint order.
    for (std::size_t first = 0; first < x0.size(); first += footpoints_per_batch) {
        const std::size_t last = std::min(x0.size(), first + footpoints_per_batch);
        seeds.clear();
        for (std::size_t i = first; i < last; ++i) seeds.push_back(Point{x0[i], y0[i]});
        const std::vector<TracedLine> forward =
            trace_closable(grid, seeds, signed_step, max_steps, close_on_loop, close_tol,
                           min_time_before_close);
        // A closed line stands as it is; every other footpoint is also traced backward.
        const auto stands_closed = [](const TracedLine& line) {
            return line.closed && line.size() > 2;
        };
        backward_seeds.clear();
        for (std::size_t k = 0; k < seeds.size(); ++k) {
            if (!stands_closed(forward[k])) backward_seeds.push_back(seeds[k]);
        }
        const std::vector<TracedLine> backward =
            trace_closable(grid, backward_seeds, -signed_step, max_steps, false, close_tol,
                           min_time_before_close);
        std::size_t next_backward = 0;
        for (const TracedLine& ahead : forward) {
            if (stands_closed(ahead)) {
                append(lines.get(), line_entry(ahead.size(), [&](auto&& add) {
                           for (std::size_t k = 0; k < ahead.size(); ++k) add(ahead[k]);
                       }));
                continue;
            }
            const TracedLine& behind = backward[next_backward++];
            // Backward half reversed, ending on the footpoint, then the forward
            // half after its first point (the footpoint again).
            const std::size_t count = behind.size() + (ahead.size() == 0 ? 0 : ahead.size() - 1);
            if (count <= 1) continue;
            append(lines.get(), line_entry(count, [&](auto&& add) {
                       for (std::size_t k = behind.size(); k-- > 0;) add(behind[k]);
                       for (std::size_t k = 1; k < ahead.size(); ++k) add(ahead[k]);
                   }));
        }
    }
    return lines;
}

}  // namespace torvelin::py
