// Reading plain NumPy arrays straight from memory.
//
// An object of type exactly numpy.ndarray with a built-in numeric or boolean
// element type gives the same float64 values through this reader as through
// ravel("F").tolist() and the float conversion of every item, without
// building a Python object per element.
#pragma once

#include "../lib/vector_grid.hpp"
#include "py_ref.hpp"

#include <cstddef>
#include <optional>

namespace torvelin::py {

// Every element in column-major order (first index fastest), converted to
// float64; nothing when `object` is not such an array.
std::optional<LargeVector> read_plain_array(PyObject* object);

// The number of elements read_plain_array would read from `object`, or
// nothing when it would leave `object` to the general path.
std::optional<std::size_t> plain_array_size(PyObject* object);

// The grid storage order that `object`, a plain array, fills in one
// sequential pass: y fastest for an (nx, ny) array whose second index steps
// through memory faster than its first, x fastest otherwise.
GridOrder plain_array_order(PyObject* object, u64 nx, u64 ny);

// One component's slots in a grid's interleaved storage: grid point n in
// `order` at out[n * spacing].
struct GridSlots {
    double* out;
    std::ptrdiff_t spacing;
    u64 nx;
    u64 ny;
    GridOrder order;
};

// Reads `object` into `slots` with the values read_plain_array would give,
// and says whether it did: only plain arrays of nx * ny elements are read,
// and for y-fastest storage only (nx, ny) arrays.
bool read_plain_array_into(PyObject* object, const GridSlots& slots);

}  // namespace torvelin::py
