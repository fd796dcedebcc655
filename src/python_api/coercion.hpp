// Loosely typed numeric inputs (arrays of any shape, sequences, attributes of
// a data object) turned into flat float64 vectors.
#pragma once

#include "py_ref.hpp"

#include <vector>

namespace torvelin::py {

// All values of `source` as float64: objects with a `ravel` method in
// column-major order via ravel("F").tolist(), float64 arrays read directly,
// any other sequence item by item.
std::vector<double> extract_vector(PyObject* source);

// A field component: the attribute of `data` named by `field` when it is a
// string, else `field`'s own values.
std::vector<double> extract_field(PyObject* data, PyObject* field);

}  // namespace torvelin::py
