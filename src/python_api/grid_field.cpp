#include "grid_field.hpp"

#include "coercion.hpp"
#include "direct_array.hpp"
#include "errors.hpp"

#include <string>

namespace torvelin::py {

namespace {

// One component: read in place, or its values in column-major order when it
// takes the general path.
struct Component {
    std::size_t size = 0;
    bool in_place = false;
    LargeVector values;
};

class FieldAssembly {
public:
    FieldAssembly(u64 nx, u64 ny, GridOrder order) : nx_(nx), ny_(ny) {
        field_.order = order;
        // An overflowing nx * ny matches no component, so nothing is read in place.
        overflows_ = __builtin_mul_overflow(nx, ny, &cells_) || cells_ > (u64{1} << 62);
    }

    Component read(PyObject* source, int slot) {
        Component component;
        if (!overflows_ && plain_array_size(source) == cells_) {
            if (field_.values.empty()) field_.values.resize(2 * cells_);
            component.in_place = read_plain_array_into(
                source, GridSlots{field_.values.data() + slot, 2, nx_, ny_, field_.order});
        }
        if (component.in_place) {
            component.size = cells_;
        } else {
            component.values = extract_vector(source);
            component.size = component.values.size();
        }
        return component;
    }

    // The storage, once every component holds nx * ny values.
    InterleavedField finish(const Component& bx, const Component& by) {
        const u64 cells = checked_mul(nx_, ny_);
        if (bx.size != cells || by.size != cells) {
            const std::string message =
                "Field arrays must have length nx * ny (got bx=" + std::to_string(bx.size) +
                ", by=" + std::to_string(by.size) + ", nx*ny=" + std::to_string(cells) + ")";
            raise(PyExc_ValueError, message.c_str());
        }
        if (field_.values.empty()) field_.values.resize(2 * cells);
        place(bx, 0);
        place(by, 1);
        return std::move(field_);
    }

private:
    // Column-major values into their slots.
    void place(const Component& component, int slot) {
        if (component.in_place) return;
        double* out = field_.values.data() + slot;
        const LargeVector& values = component.values;
        if (field_.order == GridOrder::x_fastest) {
            for (std::size_t n = 0; n < values.size(); ++n) out[2 * n] = values[n];
            return;
        }
        for (u64 i = 0; i < nx_; ++i) {
            for (u64 j = 0; j < ny_; ++j) out[2 * (i * ny_ + j)] = values[j * nx_ + i];
        }
    }

    u64 nx_;
    u64 ny_;
    u64 cells_ = 0;
    bool overflows_ = false;
    InterleavedField field_;
};

// The storage order that fills sequentially from bx when it is a plain array.
GridOrder order_for(PyObject* bx_source, u64 nx, u64 ny) {
    if (!plain_array_size(bx_source)) return GridOrder::x_fastest;
    return plain_array_order(bx_source, nx, ny);
}

}  // namespace

InterleavedField extract_grid_field(PyObject* data, PyObject* var1, PyObject* var2, u64 nx,
                                    u64 ny) {
    const PyRef bx_source = field_source(data, var1);
    FieldAssembly assembly(nx, ny, order_for(bx_source.get(), nx, ny));
    const Component bx = assembly.read(bx_source.get(), 0);
    const PyRef by_source = field_source(data, var2);
    const Component by = assembly.read(by_source.get(), 1);
    return assembly.finish(bx, by);
}

}  // namespace torvelin::py
