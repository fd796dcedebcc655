#include "python_api/numpy/held_array.hpp"

#include "python_api/runtime/errors.hpp"
#include "python_api/runtime/signals.hpp"

#include <utility>

namespace torvelin::py {

WatchedArray::Layout::Layout(const ArrayView& view)
    : array(PyRef::borrow(view.object())), data(view.data()), descr(view.descr()),
      owns_data(view.owns_data()) {
    shape_and_strides.assign(view.shape().begin(), view.shape().end());
    shape_and_strides.insert(shape_and_strides.end(), view.strides().begin(),
                             view.strides().end());
}

bool WatchedArray::Layout::matches(const ArrayView& view) const noexcept {
    if (view.data() != data || view.descr() != descr || view.owns_data() != owns_data ||
        2 * static_cast<std::size_t>(view.ndim()) != shape_and_strides.size()) {
        return false;
    }
    const auto shape = view.shape();
    const auto strides = view.strides();
    for (std::size_t axis = 0; axis < shape.size(); ++axis) {
        if (shape[axis] != shape_and_strides[axis] ||
            strides[axis] != shape_and_strides[shape.size() + axis]) {
            return false;
        }
    }
    return true;
}

std::optional<WatchedArray> WatchedArray::watch(const ArrayView& view) {
    if (view.size() == 0 || view.element_size() == 0) return std::nullopt;
    WatchedArray watched;
    // Down the chain of arrays that lend their memory to the next, to the
    // one that owns it or to the object that does.
    ArrayView link = view;
    for (;;) {
        watched.chain_.emplace_back(link);
        if (link.owns_data()) return watched;
        PyObject* base = link.base();
        if (base == nullptr) return std::nullopt;  // memory of unknown origin
        if (!numpy::is_array(base)) break;
        link = ArrayView(base);
    }
    PyObject* owner = link.base();
    if (PyObject_GetBuffer(owner, &watched.export_, PyBUF_SIMPLE) != 0) {
        discard_pending_error();
        return std::nullopt;
    }
    watched.exported_ = true;
    // The elements must lie in the exported memory for the export to pin
    // them: every byte from the lowest to the highest element.
    const auto [lowest, highest] = view.extent();
    const auto* first = static_cast<const char*>(watched.export_.buf);
    if (lowest < first || highest > first + watched.export_.len) return std::nullopt;
    return watched;
}

WatchedArray::WatchedArray(WatchedArray&& other) noexcept
    : chain_(std::move(other.chain_)), export_(other.export_),
      exported_(std::exchange(other.exported_, false)) {}

WatchedArray& WatchedArray::operator=(WatchedArray&& other) noexcept {
    if (this == &other) return *this;
    if (exported_) PyBuffer_Release(&export_);
    chain_ = std::move(other.chain_);
    export_ = other.export_;
    exported_ = std::exchange(other.exported_, false);
    return *this;
}

WatchedArray::~WatchedArray() {
    if (exported_) PyBuffer_Release(&export_);
}

bool WatchedArray::unchanged() const noexcept {
    for (const Layout& link : chain_) {
        if (!link.matches(ArrayView(link.array.get()))) return false;
    }
    return true;
}

std::optional<HeldArray> HeldArray::hold(const ArrayView& view) {
    const std::span<const double> values = view.contiguous_float64();
    std::optional<WatchedArray> watched = WatchedArray::watch(view);
    if (!watched) return std::nullopt;
    return HeldArray(std::move(*watched), values);
}

void FieldWatch::check() const {
    for (const HeldArray& array : held_) {
        if (!array.unchanged()) raise(PyExc_RuntimeError, field_array_changed);
    }
}

void SignalCheckpoint::check(void* self) {
    handle_pending_signals();
    static_cast<const SignalCheckpoint*>(self)->watch_.check();
}

void read_watched(const ArrayView& view, ElementOrder order, double* out, std::ptrdiff_t spacing,
                  const char* changed) {
    const std::optional<WatchedArray> watched = WatchedArray::watch(view);
    if (!watched) return view.read(order, out, spacing);
    struct Reading {
        const WatchedArray& watched;
        const char* changed;
    } reading{*watched, changed};
    const Checkpoint between_pieces(
        [](void* self) {
            handle_pending_signals();
            const auto& current = *static_cast<const Reading*>(self);
            if (!current.watched.unchanged()) raise(PyExc_RuntimeError, current.changed);
        },
        &reading);
    view.read(order, out, spacing, between_pieces);
}

}  // namespace torvelin::py
