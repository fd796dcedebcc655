// NumPy's C API, located at run time.
//
// The module is built without NumPy's headers and imports NumPy only when a
// call first needs an array, so the few entries and structure layouts it
// uses are declared here. They are the same in NumPy 1.x and 2.x.
#pragma once

#include "python_api/runtime/py_ref.hpp"

#include <cstdint>
#include <span>

namespace torvelin::py::numpy {

inline constexpr int float64_type_num = 12;  // NPY_DOUBLE

inline constexpr int flag_c_contiguous = 0x0001;
inline constexpr int flag_f_contiguous = 0x0002;
inline constexpr int flag_owndata = 0x0004;
inline constexpr int flag_aligned = 0x0100;
inline constexpr int flag_writeable = 0x0400;

// The leading, stable part of NumPy's array object.
struct ArrayFields {
    PyObject_HEAD
    char* data;
    int nd;
    Py_ssize_t* dimensions;
    Py_ssize_t* strides;
    PyObject* base;
    PyObject* descr;
    int flags;
};

// The leading, stable part of NumPy's dtype object.
struct DescrFields {
    PyObject_HEAD
    PyTypeObject* typeobj;
    char kind;
    char type;
    char byteorder;
    char unused_flags;
    int type_num;
};

inline ArrayFields* fields(PyObject* array) noexcept {
    return reinterpret_cast<ArrayFields*>(array);
}

// The API table; locates NumPy on first use. Failure is an internal fault,
// and is tried again on the next call.
void* const* api();

// PyArray_Check: an instance of ndarray or of a subclass.
bool is_array(PyObject* object);

// An instance of ndarray itself, not of a subclass.
bool is_plain_array(PyObject* object);

// PyArray_EquivTypes(descr of `array`, native float64).
bool has_float64_dtype(PyObject* array);

// A new writeable float64 array of the given C-order shape over `data`,
// whose memory is owned by `keeper`; the keeper becomes the array's base.
PyRef new_float64_array(std::span<const Py_ssize_t> shape, double* data, PyRef keeper);

}  // namespace torvelin::py::numpy
