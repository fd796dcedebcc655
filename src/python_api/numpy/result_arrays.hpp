// Result arrays that take over the computed buffer instead of copying it.
#pragma once

#include "lib/memory/buffer.hpp"
#include "python_api/runtime/py_ref.hpp"

#include <span>

namespace torvelin::py {

// A writeable, C-ordered float64 array of `shape` over `values`' memory,
// which holds at least as many values as the shape has elements. The buffer
// moves into a keeper object (the array's base), which frees it when the
// last array or view using it is gone.
PyRef make_output_array(DoubleBuffer values, std::span<const Py_ssize_t> shape);

}  // namespace torvelin::py
