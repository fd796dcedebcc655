// Attribute names and constants looked up on every call, created once.
#pragma once

#include "python_api/runtime/py_ref.hpp"

namespace torvelin::py::interned {

PyObject* ravel();
PyObject* tolist();
PyObject* fortran_order();  // "F"
PyObject* x1();
PyObject* x2();

}  // namespace torvelin::py::interned
