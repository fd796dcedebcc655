// Reading plain NumPy arrays straight from memory.
//
// An object of type exactly numpy.ndarray with a built-in numeric or boolean
// element type gives the same float64 values through this reader as through
// ravel("F").tolist() and the float conversion of every item, without
// building a Python object per element.
#pragma once

#include "../lib/large_buffer.hpp"
#include "py_ref.hpp"

#include <optional>

namespace torvelin::py {

// Every element in column-major order (first index fastest), converted to
// float64; nothing when `object` is not such an array.
std::optional<LargeVector> read_plain_array(PyObject* object);

}  // namespace torvelin::py
