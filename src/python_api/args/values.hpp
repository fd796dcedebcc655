// Loosely typed numeric inputs (arrays of any shape, sequences, attributes of
// a data object) turned into flat float64 vectors.
#pragma once

#include "lib/memory/buffer.hpp"
#include "python_api/numpy/array_view.hpp"
#include "python_api/runtime/py_ref.hpp"

#include <optional>
#include <vector>

namespace torvelin::py {

// How a NumPy array was read: its shape when it was read, and the order in
// which its values came.
struct ArrayReading {
    std::vector<Py_ssize_t> shape;
    ElementOrder order;
};

// All values of `source` as float64: objects with a `ravel` method in
// column-major order via ravel("F").tolist(), float64 arrays read directly,
// any other sequence item by item. When `source` is a NumPy array, how it
// was read goes to `reading` (if given).
DoubleBuffer extract_vector(PyObject* source, std::optional<ArrayReading>* reading = nullptr);

// Where a field component comes from: the attribute of `data` named by
// `field` when it is a string, else `field` itself.
PyRef field_source(PyObject* data, PyObject* field);

}  // namespace torvelin::py
