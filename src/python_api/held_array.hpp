// Arrays read where they lie, for the rest of a call.
//
// Python code may run while a call still reads such an array: a garbage
// collector callback or a finalizer during an allocation, a signal handler,
// the conversion of a later argument. That code may resize, reshape or
// retype the array, and a resize frees the memory being read. A held array
// remembers the layout of the array and of every array its memory belongs
// to, and tells whether any of it changed; its memory is read again only
// while nothing did. Memory that belongs to an object of another kind is
// pinned with a buffer export, which keeps that object from releasing it.
#pragma once

#include "array_view.hpp"
#include "py_ref.hpp"

#include <optional>
#include <span>
#include <vector>

namespace torvelin::py {

class HeldArray {
public:
    // The elements of `view`, a non-empty, aligned, contiguous float64
    // array, held; nothing when the module cannot watch its memory (it
    // belongs to an object that neither is an array nor exports a buffer).
    static std::optional<HeldArray> hold(const ArrayView& view);

    HeldArray(HeldArray&& other) noexcept;
    HeldArray& operator=(HeldArray&& other) noexcept;
    HeldArray(const HeldArray&) = delete;
    ~HeldArray();

    std::span<const double> values() const noexcept { return values_; }

    // The array and the arrays it borrows from have the layout they had.
    bool unchanged() const noexcept;

private:
    // What an array's memory depends on.
    struct Layout {
        PyRef array;
        const char* data;
        PyObject* descr;
        int owns_data;
        std::vector<Py_ssize_t> shape_and_strides;

        explicit Layout(const ArrayView& view);
        bool matches(const ArrayView& view) const noexcept;
    };

    HeldArray() = default;

    std::vector<Layout> chain_;  // the array, then the array it borrows from, ...
    std::span<const double> values_;
    Py_buffer export_{};         // of the memory's owner, when that is no array
    bool exported_ = false;
};

// The arrays a grid reads in place.
class FieldWatch {
public:
    void add(HeldArray array) { held_.push_back(std::move(array)); }
    bool empty() const noexcept { return held_.empty(); }

    // Raises RuntimeError when Python code has resized, reshaped or retyped
    // any of them since they were held.
    void check() const;

private:
    std::vector<HeldArray> held_;
};

}  // namespace torvelin::py
