// Loosely typed numeric inputs (arrays of any shape, sequences, attributes of
// a data object) turned into flat float64 vectors.
#pragma once

#include "../lib/large_buffer.hpp"
#include "py_ref.hpp"


namespace torvelin::py {

// All values of `source` as float64: objects with a `ravel` method in
// column-major order via ravel("F").tolist(), float64 arrays read directly,
// any other sequence item by item.
DoubleBuffer extract_vector(PyObject* source);

// Where a field component comes from: the attribute of `data` named by
// `field` when it is a string, else `field` itself.
PyRef field_source(PyObject* data, PyObject* field);

}  // namespace torvelin::py
