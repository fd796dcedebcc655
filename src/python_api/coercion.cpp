#include "coercion.hpp"

#include "array_walk.hpp"
#include "conversions.hpp"
#include "direct_array.hpp"
#include "errors.hpp"
#include "interned.hpp"
#include "numpy_api.hpp"
#include "sequence.hpp"

#include <cstring>

namespace torvelin::py {

namespace {

LargeVector sequence_to_vector(PyObject* sequence) {
    LargeVector values;
    for_each_item(
        sequence, [&values](PyObject* item) { values.push_back(to_float64(item)); },
        [&values](std::size_t expected) { values.reserve(expected); });
    return values;
}

bool has_ravel(PyObject* source) {
    PyRef ravel = PyRef::steal(PyObject_GetAttr(source, interned::ravel()));
    if (ravel) return true;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError{};
    PyErr_Clear();
    return false;
}

LargeVector flatten_column_major(PyObject* source) {
    const PyRef raveled = check(
        PyObject_CallMethodOneArg(source, interned::ravel(), interned::fortran_order()));
    const PyRef list = check(PyObject_CallMethodNoArgs(raveled.get(), interned::tolist()));
    return sequence_to_vector(list.get());
}

// Every element of a float64 array of any shape, last index fastest,
// following its strides (which may be negative or misaligned).
LargeVector copy_strided_float64(PyObject* array) {
    const numpy::ArrayFields* view = numpy::fields(array);
    LargeVector values(element_count(view));
    for_each_element(view, ElementOrder::last_index_fastest,
                     [&values](std::size_t n, const char* element) {
                         std::memcpy(&values[n], element, sizeof(double));
                     });
    return values;
}

}  // namespace

LargeVector extract_vector(PyObject* source) {
    // Same values as the general path below, read directly.
    if (auto values = read_plain_array(source)) return std::move(*values);
    if (has_ravel(source)) return flatten_column_major(source);
    if (numpy::is_array(source) && numpy::has_float64_dtype(source)) {
        if (numpy::fields(source)->nd == 1) return copy_contiguous_float64(source);
        return copy_strided_float64(source);
    }
    try {
        return sequence_to_vector(source);
    } catch (const PythonError&) {
        discard_pending_error();
    }
    raise(PyExc_TypeError, "Expected a 1D sequence or NumPy array of numeric values");
}

PyRef field_source(PyObject* data, PyObject* field) {
    if (!PyUnicode_Check(field)) return PyRef::borrow(field);
    // The name is the whole UTF-8 text, NUL characters included.
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(field, &size);
    if (utf8 == nullptr) throw PythonError{};
    const PyRef name = check(PyUnicode_FromStringAndSize(utf8, size));
    return check(PyObject_GetAttr(data, name.get()));
}

}  // namespace torvelin::py
