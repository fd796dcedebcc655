// The field of a call's grid, taken from the call's inputs: arrays read in
// place where they qualify, everything else converted once, straight into
// the grid's own storage.
#pragma once

#include "lib/grid/vector_grid.hpp"
#include "python_api/numpy/held_array.hpp"

namespace torvelin::py {

struct CallField {
    FieldStorage storage = FieldStorage::separate({}, {}, GridOrder::x_fastest);
    FieldWatch watch;  // the arrays the storage borrows
};

// Both functions read the field in place where it qualifies, unless a copy
// into the interleaved layout pays for itself over the `planned_steps` (the
// most steps the call can take).

// trace_fieldlines' bx and by, converted (one-dimensional float64 arrays)
// and checked again after the last argument conversion, and their values.
struct TraceFieldInput {
    ArrayView bx;
    ArrayView by;
    std::span<const double> bx_values;
    std::span<const double> by_values;
};

// Raises TypeError "The given array is not contiguous or is misaligned."
// for a non-empty one that is either, then faults on sizes an nx-by-ny grid
// would refuse.
TraceFieldInput check_trace_field(PyObject* bx, PyObject* by, u64 nx, u64 ny);

// The field of the checked arrays.
CallField trace_field(const TraceFieldInput& input, u64 planned_steps);

// find_fieldlines' components named by `var1` and `var2` (attributes of
// `data` when they are strings, else the values themselves), each taken
// with the attempts and values of extract_field, for an nx-by-ny grid.
// Raises ValueError when either does not hold nx * ny values.
CallField find_field(PyObject* data, PyObject* var1, PyObject* var2, u64 nx, u64 ny,
                     u64 planned_steps);

}  // namespace torvelin::py
