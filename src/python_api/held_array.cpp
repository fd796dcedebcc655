#include "held_array.hpp"

#include "errors.hpp"

#include <utility>

namespace torvelin::py {

HeldArray::Layout::Layout(const ArrayView& view)
    : array(PyRef::borrow(view.object())), data(view.data()), descr(view.descr()),
      owns_data(view.owns_data()) {
    shape_and_strides.assign(view.shape().begin(), view.shape().end());
    shape_and_strides.insert(shape_and_strides.end(), view.strides().begin(),
                             view.strides().end());
}

bool HeldArray::Layout::matches(const ArrayView& view) const noexcept {
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

std::optional<HeldArray> HeldArray::hold(const ArrayView& view) {
    HeldArray held;
    held.values_ = view.contiguous_float64();
    // Down the chain of arrays that lend their memory to the next, to the
    // one that owns it or to the object that does.
    ArrayView link = view;
    for (;;) {
        held.chain_.emplace_back(link);
        if (link.owns_data()) return held;
        PyObject* base = link.base();
        if (base == nullptr) return std::nullopt;  // memory of unknown origin
        if (!numpy::is_array(base)) break;
        link = ArrayView(base);
    }
    PyObject* owner = link.base();
    if (PyObject_GetBuffer(owner, &held.export_, PyBUF_SIMPLE) != 0) {
        discard_pending_error();
        return std::nullopt;
    }
    held.exported_ = true;
    // The values must lie in the exported memory for the export to pin them.
    const auto* first = static_cast<const char*>(held.export_.buf);
    const auto* begin = reinterpret_cast<const char*>(held.values_.data());
    const auto* end = reinterpret_cast<const char*>(held.values_.data() + held.values_.size());
    if (begin < first || end > first + held.export_.len) return std::nullopt;
    return held;
}

HeldArray::HeldArray(HeldArray&& other) noexcept
    : chain_(std::move(other.chain_)), values_(other.values_), export_(other.export_),
      exported_(std::exchange(other.exported_, false)) {}

HeldArray& HeldArray::operator=(HeldArray&& other) noexcept {
    if (this == &other) return *this;
    if (exported_) PyBuffer_Release(&export_);
    chain_ = std::move(other.chain_);
    values_ = other.values_;
    export_ = other.export_;
    exported_ = std::exchange(other.exported_, false);
    return *this;
}

HeldArray::~HeldArray() {
    if (exported_) PyBuffer_Release(&export_);
}

bool HeldArray::unchanged() const noexcept {
    for (const Layout& link : chain_) {
        if (!link.matches(ArrayView(link.array.get()))) return false;
    }
    return true;
}

void FieldWatch::check() const {
    for (const HeldArray& array : held_) {
        if (!array.unchanged()) {
            raise(PyExc_RuntimeError,
                  "a field array was resized, reshaped or retyped while the call was reading it");
        }
    }
}

}  // namespace torvelin::py
