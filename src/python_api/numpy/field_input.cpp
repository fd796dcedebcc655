#include "python_api/numpy/field_input.hpp"

#include "python_api/args/values.hpp"
#include "python_api/runtime/errors.hpp"
#include "python_api/numpy/array_view.hpp"
#include "python_api/runtime/signals.hpp"

#include <algorithm>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace torvelin::py {

namespace {

bool holds_grid_by_index(const ArrayView& view, u64 nx, u64 ny) {
    return view.ndim() == 2 && static_cast<u64>(view.shape()[0]) == nx &&
           static_cast<u64>(view.shape()[1]) == ny;
}

// The grid order in which `view`, a plain array of nx * ny elements, can be
// read in place: x fastest when it is Fortran-contiguous (of any shape, flat
// ones included), y fastest when it has shape (nx, ny) and is C-contiguous;
// nothing when it is not aligned native float64 in one of those layouts.
std::optional<GridOrder> order_in_place(const ArrayView& view, u64 nx, u64 ny) {
    if (!view.holds_native_float64() || !view.aligned()) return std::nullopt;
    if (view.f_contiguous()) return GridOrder::x_fastest;
    if (holds_grid_by_index(view, nx, ny) && view.c_contiguous()) return GridOrder::y_fastest;
    return std::nullopt;
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

std::optional<HeldArray> hold_if_possible(const ArrayView& view) {
    if (view.size() == 0) return std::nullopt;
    return HeldArray::hold(view);
}

// find_fieldlines' two components, taken one after the other, and the
// storage they end up in. The first component decides: held in place when it
// qualifies (and copying does not pay), then the second is held too if it
// lies in the same order, else converted into a buffer of its own; a first
// component that must be converted starts the interleaved storage, where
// the second then goes as well.
class FieldAssembly {
public:
    FieldAssembly(u64 nx, u64 ny, u64 planned_steps) : nx_(nx), ny_(ny) {
        // No array holds this many elements when nx * ny overflows.
        cells_ = saturating_mul(nx, ny);
        copy_pays_ = cells_ != UINT64_MAX && prefer_interleaved_copy(cells_, planned_steps);
    }

    // The component in `source` as extract_field reads it; `slot` 0 is bx,
    // named by `field` (var1 or var2).
    void take(PyObject* source, int slot, PyObject* field) {
        Component& component = components_[slot];
        const std::optional<ArrayView> plain = plain_array(source);
        if (!plain) {
            std::optional<ArrayReading> reading;
            component.values = extract_vector(source, &reading);
            if (reading) component.refusal = layout_refusal(*reading, field, slot);
            component.size = component.values.size();
            component.order = GridOrder::x_fastest;  // column-major
            if (component.size == cells_) place(component, slot);
            return;
        }
        component.size = plain->size();
        component.refusal = layout_refusal(
            {{plain->shape().begin(), plain->shape().end()}, ElementOrder::first_index_fastest},
            field, slot);
        if (component.size != cells_) return;  // fails the size check: nothing to read
        const std::optional<GridOrder> in_place = order_in_place(*plain, nx_, ny_);
        const bool may_hold = !copy_pays_ && !interleaved_ && in_place &&
                              (slot == 0 || *in_place == order_);
        if (may_hold && (component.held = hold_if_possible(*plain))) {
            order_ = *in_place;
            return;
        }
        if (slot == 0) order_ = cheapest_order(*plain, nx_, ny_);
        // A y-fastest read needs the (nx, ny) shape; the rest is placed.
        const bool direct = order_ == GridOrder::x_fastest || holds_grid_by_index(*plain, nx_, ny_);
        const ElementOrder read_order = order_ == GridOrder::x_fastest
                                            ? ElementOrder::first_index_fastest
                                            : ElementOrder::last_index_fastest;
        if (double* destination = direct ? interleaved_destination(slot) : nullptr) {
            read_watched(*plain, read_order, destination, 2, field_array_changed);
            return;
        }
        component.values = DoubleBuffer(cells_);
        read_watched(*plain, direct ? read_order : ElementOrder::first_index_fastest,
                     component.values.data(), 1, field_array_changed);
        component.order = direct ? order_ : GridOrder::x_fastest;
        place(component, slot);
    }

    CallField finish() {
        const u64 expected = checked_mul(nx_, ny_);
        const Component& bx = components_[0];
        const Component& by = components_[1];
        if (bx.size != expected || by.size != expected) {
            const std::string message =
                "Field arrays must have length nx * ny (got bx=" + std::to_string(bx.size) +
                ", by=" + std::to_string(by.size) + ", nx*ny=" + std::to_string(expected) + ")";
            raise(PyExc_ValueError, message.c_str());
        }
        for (const Component& component : components_) {
            if (component.refusal) raise(PyExc_ValueError, component.refusal->c_str());
        }
        if (interleaved_) return {FieldStorage::interleaved(std::move(*interleaved_), order_), {}};
        CallField field{FieldStorage::separate(take_values(components_[0]),
                                               take_values(components_[1]), order_),
                        {}};
        for (Component& component : components_) {
            if (component.held) field.watch.add(std::move(*component.held));
        }
        return field;
    }

private:
    struct Component {
        std::optional<std::string> refusal;  // why its layout is refused
        std::size_t size = 0;
        std::optional<HeldArray> held;  // read in place, in order_
        DoubleBuffer values;             // converted, in `order`, unless interleaved
        GridOrder order = GridOrder::x_fastest;
    };

    // Why an array read as `reading` cannot be this grid's component, or
    // nothing. Its axes longer than 1 must be (nx, ny) where the first index
    // is read fastest and (ny, nx) where the last is, so that x varies
    // fastest in the values read; anything else would trace a field laid out
    // the other way round. With nx == ny nothing can be told.
    std::optional<std::string> layout_refusal(const ArrayReading& reading, PyObject* field,
                                              int slot) const {
        std::vector<u64> long_axes;
        for (const Py_ssize_t length : reading.shape) {
            if (length > 1) long_axes.push_back(static_cast<u64>(length));
        }
        const bool x_first = reading.order == ElementOrder::first_index_fastest;
        const std::vector<u64> needed = x_first ? std::vector<u64>{nx_, ny_}
                                                : std::vector<u64>{ny_, nx_};
        if (long_axes.size() < 2 || long_axes == needed) return std::nullopt;
        std::string name = slot == 0 ? "var1" : "var2", transposed = "its transpose (.T)";
        if (PyUnicode_Check(field)) {
            name = str_or_placeholder(field);
            transposed = name + ".T";
            name = "'" + name + "'";
        }
        std::string shape = "(";
        for (std::size_t axis = 0; axis < reading.shape.size(); ++axis) {
            shape += (axis ? ", " : "") + std::to_string(reading.shape[axis]);
        }
        shape += ")";
        const std::string grid = x_first ? "the grid is (nx, ny) = (" + std::to_string(nx_) +
                                               ", " + std::to_string(ny_) + ")"
                                         : "an array without ravel() is read with its last "
                                           "index fastest, so the grid needs (ny, nx) = (" +
                                               std::to_string(ny_) + ", " +
                                               std::to_string(nx_) + ")";
        const bool reversed = long_axes == std::vector<u64>{needed[1], needed[0]};
        const std::string remedy =
            reversed ? "pass " + transposed : "pass an array whose axes longer than 1 are those";
        return "field component " + name + " has shape " + shape + " but " + grid + "; " +
               remedy + ", or a flat array with x varying fastest";
    }

    // Where the component in `slot` goes in the interleaved storage, or null
    // when there is none. The first component converted allocates it.
    double* interleaved_destination(int slot) {
        if (slot == 0 && !interleaved_) {
            if (cells_ > SIZE_MAX / 2) throw AllocationFailure(cells_, 2 * sizeof(double));
            interleaved_.emplace(2 * cells_);
        }
        return interleaved_ ? interleaved_->data() + slot : nullptr;
    }

    // Converted values into the grid's storage: into the interleaved slots
    // when there are some, else into order_ where they are kept.
    void place(Component& component, int slot) {
        if (slot == 0 && component.order != order_) order_ = component.order;
        if (double* destination = interleaved_destination(slot)) {
            copy_in_order(component, destination, 2);
            component.values = DoubleBuffer();
            return;
        }
        if (component.order == order_) return;
        DoubleBuffer placed(component.values.size());
        copy_in_order(component, placed.data(), 1);
        component.values = std::move(placed);
        component.order = order_;
    }

    // The values, grid point n of order_ to out[n * spacing], in pieces
    // with pending signals handled between them.
    void copy_in_order(const Component& component, double* out, std::ptrdiff_t spacing) const {
        const double* values = component.values.data();
        const Checkpoint checkpoint = signal_checkpoint();
        if (component.order == order_) {
            in_pieces(cells_, checkpoint, [=](std::size_t first, std::size_t count) {
                for (std::size_t n = first; n < first + count; ++n) out[n * spacing] = values[n];
            });
            return;
        }
        // Only column-major values meet a y-fastest order: a piece is a run
        // of whole columns of constant x.
        const std::size_t columns = std::max<std::size_t>(1, values_per_piece / ny_);
        in_pieces(nx_, checkpoint, [=, this](std::size_t first, std::size_t count) {
            for (u64 i = first; i < first + count; ++i) {
                for (u64 j = 0; j < ny_; ++j) out[(i * ny_ + j) * spacing] = values[j * nx_ + i];
            }
        }, columns);
    }

    static ComponentValues take_values(Component& component) {
        if (component.held) return ComponentValues::borrowed(component.held->values());
        return ComponentValues::owned(std::move(component.values));
    }

    u64 nx_;
    u64 ny_;
    u64 cells_ = 0;
    bool copy_pays_ = false;
    GridOrder order_ = GridOrder::x_fastest;
    std::optional<DoubleBuffer> interleaved_;
    Component components_[2];
};

}  // namespace

TraceFieldInput check_trace_field(PyObject* bx, PyObject* by, u64 nx, u64 ny) {
    TraceFieldInput input{ArrayView(bx), ArrayView(by), {}, {}};
    input.bx_values = input.bx.contiguous_float64();
    input.by_values = input.by.contiguous_float64();
    VectorGrid2D::check_sizes(nx, ny, input.bx_values.size(), input.by_values.size());
    return input;
}

CallField trace_field(const TraceFieldInput& input, u64 planned_steps) {
    CallField field;
    std::optional<HeldArray> bx_held = hold_if_possible(input.bx);
    std::optional<HeldArray> by_held = bx_held ? hold_if_possible(input.by) : std::nullopt;
    if (by_held) {
        field.watch.add(std::move(*bx_held));
        field.watch.add(std::move(*by_held));
    }
    if (field.watch.empty() || prefer_interleaved_copy(input.bx_values.size(), planned_steps)) {
        // Copied in pieces, pending signals handled between them while the
        // arrays are watched; arrays that cannot be watched in one go.
        const SignalCheckpoint checkpoint(field.watch);
        field.storage = interleaved_copy(input.bx_values, input.by_values,
                                         field.watch.empty() ? Checkpoint{} : checkpoint.checkpoint());
        field.watch = FieldWatch();
        return field;
    }
    field.storage = FieldStorage::separate(ComponentValues::borrowed(input.bx_values),
                                           ComponentValues::borrowed(input.by_values),
                                           GridOrder::x_fastest);
    return field;
}

CallField find_field(PyObject* data, PyObject* var1, PyObject* var2, u64 nx, u64 ny,
                     u64 planned_steps) {
    FieldAssembly assembly(nx, ny, planned_steps);
    const PyRef bx_source = field_source(data, var1);
    assembly.take(bx_source.get(), 0, var1);
    const PyRef by_source = field_source(data, var2);
    assembly.take(by_source.get(), 1, var2);
    return assembly.finish();
}

}  // namespace torvelin::py
