// One typed view of a NumPy array: where its elements lie, their type, its
// shape and strides, and its elements read in a chosen order. Every reader
// of arrays in the module goes through it.
//
// A view is a snapshot of the array object's fields: Python code that runs
// after it was taken may reshape, retype or resize the array, so a view is
// used only until Python code runs again.
#pragma once

#include "lib/support/checkpoint.hpp"
#include "python_api/numpy/api.hpp"

#include <cstddef>
#include <optional>
#include <span>
#include <utility>

namespace torvelin::py {

// The logical order in which elements are read.
enum class ElementOrder {
    last_index_fastest,   // row-major, as ndarray.ravel("C") lists them
    first_index_fastest,  // column-major, as ndarray.ravel("F") lists them
};

class ArrayView {
public:
    // `array` must be a NumPy array (numpy::is_array).
    explicit ArrayView(PyObject* array) noexcept
        : array_(array), fields_(numpy::fields(array)) {}

    PyObject* object() const noexcept { return array_; }
    const char* data() const noexcept { return fields_->data; }
    int ndim() const noexcept { return fields_->nd; }
    std::span<const Py_ssize_t> shape() const noexcept {
        return {fields_->dimensions, static_cast<std::size_t>(fields_->nd)};
    }
    std::span<const Py_ssize_t> strides() const noexcept {
        return {fields_->strides, static_cast<std::size_t>(fields_->nd)};
    }
    std::size_t size() const noexcept;
    int flags() const noexcept { return fields_->flags; }
    PyObject* descr() const noexcept { return fields_->descr; }
    // The object whose memory the array uses, when it does not own its own.
    PyObject* base() const noexcept { return fields_->base; }

    bool aligned() const noexcept { return (flags() & numpy::flag_aligned) != 0; }
    bool c_contiguous() const noexcept { return (flags() & numpy::flag_c_contiguous) != 0; }
    bool f_contiguous() const noexcept { return (flags() & numpy::flag_f_contiguous) != 0; }
    bool owns_data() const noexcept { return (flags() & numpy::flag_owndata) != 0; }

    // The element type is equivalent to float64 in native byte order.
    bool has_float64_dtype() const { return numpy::has_float64_dtype(array_); }
    // The element type is exactly float64 in native byte order.
    bool holds_native_float64() const noexcept;
    // The bytes of an element of a type read() knows, else 0.
    std::size_t element_size() const noexcept;
    // The first byte of the elements and the byte after their last, in
    // memory order (strides may be negative). Requires a non-empty array of
    // a type read() knows.
    std::pair<const char*, const char*> extent() const noexcept;

    // read() knows the element type: a built-in numeric or boolean type, in
    // either byte order.
    bool readable() const noexcept;

    // Every element, converted to float64 as Python's float() converts the
    // element's item, the n-th in `order` to out[n * spacing]. Requires
    // readable(). Float64 elements are copied bit for bit. `between_pieces`
    // is called after every piece of elements read (see large_buffer.hpp).
    void read(ElementOrder order, double* out, std::ptrdiff_t spacing = 1,
              const Checkpoint& between_pieces = {}) const;

    // The elements of a float64 array that is aligned and contiguous, where
    // they lie; raises TypeError "The given array is not contiguous or is
    // misaligned." for any other non-empty array. Empty for an empty array.
    std::span<const double> contiguous_float64() const;

private:
    PyObject* array_;
    const numpy::ArrayFields* fields_;
};

// The view of `object` when it is an ndarray itself (not a subclass) whose
// element type read() knows, else nothing. Read in column-major order, such
// an array gives the same float64 values as ravel("F").tolist() and the
// float conversion of every item, without a Python object per element.
std::optional<ArrayView> plain_array(PyObject* object);

}  // namespace torvelin::py
