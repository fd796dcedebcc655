// The two field components of a grid, read from loosely typed inputs
// straight into the grid's interleaved storage.
#pragma once

#include "../lib/vector_grid.hpp"
#include "py_ref.hpp"

namespace torvelin::py {

// The components named by `var1` and `var2` (attributes of `data` when they
// are strings, else the values themselves), each taken with the same
// attempts and values as extract_field, for an nx-by-ny grid. Plain arrays
// are read in place, in the storage order that suits bx; raises ValueError
// when either component does not hold nx * ny values.
InterleavedField extract_grid_field(PyObject* data, PyObject* var1, PyObject* var2, u64 nx,
                                    u64 ny);

}  // namespace torvelin::py
