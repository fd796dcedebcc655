// Plain NumPy arrays, read straight from memory.
//
// An object of type exactly numpy.ndarray whose element type is a built-in
// numeric or boolean type in native byte order gives, read in column-major
// order through its view, the same float64 values as ravel("F").tolist()
// and the float conversion of every item, without building a Python object
// per element.
#pragma once

#include "array_view.hpp"

#include <optional>

namespace torvelin::py {

// The view of `object` when it is such an array, else nothing.
std::optional<ArrayView> plain_array(PyObject* object);

}  // namespace torvelin::py
