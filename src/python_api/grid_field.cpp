#include "grid_field.hpp"

#include "coercion.hpp"
#include "errors.hpp"
#include "plain_array.hpp"

#include <string>
#include <utility>

namespace torvelin::py {

namespace {

// An array read in place, or nothing when it cannot be.
std::optional<HeldArray> hold_if_possible(const ArrayView& view) {
    if (view.size() == 0) return std::nullopt;
    return HeldArray::hold(view);
}

// The grid order in which `view`, an array of nx * ny elements, lies in
// memory: x fastest when it is Fortran-contiguous (of any shape, flat ones
// included), y fastest when it has shape (nx, ny) and is C-contiguous.
std::optional<GridOrder> memory_order(const ArrayView& view, u64 nx, u64 ny) {
    if (view.f_contiguous()) return GridOrder::x_fastest;
    if (view.ndim() == 2 && static_cast<u64>(view.shape()[0]) == nx &&
        static_cast<u64>(view.shape()[1]) == ny && view.c_contiguous()) {
        return GridOrder::y_fastest;
    }
    return std::nullopt;
}

bool holds_grid_by_index(const ArrayView& view, u64 nx, u64 ny) {
    return view.ndim() == 2 && static_cast<u64>(view.shape()[0]) == nx &&
           static_cast<u64>(view.shape()[1]) == ny;
}

// The order a plain array of the grid's size is read in most cheaply: y
// fastest for an (nx, ny) array whose second index steps through memory
// faster than its first, x fastest otherwise.
GridOrder cheapest_order(const ArrayView& view, u64 nx, u64 ny) {
    if (holds_grid_by_index(view, nx, ny) &&
        std::abs(view.strides()[1]) < std::abs(view.strides()[0])) {
        return GridOrder::y_fastest;
    }
    return GridOrder::x_fastest;
}

// One component: held in place, or its values converted, grid point n in
// `order` at values[n] (extract_vector's column-major order is x fastest).
struct Component {
    std::size_t size = 0;
    std::optional<HeldArray> held;
    LargeVector values;
    GridOrder order = GridOrder::x_fastest;

    // The values as the grid reads them, in `grid_order`.
    ComponentValues take(GridOrder grid_order, u64 nx, u64 ny) {
        if (held) return ComponentValues::borrowed(held->values());
        if (order == grid_order) return ComponentValues::owned(std::move(values));
        // Only column-major values reach here for a y-fastest grid.
        LargeVector placed(values.size());
        for (u64 i = 0; i < nx; ++i) {
            for (u64 j = 0; j < ny; ++j) placed[i * ny + j] = values[j * nx + i];
        }
        return ComponentValues::owned(std::move(placed));
    }
};

// The component in `source` for a grid of `cells` points (no array holds
// that many when nx * ny overflows): in place if it qualifies and lies in
// the `wanted` order (in any order when none is wanted), else converted,
// in the `wanted` order where the array can be read in it.
Component take_component(PyObject* source, u64 nx, u64 ny, u64 cells,
                         std::optional<GridOrder> wanted) {
    Component component;
    const std::optional<ArrayView> plain = plain_array(source);
    if (!plain) {
        component.values = extract_vector(source);
        component.size = component.values.size();
        return component;
    }
    component.size = plain->size();
    // Another size fails the size check: nothing needs reading.
    if (component.size != cells) return component;
    const std::optional<GridOrder> in_memory =
        plain->holds_native_float64() && plain->aligned() ? memory_order(*plain, nx, ny)
                                                          : std::nullopt;
    if (in_memory && (!wanted || *wanted == *in_memory)) {
        component.held = hold_if_possible(*plain);
        if (component.held) {
            component.order = *in_memory;
            return component;
        }
    }
    component.order = wanted.value_or(cheapest_order(*plain, nx, ny));
    if (component.order == GridOrder::y_fastest && !holds_grid_by_index(*plain, nx, ny)) {
        component.order = GridOrder::x_fastest;
    }
    component.values = LargeVector(cells);
    plain->read(component.order == GridOrder::x_fastest ? ElementOrder::first_index_fastest
                                                        : ElementOrder::last_index_fastest,
                component.values.data());
    return component;
}

}  // namespace

CallField trace_field(PyObject* bx, PyObject* by, u64 nx, u64 ny) {
    const ArrayView bx_view(bx), by_view(by);
    const std::span<const double> bx_values = bx_view.contiguous_float64();
    const std::span<const double> by_values = by_view.contiguous_float64();
    VectorGrid2D::check_sizes(nx, ny, bx_values.size(), by_values.size());
    CallField field{FieldStorage::separate(ComponentValues::borrowed(bx_values),
                                           ComponentValues::borrowed(by_values),
                                           GridOrder::x_fastest),
                    {}};
    std::optional<HeldArray> bx_held = hold_if_possible(bx_view);
    std::optional<HeldArray> by_held = bx_held ? hold_if_possible(by_view) : std::nullopt;
    if (!by_held) {
        field.storage = interleaved_copy(bx_values, by_values);
        return field;
    }
    field.watch.add(std::move(*bx_held));
    field.watch.add(std::move(*by_held));
    return field;
}

CallField find_field(PyObject* data, PyObject* var1, PyObject* var2, u64 nx, u64 ny) {
    u64 cells = 0;
    if (__builtin_mul_overflow(nx, ny, &cells)) cells = UINT64_MAX;
    const PyRef bx_source = field_source(data, var1);
    Component bx = take_component(bx_source.get(), nx, ny, cells, std::nullopt);
    const PyRef by_source = field_source(data, var2);
    Component by = take_component(by_source.get(), nx, ny, cells, bx.order);
    const u64 expected = checked_mul(nx, ny);
    if (bx.size != expected || by.size != expected) {
        const std::string message =
            "Field arrays must have length nx * ny (got bx=" + std::to_string(bx.size) +
            ", by=" + std::to_string(by.size) + ", nx*ny=" + std::to_string(expected) + ")";
        raise(PyExc_ValueError, message.c_str());
    }
    const GridOrder order = bx.order;
    CallField field{FieldStorage::separate(bx.take(order, nx, ny), by.take(order, nx, ny), order),
                    {}};
    if (bx.held) field.watch.add(std::move(*bx.held));
    if (by.held) field.watch.add(std::move(*by.held));
    return field;
}

}  // namespace torvelin::py
