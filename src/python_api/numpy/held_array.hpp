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

#include "lib/support/checkpoint.hpp"
#include "python_api/numpy/array_view.hpp"
#include "python_api/runtime/py_ref.hpp"

#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace torvelin::py {

// An array and the arrays its memory belongs to, as they were when it was
// watched, with its memory pinned where the owner is no array.
class WatchedArray {
public:
    // Nothing when the module cannot watch the memory of `view` (it belongs
    // to an object that neither is an array nor exports a buffer that holds
    // the elements).
    static std::optional<WatchedArray> watch(const ArrayView& view);

    WatchedArray(WatchedArray&& other) noexcept;
    WatchedArray& operator=(WatchedArray&& other) noexcept;
    WatchedArray(const WatchedArray&) = delete;
    ~WatchedArray();

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

    WatchedArray() = default;

    std::vector<Layout> chain_;  // the array, then the array it borrows from, ...
    Py_buffer export_{};         // of the memory's owner, when that is no array
    bool exported_ = false;
};

// The elements of a non-empty, aligned, contiguous float64 array, read in
// place for the rest of a call.
class HeldArray {
public:
    // Nothing when the array cannot be watched.
    static std::optional<HeldArray> hold(const ArrayView& view);

    std::span<const double> values() const noexcept { return values_; }
    bool unchanged() const noexcept { return watched_.unchanged(); }

private:
    HeldArray(WatchedArray watched, std::span<const double> values) noexcept
        : watched_(std::move(watched)), values_(values) {}

    WatchedArray watched_;
    std::span<const double> values_;
};

// What a call raises (RuntimeError) when Python code that ran during it
// changed an array it was reading.
inline constexpr const char* field_array_changed =
    "a field array was resized, reshaped or retyped while the call was reading it";
inline constexpr const char* input_array_changed =
    "an array was resized, reshaped or retyped while the call was reading it";

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

// The checkpoint of a call that reads arrays in place: pending signals are
// handled there, and since a handler is Python code, the arrays are checked
// again before the call goes on.
class SignalCheckpoint {
public:
    explicit SignalCheckpoint(const FieldWatch& watch) noexcept : watch_(watch) {}

    // Valid while this object lives.
    Checkpoint checkpoint() const noexcept {
        return Checkpoint(&check, const_cast<SignalCheckpoint*>(this));
    }

private:
    static void check(void* self);

    const FieldWatch& watch_;
};

// Reads `view` as ArrayView::read does, handling pending signals between
// pieces. Meanwhile the array is watched: when a signal handler resized,
// reshaped or retyped it, RuntimeError `changed` is raised before its
// memory is read again. An array whose memory cannot be watched is read in
// one go.
void read_watched(const ArrayView& view, ElementOrder order, double* out, std::ptrdiff_t spacing,
                  const char* changed);

}  // namespace torvelin::py
